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
#include <vector>

namespace miruteka {

// A part of a pool's threads that some of its work may take at most, such as the requests to
// one file system: work whose shares are all taken waits, and other work goes past it. Counted
// under the lock of the one pool it is used with.
class ThreadShare {
public:
    explicit ThreadShare(unsigned most)
        : most_(most)
    {
    }
    unsigned most() const { return most_; }

private:
    friend class WorkerPool;
    const unsigned most_;
    unsigned running_ = 0;
    unsigned planned_ = 0; // while the pool counts the threads its queue needs
};
using ThreadShares = std::vector<std::shared_ptr<ThreadShare>>;

class WorkerPool {
public:
    // Starts a thread that runs the function given; throws where the system gives none.
    using ThreadStarter = std::function<void(std::function<void()>)>;

    // A pool of at most `bound` threads (at least one), which run below the priority of the
    // thread that shows the window: they wait on disks, and the window must answer meanwhile.
    // Each thread bears `threadName`, which says in a debugger or a list of threads whose it is.
    // Threads are started by `start`: a detached std::thread unless a test has another way.
    explicit WorkerPool(
        unsigned bound, std::string threadName = "worker", ThreadStarter start = {});
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
    // `stop` is requested before a thread takes it is dropped unrun. Work with shares runs only
    // while each of them has room; work queued after it may run first. Where the system gives
    // no thread, the work waits for one of the pool's threads to be free, or for retry(); it is
    // never run on the calling thread. Throws std::bad_alloc, with nothing queued, only when the
    // work cannot be queued.
    void submit(std::function<void()> work, std::stop_token stop = {}, ThreadShares shares = {});
    // Starts threads for queued work that none of the pool's threads is free to take.
    void retry();

    unsigned bound() const;
    std::size_t threads() const; // started and not yet ended
    std::size_t idle() const;
    std::size_t queued() const;
    // True while queued work waits because the system refused the last thread asked of it.
    bool refused() const;

private:
    struct State;
    std::shared_ptr<State> state_;
};

} // namespace miruteka
