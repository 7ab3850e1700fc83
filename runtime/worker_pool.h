// Threads for work that waits on a disk or a network. A pool starts a thread only when no idle
// one of its own can take the work and it holds fewer than its bound, so work stuck on a server
// that no longer answers takes a thread of the bound, never a new one. The process has three
// pools, so that neither stuck measuring nor a walk waiting for it can starve a save.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <stop_token>
#include <string>

namespace miruteka {

class WorkerPool {
public:
    // A pool of at most `bound` threads (at least one), which run below the priority of the
    // thread that shows the window: they wait on disks, and the window must answer meanwhile.
    // Each thread bears `threadName`, which says in a debugger or a list of threads whose it is.
    explicit WorkerPool(unsigned bound, std::string threadName = "worker");
    // Lets the idle threads end; a thread still at work ends when its work does, and what it
    // uses lives until then.
    ~WorkerPool();
    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;

    // The process's pools. They are never destroyed, so that a thread left stuck at exit never
    // finds its pool gone.
    static WorkerPool& measuring(); // lengths of dropped files
    static WorkerPool& walking(); // the walks that wait for those lengths in order
    static WorkerPool& saving(); // reports being written

    // Queues the work for the next free thread, starting one if the bound allows. Work whose
    // `stop` is requested before a thread takes it is dropped unrun. Where the system gives no
    // thread, the work waits for one of the pool's threads to be free, or for retry(); it is
    // never run on the calling thread.
    void submit(std::function<void()> work, std::stop_token stop = {});
    // Starts threads for queued work that none of the pool's threads is free to take.
    void retry();

    unsigned bound() const;
    std::size_t threads() const; // started and not yet ended
    std::size_t idle() const;
    std::size_t queued() const;

private:
    struct State;
    std::shared_ptr<State> state_;
};

} // namespace miruteka
