#include "worker_pool.h"

#include "file_systems.h"
#include "worker_thread.h"

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>

namespace miruteka {

struct WorkerPool::State {
    struct Job {
        std::function<void()> work;
        std::stop_token stop;
        ThreadShares shares;
    };

    State(unsigned most, std::string threadName, ThreadStarter starter)
        : bound(std::max(most, 1U))
        , name(std::move(threadName))
        , start(std::move(starter))
    {
    }

    static bool hasRoom(const Job& job, bool counted)
    {
        return std::all_of(job.shares.begin(), job.shares.end(), [&](const auto& share) {
            return share->running_ + (counted ? share->planned_ : 0) < share->most_;
        });
    }

    // The queued work that threads could take now, each counted against its shares as taken.
    std::size_t runnableWork()
    {
        for (const Job& job : queue)
            for (const auto& share : job.shares)
                share->planned_ = 0;
        std::size_t runnable = 0;
        for (const Job& job : queue) {
            if (!hasRoom(job, true))
                continue;
            ++runnable;
            for (const auto& share : job.shares)
                ++share->planned_;
        }
        return runnable;
    }

    std::deque<Job>::iterator firstRunnable()
    {
        return std::find_if(queue.begin(), queue.end(),
            [](const Job& job) { return job.stop.stop_requested() || hasRoom(job, false); });
    }

    // Called with the lock held: the threads that the queued work needs, counted as started, to
    // be started by startClaimed() once the lock is released. Starting a thread can take a while,
    // and a low-priority thread that did it under the lock on a busy machine would keep the
    // window's thread waiting for the lock as long.
    std::size_t claimThreadsForQueue()
    {
        std::size_t claimed = 0;
        for (const std::size_t runnable = runnableWork();
             runnable > idle + starting && threads < bound; ++claimed) {
            ++threads;
            ++starting;
        }
        return claimed;
    }

    // The new thread holds only the state: if it cannot be started, whether the system has no
    // thread or no memory for one, nothing of the work is lost with it; the work waits for a
    // thread of ours to be free, or for a retry.
    void startClaimed(const std::shared_ptr<State>& self, std::size_t claimed) noexcept
    {
        for (; claimed > 0; --claimed) {
            try {
                if (start)
                    start([self] { self->serve(); });
                else
                    std::thread([self] { self->serve(); }).detach();
            } catch (...) {
                const std::lock_guard lock(mutex);
                threads -= claimed;
                starting -= claimed;
                refused = true;
                return;
            }
            const std::lock_guard lock(mutex);
            refused = false;
        }
    }

    void dropStoppedWork()
    {
        std::erase_if(queue, [](const Job& job) { return job.stop.stop_requested(); });
    }

    void serve()
    {
        LowerThisThreadsPriority();
        NameThisThread(name.c_str());
        std::unique_lock lock(mutex);
        --starting;
        for (;;) {
            ++idle;
            auto next = queue.end();
            ready.wait(lock, [&] { return (next = firstRunnable()) != queue.end() || closing; });
            --idle;
            if (next == queue.end()) {
                --threads;
                return;
            }
            Job job = std::move(*next);
            queue.erase(next);
            if (job.stop.stop_requested())
                continue;
            for (const auto& share : job.shares)
                ++share->running_;
            lock.unlock();
            // The work reports its own failures; whatever escapes it ends neither this thread
            // nor the process.
            try {
                job.work();
            } catch (...) {
            }
            job.work = {}; // what the work held goes before the thread waits for more
            lock.lock();
            // The room freed is taken by this thread itself as it looks for more work.
            for (const auto& share : job.shares)
                --share->running_;
            job.shares.clear();
        }
    }

    const unsigned bound;
    const std::string name;
    const ThreadStarter start;
    std::mutex mutex;
    std::condition_variable ready;
    std::deque<Job> queue;
    std::size_t threads = 0;
    std::size_t idle = 0;
    std::size_t starting = 0; // started, not yet waiting for work
    bool closing = false;
    bool refused = false;
};

WorkerPool::WorkerPool(unsigned bound, std::string threadName, ThreadStarter start)
    : state_(std::make_shared<State>(bound, std::move(threadName), std::move(start)))
{
}

WorkerPool::~WorkerPool()
{
    {
        const std::lock_guard lock(state_->mutex);
        state_->closing = true;
    }
    state_->ready.notify_all();
}

WorkerPool& WorkerPool::measuring()
{
    // Each file system's requests in flight: on a share that answers each request after a
    // fixed delay, 32 came close to the best of any count, and on a local disk they cost nothing
    // over 2. The local disks keep their 32 threads whatever the shares' threads wait for.
    static auto* pool = new WorkerPool(localMeasuringThreads + remoteMeasuringThreads, "measuring");
    return *pool;
}

WorkerPool& WorkerPool::walking()
{
    static auto* pool = new WorkerPool(2, "walking");
    return *pool;
}

WorkerPool& WorkerPool::saving()
{
    // A second thread, so that one save stuck in a file system that no longer answers does not
    // hold the next save to another place.
    static auto* pool = new WorkerPool(2, "saving");
    return *pool;
}

void WorkerPool::submit(std::function<void()> work, std::stop_token stop, ThreadShares shares)
{
    std::size_t claimed = 0;
    {
        const std::lock_guard lock(state_->mutex);
        // Abandoned work that no thread took goes now, so that a pool whose threads are all stuck
        // does not gather the work of every drop given up on meanwhile.
        state_->dropStoppedWork();
        state_->queue.push_back({ std::move(work), std::move(stop), std::move(shares) });
        claimed = state_->claimThreadsForQueue();
    }
    state_->ready.notify_one();
    state_->startClaimed(state_, claimed);
}

void WorkerPool::retry()
{
    std::size_t claimed = 0;
    {
        const std::lock_guard lock(state_->mutex);
        state_->dropStoppedWork();
        claimed = state_->claimThreadsForQueue();
    }
    state_->startClaimed(state_, claimed);
}

unsigned WorkerPool::bound() const { return state_->bound; }

std::size_t WorkerPool::threads() const
{
    const std::lock_guard lock(state_->mutex);
    return state_->threads;
}

std::size_t WorkerPool::idle() const
{
    const std::lock_guard lock(state_->mutex);
    return state_->idle;
}

bool WorkerPool::refused() const
{
    const std::lock_guard lock(state_->mutex);
    return state_->refused;
}

std::size_t WorkerPool::queued() const
{
    const std::lock_guard lock(state_->mutex);
    return state_->queue.size();
}

} // namespace miruteka
