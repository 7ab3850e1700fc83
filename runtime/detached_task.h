// Work that may wait on a disk or a network, on a thread of its own that nobody ever joins: the
// caller asks whether it is done, and may stop it or walk away from it. Walking away costs
// nothing but the thread, which ends when its work does; a thread stuck in a file system that no
// longer answers holds no one, not even the program's exit.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <system_error>
#include <thread>
#include <utility>

namespace miruteka {

template <typename Result> class DetachedTask {
public:
    // Starts `work(std::stop_token)` at once; `onDone`, when given, is called on the work's
    // thread once the result is in. Where the system has no thread to give, both run here
    // instead, so that the work is never lost.
    template <typename Work>
    explicit DetachedTask(Work work, std::function<void()> onDone = {})
        : state_(std::make_shared<State>())
    {
        auto run = [state = state_, work = std::move(work), onDone = std::move(onDone)]() mutable {
            state->finish(work(state->stop.get_token()));
            if (onDone)
                onDone();
        };
        try {
            std::thread(std::move(run)).detach();
        } catch (const std::system_error&) {
            run();
        }
    }
    // Asks the work to stop and walks away from it.
    ~DetachedTask()
    {
        if (state_)
            state_->stop.request_stop();
    }
    DetachedTask(DetachedTask&&) noexcept = default;
    DetachedTask& operator=(DetachedTask&&) noexcept = default;
    DetachedTask(const DetachedTask&) = delete;
    DetachedTask& operator=(const DetachedTask&) = delete;

    void requestStop() { state_->stop.request_stop(); }
    bool stopRequested() const { return state_->stop.stop_requested(); }

    bool done() const
    {
        const std::lock_guard lock(state_->mutex);
        return state_->result.has_value();
    }
    // Waits at most `limit` for the work to end; true when it has.
    bool waitFor(std::chrono::milliseconds limit) const
    {
        std::unique_lock lock(state_->mutex);
        return state_->finished.wait_for(lock, limit, [&] { return state_->result.has_value(); });
    }
    // The work's result, once done.
    Result take()
    {
        const std::lock_guard lock(state_->mutex);
        return std::move(*state_->result);
    }

private:
    struct State {
        void finish(Result value)
        {
            {
                const std::lock_guard lock(mutex);
                result.emplace(std::move(value));
            }
            finished.notify_all();
        }

        std::stop_source stop;
        std::mutex mutex;
        std::condition_variable finished;
        std::optional<Result> result;
    };
    std::shared_ptr<State> state_;
};

} // namespace miruteka
