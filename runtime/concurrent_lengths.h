// Lengths of many files, measured with several requests in flight. On a network share each open
// waits for the server; one file at a time, a drop of thousands waits for the sum of those
// round trips, while many at once overlap them.
#pragma once

#include "file_systems.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <stop_token>
#include <string>
#include <vector>

namespace miruteka {

class WorkerPool;

// Measures the paths, each exactly as MeasureFile does, on threads of a worker pool that take
// the paths of each file system in order, and gives each length back by its index. Each file
// system has threads of its own, so that one that stops answering holds back only its own
// paths. The workers are never joined: one stuck in a file system that no longer answers holds
// no caller, and once the measuring is stopped it holds nothing of the drop but the paths it
// took (on a share, the one it waits on).
class ConcurrentLengths {
public:
    using Paths = std::vector<std::u16string>;
    // How one path is measured: MeasureFile, unless a caller has another way (tests).
    using Measure = std::function<std::optional<std::int64_t>(std::u16string_view)>;

    // Queues the measuring of all the paths at once on `pool` (the process's measuring pool
    // when null), with at most `inFlight` of its threads (and never more than paths), as one
    // file system.
    explicit ConcurrentLengths(std::shared_ptr<const Paths> paths,
        unsigned inFlight = lengthRequestsInFlight, std::stop_token stop = {}, Measure measure = {},
        WorkerPool* pool = nullptr);
    // Measures paths as add() gives them, at most `most`, until close(): the measuring starts
    // with the first while the caller makes the rest.
    struct Incoming {
        std::size_t most;
    };
    ConcurrentLengths(Incoming incoming, unsigned inFlight = lengthRequestsInFlight,
        std::stop_token stop = {}, Measure measure = {}, WorkerPool* pool = nullptr);
    // Stops handing out paths and lets the workers go without waiting for them.
    ~ConcurrentLengths();
    ConcurrentLengths(const ConcurrentLengths&) = delete;
    ConcurrentLengths& operator=(const ConcurrentLengths&) = delete;

    // Adds paths that lie on one file system (none: the pool's threads, without shares), to be
    // measured by at most `inFlight` threads for it, within its thread shares. Throws
    // std::bad_alloc, with none of them added, when there is no memory to start their work.
    void add(std::span<std::u16string> paths, const std::shared_ptr<FileSystem>& on = {});
    // No more paths come.
    void close();

    // The paths added so far, from any thread.
    std::size_t size() const;
    // The path at an index, for the thread that added it, or any once the lengths are waited for.
    const std::u16string& path(std::size_t index) const;
    // How many paths have been measured so far, from any thread.
    std::size_t measured() const;
    // True while the next length waited for (the first, before any) is on a file system none of
    // whose threads has begun: all are busy elsewhere, stuck maybe, or the system gave none.
    bool waitingForWorker() const;
    // The file system of the next length waited for, when the paths were added with theirs.
    std::shared_ptr<const FileSystem> awaitedFileSystem() const;
    // Stops handing out paths, and lets go of whoever waits.
    void stop();

    // `failed`: the measuring ran out of memory, and no report can be made. `end`: the index is
    // past the last path, and no more come.
    enum class Outcome : std::uint8_t { pending, measured, notAFile, cancelled, failed, end };
    struct Length {
        Outcome outcome;
        std::int64_t bytes;
    };
    // Waits until the path at `index` has been measured, or the measuring was stopped, or no
    // path at that index will come.
    Length wait(std::size_t index) const;

private:
    ConcurrentLengths(Incoming incoming, std::shared_ptr<Paths> paths, unsigned inFlight,
        std::stop_token stop, Measure measure, WorkerPool* pool);
    ConcurrentLengths(std::shared_ptr<const Paths> paths, Paths* growing, std::size_t most,
        unsigned inFlight, std::stop_token stop, Measure measure, WorkerPool* pool);

    struct State;
    std::shared_ptr<const Paths> paths_;
    std::shared_ptr<State> state_;
    std::stop_callback<std::function<void()>> onStop_;
};

} // namespace miruteka
