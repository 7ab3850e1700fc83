// What the tests make on disk, shared by the core and the window tests: a folder of their own,
// files of a given length, and (POSIX) the awkward things a drop or a save may meet there:
// sockets, devices, an old report that must survive, a limit on the size of files.
#pragma once

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#ifndef _WIN32
#include "unprivileged.h"

#include <algorithm>
#include <csignal>
#include <cstring>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <unistd.h>
#endif

namespace miruteka::testing {

// A folder of its own for a test, removed with everything in it afterwards.
class ScratchDir {
public:
    ScratchDir()
    {
        // create_directory is false for a folder that is already there: then another name.
        static std::mt19937 random(std::random_device {}());
        const auto temp = std::filesystem::temp_directory_path();
        do
            path_ = temp / ("miruteka-test-" + std::to_string(random()));
        while (!std::filesystem::create_directory(path_));
    }
    ~ScratchDir()
    {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;

    const std::filesystem::path& path() const { return path_; }
    // The name is UTF-8, or on POSIX any bytes.
    std::filesystem::path operator/(const std::string& name) const
    {
        return path_ / std::filesystem::path(std::u8string(name.begin(), name.end()));
    }

    // A file of the given length; its content is never read, so zeros (sparse) do.
    std::filesystem::path file(const std::string& name, std::uintmax_t length) const
    {
        const auto where = *this / name;
        std::ofstream(where, std::ios::binary).close();
        std::filesystem::resize_file(where, length);
        return where;
    }

private:
    std::filesystem::path path_;
};

// Runs a test in a folder of its own so that relative names land in it.
class WorkingDirectory {
public:
    explicit WorkingDirectory(const std::filesystem::path& path)
        : previous_(std::filesystem::current_path())
    {
        std::filesystem::current_path(path);
    }
    ~WorkingDirectory() { std::filesystem::current_path(previous_); }
    WorkingDirectory(const WorkingDirectory&) = delete;
    WorkingDirectory& operator=(const WorkingDirectory&) = delete;

private:
    std::filesystem::path previous_;
};

inline std::u16string u16(const std::filesystem::path& path) { return path.u16string(); }

inline std::string readBytes(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return { std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>() };
}

// The names a folder holds, sorted: what a save left beside the report shows here.
inline std::vector<std::string> sortedNames(const std::filesystem::path& dir)
{
    std::vector<std::string> found;
    for (const auto& entry : std::filesystem::directory_iterator(dir))
        found.push_back(entry.path().filename().string());
    std::sort(found.begin(), found.end());
    return found;
}

// What an old report holds before a save that must leave it alone.
inline constexpr std::string_view oldContent = "old report, to be kept";

#ifndef _WIN32
namespace fs = std::filesystem;

inline void check(bool done, const std::string& what)
{
    if (!done)
        throw std::runtime_error(what + ": " + std::strerror(errno));
}

// A socket bound to the path, nobody listening.
inline fs::path makeSocket(const fs::path& path)
{
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    check(fd >= 0, "socket");
    sockaddr_un address {};
    address.sun_family = AF_UNIX;
    const std::string& name = path.native();
    if (name.size() >= sizeof address.sun_path)
        throw std::runtime_error("socket path too long: " + name);
    std::copy(name.begin(), name.end(), address.sun_path);
    const bool bound = ::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    ::close(fd);
    check(bound, "bind " + name);
    return path;
}

// A memory device (1, minor: 3 null, 5 zero, 7 full) of the scratch folder's own, so that a
// fault can never replace the system's; where nodes cannot be made, the system's device, which
// an ordinary user cannot replace.
inline fs::path makeDevice(const fs::path& path, unsigned minor, const fs::path& system)
{
    if (::mknod(path.c_str(), S_IFCHR | 0666, makedev(1, minor)) == 0)
        return path;
    return system;
}

// A folder that the unprivileged user owns, with the given permissions.
inline fs::path makeFolder(const fs::path& path, fs::perms perms)
{
    fs::create_directory(path);
    Unprivileged::giveToUser(path);
    fs::permissions(path, perms);
    return path;
}

// An old report, the user's own or root's, with the given permissions.
inline fs::path oldFile(const fs::path& path, fs::perms perms, bool usersOwn)
{
    std::ofstream(path) << oldContent;
    if (usersOwn)
        Unprivileged::giveToUser(path);
    fs::permissions(path, perms);
    return path;
}

inline constexpr auto writable
    = fs::perms::owner_all | fs::perms::group_all | fs::perms::others_all;
inline constexpr auto readOnly = fs::perms::owner_read | fs::perms::owner_exec
    | fs::perms::group_read | fs::perms::group_exec | fs::perms::others_read
    | fs::perms::others_exec;

// Writes past the limit fail with EFBIG, as writes to a full disk fail, for as long as it lives.
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes)
    {
        ::getrlimit(RLIMIT_FSIZE, &previous_);
        previousHandler_ = std::signal(SIGXFSZ, SIG_IGN);
        rlimit limit = previous_;
        limit.rlim_cur = bytes;
        ::setrlimit(RLIMIT_FSIZE, &limit);
    }
    ~FileSizeLimit()
    {
        ::setrlimit(RLIMIT_FSIZE, &previous_);
        std::signal(SIGXFSZ, previousHandler_);
    }
    FileSizeLimit(const FileSizeLimit&) = delete;
    FileSizeLimit& operator=(const FileSizeLimit&) = delete;

private:
    rlimit previous_ {};
    void (*previousHandler_)(int) = SIG_DFL;
};
#endif

} // namespace miruteka::testing
