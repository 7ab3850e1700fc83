// Which file system a dropped file is on, found without asking any file system: a share that no
// longer answers must hold back its own files alone, so the measuring gives each file system
// threads of its own. One record a file system for the whole process tells how long it has
// left its requests unanswered.
#pragma once

#include "worker_pool.h"

#include <atomic>
#include <chrono>
#include <cstddef>
#include <iosfwd>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace miruteka {

// Requests in flight at once to one file system: as many as a drop's measuring has.
inline constexpr unsigned lengthRequestsInFlight = 32;

// Threads of the measuring pool that the local disks keep to themselves, and that every other
// file system (shares, network and user-space file systems) may take together: a share that
// stops answering holds its own threads, at most lengthRequestsInFlight of them, and the local
// disks never wait for those.
inline constexpr unsigned localMeasuringThreads = lengthRequestsInFlight;
inline constexpr unsigned remoteMeasuringThreads = 2 * lengthRequestsInFlight;

class FileSystem {
public:
    using Clock = std::chrono::steady_clock;

    // A file system of its own threads, `remote` or local, known to the user by `name` (its
    // mount point, drive or share).
    FileSystem(std::u16string name, bool remote);

    const std::u16string& name() const { return name_; }
    bool remote() const { return remote_; }
    // The shares of the measuring pool that a request to it takes: its own and its kind's.
    const ThreadShares& threadShares() const { return shares_; }

    // A request sent, and its answer. A thread that sends its next request as soon as one is
    // answered keeps its place among those in flight: answeredAndAskedAgain() notes the answer
    // alone, and costs the threads that share this record one write instead of three.
    void requestStarted();
    void requestAnswered();
    void answeredAndAskedAgain();
    // How long it has had requests in flight without answering any; zero while none waits.
    Clock::duration silentFor(Clock::time_point now = Clock::now()) const;

private:
    const std::u16string name_;
    const bool remote_;
    const ThreadShares shares_;
    std::atomic<unsigned> inFlight_ { 0 };
    std::atomic<Clock::rep> lastAnswer_ { 0 };
};

// A mount point, as the system's mount table lists it.
struct Mount {
    std::u16string point;
    bool remote = false;
};

// The file systems of paths, by the mount table as it was when read (once a drop: a mount made
// during a drop counts from the next).
class FileSystems {
public:
    // The system's mount table now. On Windows the path itself tells its file system (a drive,
    // or \\server\share), and the table is empty.
    static FileSystems read();
    explicit FileSystems(std::vector<Mount> mounts);

    // The process's record of the file system the path lies on, by the path's text: a link to
    // another file system counts where the link lies, since following it would ask the file
    // system it lies on.
    // The record is held here until the next call.
    const std::shared_ptr<FileSystem>& of(std::u16string_view path);

private:
    std::shared_ptr<FileSystem> find(std::u16string_view path) const;

    std::vector<Mount> mounts_; // the longest point first
    std::u16string lastFolder_;
    std::shared_ptr<FileSystem> lastFound_;
};

// The process's record of a file system, made on first use and never destroyed, so that a
// thread stuck in it always finds it.
std::shared_ptr<FileSystem> FileSystemNamed(const std::u16string& name, bool remote);

namespace native {
std::vector<Mount> readMounts();
#ifndef _WIN32
// The mounts of a table in the form of /proc/self/mountinfo, in its order.
std::vector<Mount> mountsFromMountInfo(std::istream& table);
#endif
// Where the mount table has nothing to say (Windows): the file system by the path alone.
Mount mountOfPath(std::u16string_view path);
} // namespace native

} // namespace miruteka
