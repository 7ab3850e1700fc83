// Lengths of many files, measured with several requests in flight. On a network share each open
// waits for the server; one file at a time, a drop of thousands waits for the sum of those
// round trips, while many at once overlap them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stop_token>
#include <string>
#include <vector>

namespace miruteka {

class WorkerPool;

// Requests in flight at once: as many as the process's measuring pool has threads.
inline constexpr unsigned lengthRequestsInFlight = 32;

// Measures the paths, each exactly as MeasureFile does, on threads of a worker pool that take
// the paths in order, and gives each length back by its index. The workers are never joined: one
// stuck in a file system that no longer answers holds no caller, and once the measuring is
// stopped it holds nothing of the drop but the one path it waits on.
class ConcurrentLengths {
public:
    using Paths = std::vector<std::u16string>;
    // How one path is measured: MeasureFile, unless a caller has another way (tests).
    using Measure = std::function<std::optional<std::int64_t>(std::u16string_view)>;

    // Queues the measuring at once on `pool` (the process's measuring pool when null), with at
    // most `inFlight` of its threads (and never more than paths).
    explicit ConcurrentLengths(std::shared_ptr<const Paths> paths,
        unsigned inFlight = lengthRequestsInFlight, std::stop_token stop = {}, Measure measure = {},
        WorkerPool* pool = nullptr);
    // Stops handing out paths and lets the workers go without waiting for them.
    ~ConcurrentLengths();
    ConcurrentLengths(const ConcurrentLengths&) = delete;
    ConcurrentLengths& operator=(const ConcurrentLengths&) = delete;

    std::size_t size() const;
    const std::u16string& path(std::size_t index) const;
    // How many paths have been measured so far, from any thread.
    std::size_t measured() const;
    // True while no thread of the pool has begun on these paths: all are busy elsewhere, stuck
    // maybe, or the system gave none.
    bool waitingForWorker() const;
    // Stops handing out paths, and lets go of whoever waits.
    void stop();

    // `failed`: the measuring ran out of memory, and no report can be made.
    enum class Outcome : std::uint8_t { pending, measured, notAFile, cancelled, failed };
    struct Length {
        Outcome outcome;
        std::int64_t bytes;
    };
    // Waits until the path at `index` has been measured, or the measuring was stopped.
    Length wait(std::size_t index) const;

private:
    struct State;
    std::shared_ptr<const Paths> paths_;
    std::shared_ptr<State> state_;
    std::stop_callback<std::function<void()>> onStop_;
};

} // namespace miruteka
