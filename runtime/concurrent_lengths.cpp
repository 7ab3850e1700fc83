#include "concurrent_lengths.h"

#include "files.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>

namespace miruteka {

struct ConcurrentLengths::State {
    State(std::shared_ptr<const Paths> list, Measure how)
        : measure(how ? std::move(how) : Measure(MeasureFile))
        , paths(std::move(list))
        , bytes(paths->size())
        , outcomes(std::make_unique<std::atomic<Outcome>[]>(paths->size()))
    {
    }

    // Each worker writes only the slots of the indexes it took, and publishes a slot through its
    // outcome before counting it: no lock is needed for the results.
    void work()
    {
        while (!stopped.load(std::memory_order_relaxed)) {
            const std::size_t index = next.fetch_add(1, std::memory_order_relaxed);
            if (index >= paths->size())
                return;
            const std::optional<std::int64_t> length = measure((*paths)[index]);
            bytes[index] = length.value_or(0);
            outcomes[index].store(length ? Outcome::measured : Outcome::notAFile);
            measured.fetch_add(1, std::memory_order_relaxed);
            announce();
        }
    }

    void stop()
    {
        stopped.store(true);
        announce();
    }

    // Wakes whoever waits for a slot. The lock is taken only while someone waits: a waiter
    // counts itself in before it looks at its slot, and then looks again under the lock, so a
    // slot filled in between is never missed.
    void announce()
    {
        if (waiters.load() == 0)
            return;
        {
            const std::lock_guard lock(mutex);
        }
        changed.notify_all();
    }

    const Measure measure;
    const std::shared_ptr<const Paths> paths;
    std::vector<std::int64_t> bytes;
    std::unique_ptr<std::atomic<Outcome>[]> outcomes; // value-initialised: all pending
    std::atomic<std::size_t> next { 0 };
    std::atomic<std::size_t> measured { 0 };
    std::atomic<bool> stopped { false };
    std::atomic<unsigned> waiters { 0 };
    std::mutex mutex;
    std::condition_variable changed;
};

ConcurrentLengths::ConcurrentLengths(
    std::shared_ptr<const Paths> paths, unsigned inFlight, std::stop_token stop, Measure measure)
    : state_(std::make_shared<State>(std::move(paths), std::move(measure)))
    , onStop_(std::move(stop), [state = state_] { state->stop(); })
{
    const std::size_t workers
        = std::min<std::size_t>(std::max(inFlight, 1U), state_->paths->size());
    std::size_t started = 0;
    for (; started < workers; ++started) {
        try {
            std::thread([state = state_] { state->work(); }).detach();
        } catch (const std::system_error&) {
            break; // the system has no more threads to give; those started do the work
        }
    }
    if (started == 0)
        state_->work();
}

ConcurrentLengths::~ConcurrentLengths() { state_->stop(); }

std::size_t ConcurrentLengths::size() const { return state_->paths->size(); }

const std::u16string& ConcurrentLengths::path(std::size_t index) const
{
    return (*state_->paths)[index];
}

std::size_t ConcurrentLengths::measured() const
{
    return state_->measured.load(std::memory_order_relaxed);
}

ConcurrentLengths::Length ConcurrentLengths::wait(std::size_t index) const
{
    State& state = *state_;
    const auto outcome = [&] { return state.outcomes[index].load(); };
    if (outcome() == Outcome::pending) {
        ++state.waiters;
        std::unique_lock lock(state.mutex);
        state.changed.wait(
            lock, [&] { return outcome() != Outcome::pending || state.stopped.load(); });
        --state.waiters;
    }
    if (const Outcome known = outcome(); known != Outcome::pending)
        return { known, state.bytes[index] };
    return { Outcome::cancelled, 0 };
}

} // namespace miruteka
