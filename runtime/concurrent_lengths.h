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

// Requests in flight at once. On a share that answers each request after a fixed delay, 32 came
// close to the best of any count, and on a local disk they cost nothing over 2.
inline constexpr unsigned lengthRequestsInFlight = 32;

// Measures the paths, each exactly as MeasureFile does, on a bounded set of worker threads that
// take the paths in order, and gives each length back by its index. The workers are never
// joined: one stuck in a file system that no longer answers holds no caller, and what it uses
// lives until it is done.
class ConcurrentLengths {
public:
    using Paths = std::vector<std::u16string>;
    // How one path is measured: MeasureFile, unless a caller has another way (tests).
    using Measure = std::function<std::optional<std::int64_t>(std::u16string_view)>;

    // Starts measuring at once, with at most `inFlight` workers (and never more than paths).
    explicit ConcurrentLengths(std::shared_ptr<const Paths> paths,
        unsigned inFlight = lengthRequestsInFlight, std::stop_token stop = {},
        Measure measure = {});
    // Stops handing out paths and lets the workers go without waiting for them.
    ~ConcurrentLengths();
    ConcurrentLengths(const ConcurrentLengths&) = delete;
    ConcurrentLengths& operator=(const ConcurrentLengths&) = delete;

    std::size_t size() const;
    const std::u16string& path(std::size_t index) const;
    // How many paths have been measured so far, from any thread.
    std::size_t measured() const;

    enum class Outcome : std::uint8_t { pending, measured, notAFile, cancelled };
    struct Length {
        Outcome outcome;
        std::int64_t bytes;
    };
    // Waits until the path at `index` has been measured, or the measuring was stopped.
    Length wait(std::size_t index) const;

private:
    struct State;
    std::shared_ptr<State> state_;
    std::stop_callback<std::function<void()>> onStop_;
};

} // namespace miruteka
