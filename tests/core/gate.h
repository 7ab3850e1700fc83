// A gate that work stops at until the test opens it, counting who has arrived and who has gone
// through: the tests order threads with it, never with sleeps. Held by shared_ptr, so that work
// still running when a test ends finds it alive.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <memory>
#include <mutex>

namespace miruteka::testing {

class Gate {
public:
    static std::shared_ptr<Gate> make() { return std::make_shared<Gate>(); }

    // Arrives, and waits until the gate is open.
    void pass()
    {
        std::unique_lock lock(mutex_);
        ++arrived_;
        changed_.notify_all();
        changed_.wait(lock, [&] { return open_; });
        ++through_;
        changed_.notify_all();
    }
    void open()
    {
        const std::lock_guard lock(mutex_);
        open_ = true;
        changed_.notify_all();
    }
    void waitForArrivals(std::size_t count)
    {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] { return arrived_ >= count; });
    }
    void waitForPassed(std::size_t count)
    {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] { return through_ >= count; });
    }
    std::size_t arrived() const
    {
        const std::lock_guard lock(mutex_);
        return arrived_;
    }

private:
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::size_t arrived_ = 0;
    std::size_t through_ = 0;
    bool open_ = false;
};

} // namespace miruteka::testing
