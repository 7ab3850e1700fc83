// POSIX: a replaced file's identity, copied by the libraries that the system's own copying tools
// use (libacl, libattr), which also know which attributes are not to be copied.
#include "native_identity_posix.h"

#include "native_save_lock.h"

#include <acl/libacl.h>
#include <attr/libattr.h>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace miruteka::native {

namespace {

// attr_copy_check_permissions leaves out the ACLs, which perm_copy_fd copies, and what the
// system's list says is never to be copied.
// Called once for each attribute, before it is copied: a copy of many attributes on a slow
// share moves the save on at each.
int isUserAttribute(const char* name, error_context* context)
{
    noteSaveProgress();
    return std::strncmp(name, "user.", 5) == 0 && attr_copy_check_permissions(name, context);
}

int isSecurityAttribute(const char* name, error_context* context)
{
    return std::strncmp(name, "security.", 9) == 0 && attr_copy_check_permissions(name, context);
}

} // namespace

bool takeOwnership(int fresh, const struct stat& old)
{
    struct stat now;
    if (::fstat(fresh, &now) != 0)
        return false;
    // Some file systems refuse any change of owner, even to the same one.
    if (now.st_uid == old.st_uid && now.st_gid == old.st_gid)
        return true;
    const uid_t owner = now.st_uid == old.st_uid ? static_cast<uid_t>(-1) : old.st_uid;
    const gid_t group = now.st_gid == old.st_gid ? static_cast<gid_t>(-1) : old.st_gid;
    return ::fchown(fresh, owner, group) == 0;
}

bool copyPermissions(int old, int fresh)
{
    struct stat st;
    if (::fstat(old, &st) != 0)
        return false;
    // Without an error context the libraries report through their result alone; the names are
    // only for their messages.
    if (perm_copy_fd("", old, "", fresh, nullptr) != 0
        || attr_copy_fd("", old, "", fresh, isUserAttribute, nullptr) != 0)
        return false;
    // Most of these only a privileged saver may set; the file stands for the old one without them.
    attr_copy_fd("", old, "", fresh, isSecurityAttribute, nullptr);
    return ::fchmod(fresh, st.st_mode & 07777) == 0;
}

} // namespace miruteka::native
