// The machine around the program during a benchmark: processes that keep processors busy, and
// sleepers that tell how long a processor stood still for everyone, the program or not.
#pragma once

#include <atomic>
#include <cstdint>
#include <sys/types.h>
#include <vector>

namespace miruteka::bench {

// Processes that each keep a processor busy, for as long as this lives: the machine of a user
// who runs something heavy beside the program.
class BusyLoops {
public:
    explicit BusyLoops(unsigned count);
    ~BusyLoops();
    BusyLoops(const BusyLoops&) = delete;
    BusyLoops& operator=(const BusyLoops&) = delete;

private:
    std::vector<pid_t> pids_;
};

// A process on each processor that asks to wake every millisecond and keeps the longest it had
// to wait. Nothing of the program runs in them, so a long wait is the machine's: on a virtual
// machine, mostly the host not running that processor at all, which the guest cannot tell from
// run time of whatever thread was on it.
class MachinePauses {
public:
    MachinePauses();
    ~MachinePauses();
    MachinePauses(const MachinePauses&) = delete;
    MachinePauses& operator=(const MachinePauses&) = delete;

    // The longest wait of any sleeper since the sleepers started, in milliseconds.
    double longestMs() const;

private:
    std::vector<pid_t> pids_;
    std::atomic<std::int64_t>* longestNs_ = nullptr; // one a processor, shared with the sleepers
    unsigned sleepers_ = 0;
};

} // namespace miruteka::bench
