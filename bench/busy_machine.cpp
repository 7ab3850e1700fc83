#include "busy_machine.h"

#include <algorithm>
#include <csignal>
#include <ctime>
#include <new>
#include <sched.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

namespace miruteka::bench {

namespace {

std::int64_t monotonicNs()
{
    timespec now {};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return std::int64_t(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

// Runs in a forked child of a process with threads: system calls and the shared atomic only.
[[noreturn]] void sleepOnProcessor(int processor, std::atomic<std::int64_t>& longestNs)
{
    cpu_set_t only;
    CPU_ZERO(&only);
    CPU_SET(processor, &only);
    ::sched_setaffinity(0, sizeof only, &only);
    const timespec millisecond { 0, 1'000'000 };
    for (std::int64_t last = monotonicNs();;) {
        ::nanosleep(&millisecond, nullptr);
        const std::int64_t now = monotonicNs();
        if (now - last > longestNs.load(std::memory_order_relaxed))
            longestNs.store(now - last, std::memory_order_relaxed);
        last = now;
    }
}

void endChildren(const std::vector<pid_t>& pids)
{
    for (const pid_t pid : pids)
        ::kill(pid, SIGKILL);
    for (const pid_t pid : pids)
        ::waitpid(pid, nullptr, 0);
}

} // namespace

BusyLoops::BusyLoops(unsigned count)
{
    for (unsigned i = 0; i < count; ++i) {
        const pid_t pid = ::fork();
        if (pid == 0) {
            volatile unsigned long spin = 0;
            for (;;)
                spin = spin + 1;
        }
        if (pid > 0)
            pids_.push_back(pid);
    }
}

BusyLoops::~BusyLoops() { endChildren(pids_); }

MachinePauses::MachinePauses()
{
    cpu_set_t allowed;
    CPU_ZERO(&allowed);
    if (::sched_getaffinity(0, sizeof allowed, &allowed) != 0)
        return;
    sleepers_ = unsigned(CPU_COUNT(&allowed));
    void* shared = ::mmap(nullptr, sizeof(std::atomic<std::int64_t>) * sleepers_,
        PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (shared == MAP_FAILED) {
        sleepers_ = 0;
        return;
    }
    longestNs_ = static_cast<std::atomic<std::int64_t>*>(shared);
    static_assert(std::atomic<std::int64_t>::is_always_lock_free, "shared between processes");
    unsigned slot = 0;
    for (int processor = 0; processor < CPU_SETSIZE && slot < sleepers_; ++processor) {
        if (!CPU_ISSET(processor, &allowed))
            continue;
        auto* longest = new (&longestNs_[slot++]) std::atomic<std::int64_t>(0);
        const pid_t pid = ::fork();
        if (pid == 0)
            sleepOnProcessor(processor, *longest);
        if (pid > 0)
            pids_.push_back(pid);
    }
}

MachinePauses::~MachinePauses()
{
    endChildren(pids_);
    if (longestNs_ != nullptr)
        ::munmap(longestNs_, sizeof(std::atomic<std::int64_t>) * sleepers_);
}

double MachinePauses::longestMs() const
{
    std::int64_t longest = 0;
    for (unsigned i = 0; i < sleepers_; ++i)
        longest = std::max(longest, longestNs_[i].load(std::memory_order_relaxed));
    return double(longest) / 1e6;
}

} // namespace miruteka::bench
