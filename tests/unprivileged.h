// Runs part of a test with the permissions of an ordinary user. CI runs the tests as root, and
// permission bits stop no read or write for root; there the part runs as the user nobody, by
// switching the effective ids of the whole process and back again afterwards.
#pragma once

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <grp.h>
#include <stdexcept>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace miruteka::testing {

class Unprivileged {
public:
    static constexpr uid_t nobody = 65534;
    static constexpr gid_t nogroup = 65534;

    // Whether files can be made that belong to someone other than the unprivileged user.
    static bool canMakeOthersFiles() { return ::geteuid() == 0; }

    // The owner that files the unprivileged user is to own must get.
    static void giveToUser(const std::string& path)
    {
        if (::geteuid() == 0 && ::lchown(path.c_str(), nobody, nogroup) != 0)
            throw std::runtime_error("lchown " + path + ": " + std::strerror(errno));
    }

    // The user is also a member of the given groups, which need not have names.
    explicit Unprivileged(const std::vector<gid_t>& groups = {})
    {
        if (::geteuid() != 0)
            return; // already an ordinary user
        wasRoot_ = true;
        gid_ = ::getegid();
        const int count = ::getgroups(0, nullptr);
        groups_.resize(static_cast<std::size_t>(count > 0 ? count : 0));
        if (count > 0)
            ::getgroups(count, groups_.data());
        if (::setgroups(groups.size(), groups.data()) != 0 || ::setegid(nogroup) != 0
            || ::seteuid(nobody) != 0) {
            failure_ = std::string("cannot switch to the user nobody: ") + std::strerror(errno);
            restore();
        }
    }
    ~Unprivileged() { restore(); }
    Unprivileged(const Unprivileged&) = delete;
    Unprivileged& operator=(const Unprivileged&) = delete;

    // False when the part cannot run unprivileged here; failure() says why.
    bool active() const { return failure_.empty(); }
    const std::string& failure() const { return failure_; }

private:
    void restore()
    {
        if (!wasRoot_)
            return;
        wasRoot_ = false;
        // The rest of the tests cannot run with the wrong ids.
        if (::seteuid(0) != 0 || ::setegid(gid_) != 0
            || ::setgroups(groups_.size(), groups_.data()) != 0)
            std::abort();
    }

    bool wasRoot_ = false;
    gid_t gid_ = 0;
    std::vector<gid_t> groups_;
    std::string failure_;
};

} // namespace miruteka::testing
