#include "concurrent_lengths.h"

#include "files.h"
#include "worker_pool.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <new>

namespace miruteka {

namespace {
// The most paths a worker on a local disk takes at once.
constexpr std::size_t mostTakenAtOnce = 8;
} // namespace

struct ConcurrentLengths::State {
    // The paths of one file system, taken in order by the lane's own workers.
    struct Lane {
        std::shared_ptr<FileSystem> fileSystem;
        std::vector<std::size_t> indices;
        std::size_t taken = 0;
        unsigned jobs = 0; // queued or at work
        unsigned working = 0; // have taken a path and not yet left
    };

    State(std::shared_ptr<const Paths> list, std::size_t capacity, unsigned requests, Measure how,
        WorkerPool* given)
        : measure(how ? std::move(how) : Measure(MeasureFile))
        , most(capacity)
        , inFlight(std::max(requests, 1U))
        , pool(given ? *given : WorkerPool::measuring())
        , sharesApply(!given)
        , paths(std::move(list))
        , bytes(most)
        , outcomes(std::make_unique<std::atomic<Outcome>[]>(most))
        , laneOf(most)
    {
    }

    // Each worker takes the next path of its lane under the lock and measures a copy of it, so
    // that a stop can let the whole list go while a worker waits on a file system. A slot is
    // written before its outcome publishes it, and only while the measuring goes on. Publishing
    // lengths and taking the next paths share one hold of the lock, and the waiter is woken
    // only for the slot it waits on: with dozens of workers on a local disk, a wake for every
    // length kept the waiting thread switching in and out for nothing. On a local disk a worker
    // takes a few paths at a time while its lane has many left for every worker, which spares
    // the lock, and the lines of memory the workers share, most of their trips between the two
    // processors; on a share one at a time, so that a stuck request holds back no other path. A
    // worker lets go of the folder it keeps open (MeasureFile) before it publishes lengths that
    // leave its lane with nothing to take: whoever has every length finds no descriptor of the
    // drop still open.
    void work(std::size_t laneIndex)
    {
        try {
            struct Taken {
                std::size_t index = 0;
                std::u16string path;
                std::optional<std::int64_t> length;
            };
            std::array<Taken, mostTakenAtOnce> taken;
            std::size_t count = 0; // taken, and all measured unless stopped meanwhile
            std::shared_ptr<FileSystem> fileSystem;
            Requests requests;
            bool counted = false;
            bool holdsFolder = false;
            for (;;) {
                bool wake = false;
                bool leave = false;
                bool letGoFirst = false;
                {
                    const std::lock_guard lock(mutex);
                    Lane& lane = lanes[laneIndex];
                    const bool dry = lane.taken == lane.indices.size();
                    if (count > 0 && !stopped.load() && dry && holdsFolder) {
                        letGoFirst = true;
                    } else {
                        if (count > 0 && !stopped.load()) {
                            for (std::size_t k = 0; k < count; ++k) {
                                const Taken& one = taken[k];
                                bytes[one.index] = one.length.value_or(0);
                                // Counted before it is published: whoever has seen every length
                                // reads the whole count, not one short of it.
                                measured.fetch_add(1, std::memory_order_relaxed);
                                outcomes[one.index].store(
                                    one.length ? Outcome::measured : Outcome::notAFile);
                                wake = wake || (waiters > 0 && (!awaited || *awaited == one.index));
                            }
                        }
                        count = 0;
                        if (stopped.load() || dry) {
                            --lane.jobs;
                            lane.working -= counted ? 1 : 0;
                            leave = true;
                        } else {
                            count = takeAtOnce(lane);
                            for (std::size_t k = 0; k < count; ++k) {
                                taken[k].index = lane.indices[lane.taken++];
                                taken[k].path = (*paths)[taken[k].index];
                            }
                            if (!fileSystem)
                                fileSystem = lane.fileSystem;
                            lane.working += counted ? 0 : 1;
                            counted = true;
                        }
                    }
                }
                if (wake)
                    changed.notify_all();
                if (letGoFirst || leave) {
                    EndMeasuring();
                    holdsFolder = false;
                }
                if (leave)
                    return;
                if (letGoFirst)
                    continue;
                holdsFolder = true;
                // No file is asked for once the measuring is stopped; what was measured of the
                // paths taken is then thrown away with them.
                for (std::size_t k = 0; k < count && !stopped.load(); ++k) {
                    requests.started(fileSystem.get());
                    taken[k].length = measure(taken[k].path);
                }
            }
        } catch (...) {
            // Out of memory most likely; whatever it was, no length of this worker's can be
            // trusted, and a waiter must not wait for one that never comes.
            EndMeasuring();
            failed.store(true);
            stop();
        }
    }

    // A worker's requests to its lane's file system, in flight from its first path to its last:
    // it asks for the next as soon as one is answered, and the threads that share the file
    // system's record then write it once a path instead of three times.
    class Requests {
    public:
        Requests() = default;
        Requests(const Requests&) = delete;
        Requests& operator=(const Requests&) = delete;
        ~Requests()
        {
            if (asking_)
                asking_->requestAnswered();
        }
        void started(FileSystem* on)
        {
            if (asking_)
                asking_->answeredAndAskedAgain();
            else if ((asking_ = on))
                asking_->requestStarted();
        }

    private:
        FileSystem* asking_ = nullptr;
    };

    // Called with the lock held: how many paths a worker takes from its lane now.
    std::size_t takeAtOnce(const Lane& lane) const
    {
        if (lane.fileSystem && lane.fileSystem->remote())
            return 1;
        const std::size_t left = lane.indices.size() - lane.taken;
        return std::clamp<std::size_t>(left / (std::size_t(inFlight) * 4), 1, mostTakenAtOnce);
    }

    // Called with the lock held: the workers that the lane's waiting paths need, counted as
    // queued, for submitJobs() to queue once the lock is let go.
    unsigned claimJobs(Lane& lane)
    {
        unsigned claimed = 0;
        while (
            lane.jobs < inFlight && lane.jobs < lane.indices.size() - lane.taken + lane.working) {
            ++lane.jobs;
            ++claimed;
        }
        return claimed;
    }

    void submitJobs(const std::shared_ptr<State>& self, std::size_t laneIndex, unsigned claimed,
        const ThreadShares& shares)
    {
        for (; claimed > 0; --claimed) {
            try {
                pool.submit(
                    [self, laneIndex] { self->work(laneIndex); }, stopSource.get_token(), shares);
            } catch (...) {
                const std::lock_guard lock(mutex);
                lanes[laneIndex].jobs -= claimed;
                throw;
            }
        }
    }

    void stop()
    {
        std::shared_ptr<const Paths> letGo;
        {
            const std::lock_guard lock(mutex);
            stopped.store(true);
            letGo = std::move(paths);
            growing = nullptr;
        }
        stopSource.request_stop(); // the pool drops what no thread has taken yet
        changed.notify_all();
    }

    const Measure measure;
    const std::size_t most;
    const unsigned inFlight;
    WorkerPool& pool;
    // A file system's thread shares are counted by the process's measuring pool; on another
    // (a test's), its paths keep only a lane of their own.
    const bool sharesApply;
    std::shared_ptr<const Paths> paths; // let go once stopped
    Paths* growing = nullptr; // the same list, while paths come in
    std::vector<std::int64_t> bytes;
    std::unique_ptr<std::atomic<Outcome>[]> outcomes; // value-initialised: all pending
    std::vector<std::size_t> laneOf;
    std::vector<Lane> lanes;
    std::size_t added = 0;
    bool closed = false;
    std::atomic<std::size_t> available { 0 };
    std::atomic<std::size_t> next { 0 }; // the index the report waits for next
    std::atomic<std::size_t> measured { 0 };
    std::atomic<bool> stopped { false };
    std::atomic<bool> failed { false };
    // Under the lock: the threads in wait(), and the slot they wait for while there is one of
    // them (none while several are, and every length wakes them).
    unsigned waiters = 0;
    std::optional<std::size_t> awaited;
    std::stop_source stopSource;
    std::mutex mutex;
    std::condition_variable changed;
};

ConcurrentLengths::ConcurrentLengths(std::shared_ptr<const Paths> paths, Paths* growing,
    std::size_t most, unsigned inFlight, std::stop_token stop, Measure measure, WorkerPool* pool)
    : paths_(paths)
    , state_(std::make_shared<State>(std::move(paths), most, inFlight, std::move(measure), pool))
    , onStop_(std::move(stop), [state = state_] { state->stop(); })
{
    state_->growing = growing;
}

ConcurrentLengths::ConcurrentLengths(std::shared_ptr<const Paths> paths, unsigned inFlight,
    std::stop_token stop, Measure measure, WorkerPool* pool)
    : ConcurrentLengths(
        paths, nullptr, paths->size(), inFlight, std::move(stop), std::move(measure), pool)
{
    State& state = *state_;
    unsigned claimed = 0;
    {
        const std::lock_guard lock(state.mutex);
        State::Lane& lane = state.lanes.emplace_back();
        lane.indices.resize(state.most);
        for (std::size_t i = 0; i < state.most; ++i)
            lane.indices[i] = i;
        state.added = state.most;
        state.closed = true;
        state.available.store(state.most);
        claimed = state.claimJobs(lane);
    }
    state.submitJobs(state_, 0, claimed, {});
}

namespace {
// Room for every path from the start: the workers read the list while it grows.
std::shared_ptr<ConcurrentLengths::Paths> reservedPaths(std::size_t most)
{
    auto paths = std::make_shared<ConcurrentLengths::Paths>();
    paths->reserve(most);
    return paths;
}
} // namespace

ConcurrentLengths::ConcurrentLengths(
    Incoming incoming, unsigned inFlight, std::stop_token stop, Measure measure, WorkerPool* pool)
    : ConcurrentLengths(
        incoming, reservedPaths(incoming.most), inFlight, std::move(stop), std::move(measure), pool)
{
}

ConcurrentLengths::ConcurrentLengths(Incoming incoming, std::shared_ptr<Paths> paths,
    unsigned inFlight, std::stop_token stop, Measure measure, WorkerPool* pool)
    : ConcurrentLengths(
        paths, paths.get(), incoming.most, inFlight, std::move(stop), std::move(measure), pool)
{
}

ConcurrentLengths::~ConcurrentLengths() { state_->stop(); }

void ConcurrentLengths::add(std::span<std::u16string> paths, const std::shared_ptr<FileSystem>& on)
{
    State& state = *state_;
    std::size_t laneIndex = 0;
    unsigned claimed = 0;
    try {
        {
            const std::lock_guard lock(state.mutex);
            if (!state.growing || state.closed)
                return;
            if (paths.size() > state.most - state.added)
                throw std::length_error("more paths than announced");
            const auto found = std::find_if(state.lanes.begin(), state.lanes.end(),
                [&](const State::Lane& lane) { return lane.fileSystem == on; });
            laneIndex = static_cast<std::size_t>(found - state.lanes.begin());
            if (found == state.lanes.end())
                state.lanes.emplace_back().fileSystem = on;
            State::Lane& lane = state.lanes[laneIndex];
            lane.indices.reserve(lane.indices.size() + paths.size());
            for (std::u16string& path : paths) {
                state.growing->push_back(std::move(path)); // never beyond the room reserved
                state.laneOf[state.added] = laneIndex;
                lane.indices.push_back(state.added++);
            }
            state.available.store(state.added);
            claimed = state.claimJobs(lane);
        }
        state.submitJobs(state_, laneIndex, claimed,
            on && state.sharesApply ? on->threadShares() : ThreadShares {});
    } catch (...) {
        state.stop();
        throw;
    }
    state.changed.notify_all();
}

void ConcurrentLengths::close()
{
    {
        const std::lock_guard lock(state_->mutex);
        state_->closed = true;
    }
    state_->changed.notify_all();
}

std::size_t ConcurrentLengths::size() const { return state_->available.load(); }

const std::u16string& ConcurrentLengths::path(std::size_t index) const { return (*paths_)[index]; }

std::size_t ConcurrentLengths::measured() const
{
    return state_->measured.load(std::memory_order_relaxed);
}

bool ConcurrentLengths::waitingForWorker() const
{
    State& state = *state_;
    const std::lock_guard lock(state.mutex);
    const std::size_t next = state.next.load();
    if (state.stopped.load() || next >= state.added)
        return false;
    const State::Lane& lane = state.lanes[state.laneOf[next]];
    return lane.working == 0 && lane.taken < lane.indices.size();
}

std::shared_ptr<const FileSystem> ConcurrentLengths::awaitedFileSystem() const
{
    State& state = *state_;
    const std::lock_guard lock(state.mutex);
    const std::size_t next = state.next.load();
    if (next >= state.added)
        return nullptr;
    return state.lanes[state.laneOf[next]].fileSystem;
}

void ConcurrentLengths::stop() { state_->stop(); }

ConcurrentLengths::Length ConcurrentLengths::wait(std::size_t index) const
{
    State& state = *state_;
    state.next.store(index);
    const auto known = [&]() -> std::optional<Length> {
        if (index < state.most) {
            if (const Outcome outcome = state.outcomes[index].load(); outcome != Outcome::pending)
                return Length { outcome, state.bytes[index] };
        }
        return std::nullopt;
    };
    if (const auto length = known())
        return *length;
    std::unique_lock lock(state.mutex);
    state.awaited = state.waiters++ == 0 ? std::optional(index) : std::nullopt;
    state.changed.wait(lock,
        [&] { return known() || state.stopped.load() || (state.closed && index >= state.added); });
    if (--state.waiters == 0)
        state.awaited.reset();
    if (const auto length = known())
        return *length;
    if (state.stopped.load())
        return { state.failed.load() ? Outcome::failed : Outcome::cancelled, 0 };
    return { Outcome::end, 0 };
}

} // namespace miruteka
