// The system refuses threads: pthread_create is replaced, in this test program alone, by one
// that fails with EAGAIN past a number of threads the test allows; or memory runs out as a
// thread is made, and starting it throws std::bad_alloc. No work may then run on the
// thread that asked for it (the window's, in the program), and none may be lost: it waits, and
// runs once a thread is given.
#include "concurrent_lengths.h"
#include "fee_report.h"
#include "gate.h"
#include "pooled_task.h"
#include "worker_pool.h"

#include <atomic>
#include <cerrno>
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <mutex>
#include <new>
#include <ostream>
#include <pthread.h>
#include <set>
#include <thread>

namespace {
std::atomic<int> threadsAllowed { 1 << 20 };
} // namespace

extern "C" int pthread_create(
    pthread_t* thread, const pthread_attr_t* attributes, void* (*start)(void*), void* argument)
{
    using Create = int (*)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);
    static const auto real = reinterpret_cast<Create>(::dlsym(RTLD_NEXT, "pthread_create"));
    if (threadsAllowed.fetch_sub(1) <= 0) {
        threadsAllowed.fetch_add(1);
        return EAGAIN;
    }
    return real(thread, attributes, start, argument);
}

namespace miruteka {
namespace {

using testing::Gate;

// Records the threads that ran something.
class Threads {
public:
    void note()
    {
        const std::lock_guard lock(mutex_);
        ids_.insert(std::this_thread::get_id());
    }
    bool includes(std::thread::id id) const
    {
        const std::lock_guard lock(mutex_);
        return ids_.count(id) != 0;
    }
    std::size_t count() const
    {
        const std::lock_guard lock(mutex_);
        return ids_.size();
    }

private:
    mutable std::mutex mutex_;
    std::set<std::thread::id> ids_;
};

std::atomic<int> threadsWithMemory { 1 << 20 };

struct Refusal {
    int given; // threads the system gives before it refuses
    bool outOfMemory;
};

void PrintTo(const Refusal& refusal, std::ostream* out)
{
    *out << refusal.given << " threads"
         << (refusal.outOfMemory ? ", then out of memory" : ", then EAGAIN");
}

class ThreadRefusalTest : public ::testing::TestWithParam<Refusal> {
protected:
    void SetUp() override
    {
        (GetParam().outOfMemory ? threadsWithMemory : threadsAllowed) = GetParam().given;
    }
    void TearDown() override { allowThreads(); }
    static void allowThreads()
    {
        threadsAllowed = 1 << 20;
        threadsWithMemory = 1 << 20;
    }
    // How the pool starts its threads: as it does by itself, or where memory runs out.
    static WorkerPool::ThreadStarter starter()
    {
        if (!GetParam().outOfMemory)
            return {};
        return [](std::function<void()> run) {
            if (threadsWithMemory.fetch_sub(1) <= 0) {
                threadsWithMemory.fetch_add(1);
                throw std::bad_alloc();
            }
            std::thread(std::move(run)).detach();
        };
    }
};

// Eight pieces of work for a pool of four: with no thread given, none runs until one is; with
// some given, those do all the work. Never is any run on the thread that queued it.
TEST_P(ThreadRefusalTest, PoolWorkWaitsForAThreadAndNeverRunsOnTheCaller)
{
    const int given = GetParam().given;
    WorkerPool pool(4, "worker", starter());
    auto threads = std::make_shared<Threads>();
    auto gate = Gate::make();
    for (int i = 0; i < 8; ++i)
        pool.submit([threads, gate] {
            threads->note();
            gate->pass();
        });
    EXPECT_EQ(pool.threads(), std::size_t(given));
    EXPECT_FALSE(threads->includes(std::this_thread::get_id()));
    if (given == 0) {
        EXPECT_EQ(gate->arrived(), 0U);
        EXPECT_EQ(pool.queued(), 8U);
        EXPECT_TRUE(pool.refused());
        allowThreads();
        pool.retry();
    }
    gate->open();
    gate->waitForPassed(8);
    EXPECT_FALSE(threads->includes(std::this_thread::get_id()));
    EXPECT_LE(threads->count(), std::size_t(given == 0 ? 4 : given));
}

// A task, such as a save, keeps its work while no thread takes it: no crash, nothing done on the
// caller's thread, and done on a thread of the pool once there is one.
TEST_P(ThreadRefusalTest, ATaskKeepsItsWorkUntilAThreadTakesIt)
{
    const int given = GetParam().given;
    WorkerPool pool(2, "worker", starter());
    auto threads = std::make_shared<Threads>();
    PooledTask<int> task(pool, [threads](std::stop_token) {
        threads->note();
        return 7;
    });
    if (given == 0) {
        EXPECT_FALSE(task.started());
        EXPECT_FALSE(task.waitFor(std::chrono::milliseconds(50)));
        EXPECT_TRUE(pool.refused());
        allowThreads();
        pool.retry();
    }
    ASSERT_TRUE(task.waitFor(std::chrono::seconds(10)));
    EXPECT_EQ(task.take(), 7);
    EXPECT_FALSE(threads->includes(std::this_thread::get_id()));
}

// A drop's measuring with no thread to be had waits for one, and says so; it measures nothing
// on the caller's thread.
TEST_P(ThreadRefusalTest, MeasuringWaitsForAThreadAndNeverMeasuresOnTheCaller)
{
    const int given = GetParam().given;
    WorkerPool pool(4, "worker", starter());
    auto threads = std::make_shared<Threads>();
    auto paths = std::make_shared<ConcurrentLengths::Paths>(
        ConcurrentLengths::Paths { u"/a", u"/bb", u"/ccc" });
    const ConcurrentLengths lengths(
        paths, 4, {},
        [threads](std::u16string_view path) {
            threads->note();
            return std::optional<std::int64_t>(path.size() * 128);
        },
        &pool);
    if (given == 0) {
        EXPECT_TRUE(lengths.waitingForWorker());
        EXPECT_EQ(lengths.measured(), 0U);
        EXPECT_TRUE(pool.refused());
        allowThreads();
        pool.retry();
    }
    EXPECT_EQ(BuildFeeReport(lengths, u"0.3"),
        u"/a   0.6円\r\n/bb   0.89円\r\n/ccc   1.2円\r\n\r\nTOTAL 2.7円");
    EXPECT_FALSE(threads->includes(std::this_thread::get_id()));
}

INSTANTIATE_TEST_SUITE_P(Given, ThreadRefusalTest,
    ::testing::Values(Refusal { 0, false }, Refusal { 1, false }, Refusal { 2, false },
        Refusal { 0, true }, Refusal { 1, true }),
    [](const ::testing::TestParamInfo<Refusal>& info) {
        return std::to_string(info.param.given) + "Threads"
            + (info.param.outOfMemory ? "OutOfMemory" : "");
    });

} // namespace
} // namespace miruteka
