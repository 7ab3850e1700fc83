#include "concurrent_lengths.h"

#include "files.h"
#include "worker_pool.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <new>

namespace miruteka {

struct ConcurrentLengths::State {
    State(std::shared_ptr<const Paths> list, Measure how)
        : measure(how ? std::move(how) : Measure(MeasureFile))
        , count(list->size())
        , paths(std::move(list))
        , bytes(count)
        , outcomes(std::make_unique<std::atomic<Outcome>[]>(count))
    {
    }

    // Each worker takes the next path under the lock and measures a copy of it, so that a stop
    // can let the whole list go while a worker waits on a file system. A slot is written before
    // its outcome publishes it, and only while the measuring goes on.
    void work()
    {
        begun.fetch_add(1);
        try {
            std::u16string path;
            for (;;) {
                std::size_t index = 0;
                {
                    const std::lock_guard lock(mutex);
                    if (stopped.load() || next == count)
                        return;
                    index = next++;
                    path = (*paths)[index];
                }
                const std::optional<std::int64_t> length = measure(path);
                {
                    const std::lock_guard lock(mutex);
                    if (stopped.load())
                        return;
                    bytes[index] = length.value_or(0);
                    // Counted before it is published: whoever has seen every length reads
                    // the whole count, not one short of it.
                    measured.fetch_add(1, std::memory_order_relaxed);
                    outcomes[index].store(length ? Outcome::measured : Outcome::notAFile);
                }
                changed.notify_all();
            }
        } catch (const std::bad_alloc&) {
            failed.store(true);
            stop();
        }
    }

    void stop()
    {
        std::shared_ptr<const Paths> letGo;
        {
            const std::lock_guard lock(mutex);
            stopped.store(true);
            letGo = std::move(paths);
        }
        stopSource.request_stop(); // the pool drops what no thread has taken yet
        changed.notify_all();
    }

    const Measure measure;
    const std::size_t count;
    std::shared_ptr<const Paths> paths; // let go once stopped
    std::vector<std::int64_t> bytes;
    std::unique_ptr<std::atomic<Outcome>[]> outcomes; // value-initialised: all pending
    std::size_t next = 0;
    std::atomic<std::size_t> measured { 0 };
    std::atomic<unsigned> begun { 0 };
    std::atomic<bool> stopped { false };
    std::atomic<bool> failed { false };
    std::stop_source stopSource;
    std::mutex mutex;
    std::condition_variable changed;
};

ConcurrentLengths::ConcurrentLengths(std::shared_ptr<const Paths> paths, unsigned inFlight,
    std::stop_token stop, Measure measure, WorkerPool* pool)
    : paths_(paths)
    , state_(std::make_shared<State>(std::move(paths), std::move(measure)))
    , onStop_(std::move(stop), [state = state_] { state->stop(); })
{
    WorkerPool& workers = pool ? *pool : WorkerPool::measuring();
    const std::size_t jobs = std::min<std::size_t>(std::max(inFlight, 1U), state_->count);
    for (std::size_t i = 0; i < jobs; ++i)
        workers.submit([state = state_] { state->work(); }, state_->stopSource.get_token());
}

ConcurrentLengths::~ConcurrentLengths() { state_->stop(); }

std::size_t ConcurrentLengths::size() const { return paths_->size(); }

const std::u16string& ConcurrentLengths::path(std::size_t index) const { return (*paths_)[index]; }

std::size_t ConcurrentLengths::measured() const
{
    return state_->measured.load(std::memory_order_relaxed);
}

bool ConcurrentLengths::waitingForWorker() const
{
    return state_->begun.load() == 0 && state_->count > 0 && !state_->stopped.load();
}

void ConcurrentLengths::stop() { state_->stop(); }

ConcurrentLengths::Length ConcurrentLengths::wait(std::size_t index) const
{
    State& state = *state_;
    if (const Outcome known = state.outcomes[index].load(); known != Outcome::pending)
        return { known, state.bytes[index] };
    std::unique_lock lock(state.mutex);
    state.changed.wait(lock,
        [&] { return state.outcomes[index].load() != Outcome::pending || state.stopped.load(); });
    if (const Outcome known = state.outcomes[index].load(); known != Outcome::pending)
        return { known, state.bytes[index] };
    return { state.failed.load() ? Outcome::failed : Outcome::cancelled, 0 };
}

} // namespace miruteka
