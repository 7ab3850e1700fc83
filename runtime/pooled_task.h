// One piece of work that may wait on a disk or a network, run by a thread of a pool: the caller
// asks whether it is done, and may stop it or walk away from it. Walking away costs nothing but
// the pool's thread until the work ends; what the work uses is held by the work itself.
#pragma once

#include "worker_pool.h"

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <utility>

namespace miruteka {

template <typename Result> class PooledTask {
public:
    // Queues `work(std::stop_token)` on the pool; `onDone`, when given, is called on the work's
    // thread once it has ended, whichever way.
    template <typename Work>
    PooledTask(WorkerPool& pool, Work work, std::function<void()> onDone = {})
        : state_(std::make_shared<State>())
    {
        pool.submit(
            [state = state_, work = std::move(work), onDone = std::move(onDone)]() mutable {
                state->run(work);
                if (onDone)
                    onDone();
            },
            state_->stop.get_token());
    }
    // Asks the work to stop and walks away from it.
    ~PooledTask()
    {
        if (state_)
            state_->requestStop();
    }
    PooledTask(PooledTask&&) noexcept = default;
    PooledTask& operator=(PooledTask&& other) noexcept
    {
        if (this != &other) {
            if (state_)
                state_->requestStop();
            state_ = std::move(other.state_);
        }
        return *this;
    }
    PooledTask(const PooledTask&) = delete;
    PooledTask& operator=(const PooledTask&) = delete;

    // Work stopped before a thread took it never starts.
    void requestStop() { state_->requestStop(); }
    bool stopRequested() const { return state_->stop.stop_requested(); }

    // True once a thread has taken the work.
    bool started() const { return phase() != Phase::queued; }
    // True once the work has ended, or will never start.
    bool done() const
    {
        const Phase now = phase();
        return now != Phase::queued && now != Phase::running;
    }
    // True when the work was stopped before any thread took it, and will never run.
    bool dropped() const { return phase() == Phase::dropped; }
    // True when the work ended in an exception (out of memory, most likely) rather than with a
    // result.
    bool failed() const { return phase() == Phase::failed; }
    // Waits at most `limit` for the work to be done; true when it is.
    bool waitFor(std::chrono::milliseconds limit) const
    {
        std::unique_lock lock(state_->mutex);
        return state_->changed.wait_for(lock, limit, [&] { return state_->settled(); });
    }
    // The work's result, once done without failing.
    Result take()
    {
        const std::lock_guard lock(state_->mutex);
        return std::move(*state_->result);
    }

private:
    enum class Phase { queued, running, finished, failed, dropped };
    struct State {
        template <typename Work> void run(Work& work)
        {
            {
                const std::lock_guard lock(mutex);
                if (phase != Phase::queued)
                    return;
                phase = Phase::running;
            }
            std::optional<Result> value;
            bool threw = false;
            try {
                value.emplace(work(stop.get_token()));
            } catch (...) {
                threw = true;
            }
            {
                const std::lock_guard lock(mutex);
                result = std::move(value);
                phase = threw ? Phase::failed : Phase::finished;
            }
            changed.notify_all();
        }
        void requestStop()
        {
            stop.request_stop();
            {
                const std::lock_guard lock(mutex);
                if (phase == Phase::queued)
                    phase = Phase::dropped;
            }
            changed.notify_all();
        }
        bool settled() const { return phase != Phase::queued && phase != Phase::running; }

        std::stop_source stop;
        mutable std::mutex mutex;
        std::condition_variable changed;
        Phase phase = Phase::queued;
        std::optional<Result> result;
    };
    Phase phase() const
    {
        const std::lock_guard lock(state_->mutex);
        return state_->phase;
    }
    std::shared_ptr<State> state_;
};

} // namespace miruteka
