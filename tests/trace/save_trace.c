/* Preloaded into a test, logs the calls that decide what a crash leaves of a save: syncs, the
 * renames and links that give a file its name, the unlinks and truncations, each with the
 * identity (device:inode) of the file concerned and the full path it has or takes.
 *
 *   LD_PRELOAD=libsave_trace.so MIRUTEKA_TRACE=FILE program
 *
 * One line a call, appended to FILE in a single write:
 *   sync DEV:INO dir|file PATH       fsync or fdatasync of an open file
 *   rename DEV:INO TO-PATH           rename, renameat, renameat2
 *   link DEV:INO TO-PATH             link, linkat
 *   unlink DEV:INO PATH              unlink, unlinkat (files only)
 *   truncate DEV:INO                 ftruncate
 *   xattr DEV:INO NAME               fsetxattr, an extended attribute given to an open file
 * The identity is looked up just before the call, so it is that of the file being named.
 *
 * A test may also be told of each call, with its line, before the call is made: it finds
 * miruteka_trace_set_hook with dlsym and gives it a function (NULL ends that). What the
 * function does (requests a stop, waits) happens as if inside the call. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

typedef void (*miruteka_trace_hook)(const char* line);
static miruteka_trace_hook hook;

void miruteka_trace_set_hook(miruteka_trace_hook function);
void miruteka_trace_set_hook(miruteka_trace_hook function) { hook = function; }

static void trace(const char* format, ...)
{
    const char* file = getenv("MIRUTEKA_TRACE");
    if (!file)
        return;
    const int saved = errno;
    char line[3 * PATH_MAX];
    va_list args;
    va_start(args, format);
    int length = vsnprintf(line, sizeof line - 1, format, args);
    va_end(args);
    if (length > (int)sizeof line - 2)
        length = (int)sizeof line - 2;
    if (hook)
        hook(line);
    line[length++] = '\n';
    const int fd = open(file, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
    if (fd >= 0) {
        if (write(fd, line, (size_t)length) < 0) { }
        close(fd);
    }
    errno = saved;
}

/* The full path of a name relative to a folder that is open (or the current one). */
static void full_path(int folder, const char* name, char* out, size_t size)
{
    if (name[0] == '/') {
        snprintf(out, size, "%s", name);
        return;
    }
    char base[PATH_MAX] = "";
    if (folder == AT_FDCWD) {
        if (!getcwd(base, sizeof base))
            base[0] = '\0';
    } else {
        char self[64];
        snprintf(self, sizeof self, "/proc/self/fd/%d", folder);
        const ssize_t got = readlink(self, base, sizeof base - 1);
        base[got > 0 ? got : 0] = '\0';
    }
    snprintf(out, size, "%s/%s", base, name);
}

static void identity_at(int folder, const char* name, int flags, char* out, size_t size)
{
    struct stat st;
    if (fstatat(folder, name, &st, flags) == 0)
        snprintf(out, size, "%lu:%lu", (unsigned long)st.st_dev, (unsigned long)st.st_ino);
    else
        snprintf(out, size, "?");
}

static void trace_sync(const char* call, int fd)
{
    (void)call;
    struct stat st;
    char self[64];
    char path[PATH_MAX] = "";
    snprintf(self, sizeof self, "/proc/self/fd/%d", fd);
    const ssize_t got = readlink(self, path, sizeof path - 1);
    path[got > 0 ? got : 0] = '\0';
    if (fstat(fd, &st) == 0)
        trace("sync %lu:%lu %s %s", (unsigned long)st.st_dev, (unsigned long)st.st_ino,
            S_ISDIR(st.st_mode) ? "dir" : "file", path);
}

#define REAL(name, type) ((type)dlsym(RTLD_NEXT, name))

int fsync(int fd)
{
    trace_sync("fsync", fd);
    return REAL("fsync", int (*)(int))(fd);
}

int fdatasync(int fd)
{
    trace_sync("fdatasync", fd);
    return REAL("fdatasync", int (*)(int))(fd);
}

static void trace_naming(const char* what, int from_folder, const char* from, int from_flags,
    int to_folder, const char* to)
{
    char id[64];
    char path[2 * PATH_MAX];
    identity_at(from_folder, from, from_flags, id, sizeof id);
    full_path(to_folder, to, path, sizeof path);
    trace("%s %s %s", what, id, path);
}

int renameat2(int a, const char* from, int b, const char* to, unsigned flags)
{
    trace_naming("rename", a, from, AT_SYMLINK_NOFOLLOW, b, to);
    return REAL("renameat2", int (*)(int, const char*, int, const char*, unsigned))(
        a, from, b, to, flags);
}

int renameat(int a, const char* from, int b, const char* to)
{
    trace_naming("rename", a, from, AT_SYMLINK_NOFOLLOW, b, to);
    return REAL("renameat", int (*)(int, const char*, int, const char*))(a, from, b, to);
}

int rename(const char* from, const char* to)
{
    trace_naming("rename", AT_FDCWD, from, AT_SYMLINK_NOFOLLOW, AT_FDCWD, to);
    return REAL("rename", int (*)(const char*, const char*))(from, to);
}

int linkat(int a, const char* from, int b, const char* to, int flags)
{
    trace_naming("link", a, from, (flags & AT_SYMLINK_FOLLOW) ? 0 : AT_SYMLINK_NOFOLLOW, b, to);
    return REAL("linkat", int (*)(int, const char*, int, const char*, int))(a, from, b, to, flags);
}

int link(const char* from, const char* to)
{
    trace_naming("link", AT_FDCWD, from, AT_SYMLINK_NOFOLLOW, AT_FDCWD, to);
    return REAL("link", int (*)(const char*, const char*))(from, to);
}

int unlinkat(int folder, const char* name, int flags)
{
    if (!(flags & AT_REMOVEDIR))
        trace_naming("unlink", folder, name, AT_SYMLINK_NOFOLLOW, folder, name);
    return REAL("unlinkat", int (*)(int, const char*, int))(folder, name, flags);
}

int unlink(const char* name)
{
    trace_naming("unlink", AT_FDCWD, name, AT_SYMLINK_NOFOLLOW, AT_FDCWD, name);
    return REAL("unlink", int (*)(const char*))(name);
}

int ftruncate(int fd, off_t length)
{
    struct stat st;
    if (fstat(fd, &st) == 0)
        trace("truncate %lu:%lu", (unsigned long)st.st_dev, (unsigned long)st.st_ino);
    return REAL("ftruncate", int (*)(int, off_t))(fd, length);
}

int fsetxattr(int fd, const char* name, const void* value, size_t size, int flags)
{
    struct stat st;
    if (fstat(fd, &st) == 0)
        trace("xattr %lu:%lu %s", (unsigned long)st.st_dev, (unsigned long)st.st_ino, name);
    return REAL("fsetxattr", int (*)(int, const char*, const void*, size_t, int))(
        fd, name, value, size, flags);
}
