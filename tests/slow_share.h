// slowfs mounted in a folder of its own, for as long as it lives: a share that answers every
// request after a delay, with synthetic files or with those of a real folder. Without a
// toolkit, so that the core tests and the window tests both mount it.
#pragma once

#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <spawn.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace miruteka::testing {

class SlowShare {
public:
    // With `backing`, the share holds that folder's files, read and written through it;
    // otherwise `files` synthetic ones, read-only.
    SlowShare(std::filesystem::path mountPoint, int delayUs, int files,
        const std::filesystem::path& backing = {})
        : mountPoint_(std::move(mountPoint))
    {
#ifdef SLOWFS
        std::filesystem::create_directory(mountPoint_);
        std::vector<std::string> arguments {
            SLOWFS, mountPoint_.string(), "-f", "--delay-us=" + std::to_string(delayUs),
            backing.empty() ? "--files=" + std::to_string(files) : "--backing=" + backing.string()
        };
        server_ = spawn(arguments);
        // The mount is up once the folder is another file system's root.
        const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (server_ > 0 && !mounted() && std::chrono::steady_clock::now() < giveUp)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
#else
        (void)delayUs;
        (void)files;
        (void)backing;
#endif
    }
    ~SlowShare()
    {
        resume();
        const pid_t unmount = spawn({ "fusermount3", "-u", "-z", mountPoint_.string() });
        if (unmount > 0)
            ::waitpid(unmount, nullptr, 0);
        if (server_ <= 0)
            return;
        const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (::waitpid(server_, nullptr, WNOHANG) == 0) {
            if (std::chrono::steady_clock::now() >= giveUp) {
                ::kill(server_, SIGKILL);
                ::waitpid(server_, nullptr, 0);
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    SlowShare(const SlowShare&) = delete;
    SlowShare& operator=(const SlowShare&) = delete;

    // Why this machine cannot mount the share, or nothing. A build without slowfs is a fault of
    // the build, which fails rather than skips.
    static std::string unavailable()
    {
        if (::geteuid() != 0 || ::access("/dev/fuse", R_OK | W_OK) != 0)
            return "mounting FUSE needs root and /dev/fuse";
        return {};
    }

    bool mounted() const
    {
        struct stat share, parent;
        return ::stat(mountPoint_.c_str(), &share) == 0
            && ::stat(mountPoint_.parent_path().c_str(), &parent) == 0
            && share.st_dev != parent.st_dev;
    }
    const std::filesystem::path& path() const { return mountPoint_; }
    // The synthetic file of that index.
    std::filesystem::path file(int index) const
    {
        char name[16];
        std::snprintf(name, sizeof name, "f%06d.bin", index);
        return mountPoint_ / name;
    }
    // The server stops answering, as a file server that hangs does, and comes back.
    void stop() { signal(SIGSTOP); }
    void resume() { signal(SIGCONT); }

private:
    static pid_t spawn(const std::vector<std::string>& arguments)
    {
        std::vector<char*> argv;
        for (const auto& argument : arguments)
            argv.push_back(const_cast<char*>(argument.c_str()));
        argv.push_back(nullptr);
        pid_t pid = -1;
        return ::posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), environ) == 0 ? pid
                                                                                          : -1;
    }
    void signal(int number)
    {
        if (server_ > 0)
            ::kill(server_, number);
    }

    std::filesystem::path mountPoint_;
    pid_t server_ = -1;
};

} // namespace miruteka::testing
