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

// std::latch's interface on a mutex and a condition variable. MinGW's libstdc++ 12 builds
// std::latch on its atomic wait, which can miss a wake-up where the system has no futex: a test
// hung under Wine with one thread still waiting on a latch that had reached zero.
class Latch {
public:
    explicit Latch(std::size_t count)
        : count_(count)
    {
    }
    void count_down()
    {
        const std::lock_guard lock(mutex_);
        if (count_ > 0 && --count_ == 0)
            reached_.notify_all();
    }
    void wait()
    {
        std::unique_lock lock(mutex_);
        reached_.wait(lock, [&] { return count_ == 0; });
    }
    void arrive_and_wait()
    {
        count_down();
        wait();
    }

private:
    std::mutex mutex_;
    std::condition_variable reached_;
    std::size_t count_;
};

} // namespace miruteka::testing
