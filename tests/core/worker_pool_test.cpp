#include "concurrent_lengths.h"
#include "fee_report.h"
#include "gate.h"
#include "pooled_task.h"
#include "worker_pool.h"

#include <algorithm>
#include <atomic>
#include <fstream>
#include <gtest/gtest.h>
#include <new>
#include <string>
#include <thread>

#ifdef __linux__
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>
#endif

namespace miruteka {
namespace {

using testing::Gate;

struct BoundCase {
    unsigned bound;
    std::size_t jobs;
};

class PoolBoundTest : public ::testing::TestWithParam<BoundCase> { };

// However much work comes, no more threads than the bound run it, and a second round of work is
// taken by the threads of the first, now idle: no new ones.
TEST_P(PoolBoundTest, StartsNoMoreThreadsThanTheBoundAndReusesIdleOnes)
{
    const auto [bound, jobs] = GetParam();
    WorkerPool pool(bound);
    const std::size_t expected = std::min<std::size_t>(std::max(bound, 1U), jobs);
    for (int round = 0; round < 2; ++round) {
        auto gate = Gate::make();
        for (std::size_t i = 0; i < jobs; ++i)
            pool.submit([gate] { gate->pass(); });
        gate->waitForArrivals(expected);
        EXPECT_EQ(pool.threads(), expected) << "round " << round;
        EXPECT_EQ(pool.queued(), jobs - expected) << "round " << round;
        gate->open();
        gate->waitForPassed(jobs);
        EXPECT_EQ(pool.threads(), expected) << "round " << round;
        // The threads are idle again once they have let go of their work.
        while (pool.idle() < expected)
            std::this_thread::yield();
    }
}

INSTANTIATE_TEST_SUITE_P(Pool, PoolBoundTest,
    ::testing::Values(BoundCase { 1, 5 }, BoundCase { 4, 2 }, BoundCase { 4, 20 },
        BoundCase { 32, 32 }, BoundCase { 0, 3 }));

// Threads stuck on a server that never answers hold the bound; work given up on meanwhile is
// dropped from the queue unrun, so that neither threads nor queued work pile up.
TEST(WorkerPool, WorkAbandonedWhileTheBoundIsStuckIsDroppedUnrun)
{
    WorkerPool pool(2);
    auto stuck = Gate::make();
    pool.submit([stuck] { stuck->pass(); });
    pool.submit([stuck] { stuck->pass(); });
    stuck->waitForArrivals(2);

    auto ran = std::make_shared<std::atomic<int>>(0);
    for (int drop = 0; drop < 100; ++drop) {
        std::stop_source abandon;
        for (int i = 0; i < 32; ++i)
            pool.submit([ran] { ++*ran; }, abandon.get_token());
        abandon.request_stop();
    }
    EXPECT_EQ(pool.threads(), 2U);
    EXPECT_LE(pool.queued(), 32U); // at most the last drop's, until the next submit or retry
    pool.retry();
    EXPECT_EQ(pool.queued(), 0U);

    stuck->open();
    stuck->waitForPassed(2);
    auto after = Gate::make();
    pool.submit([after] { after->pass(); });
    after->open();
    after->waitForPassed(1);
    EXPECT_EQ(ran->load(), 0);
}

// Whatever escapes a piece of work, running out of memory above all, ends neither the thread nor
// the process; the next work runs on the same thread.
TEST(WorkerPool, AnEscapingExceptionEndsNeitherThreadNorProcess)
{
    WorkerPool pool(1);
    auto gate = Gate::make();
    pool.submit([] { throw std::bad_alloc(); });
    pool.submit([] { throw 42; });
    pool.submit([gate] { gate->pass(); });
    gate->open();
    gate->waitForPassed(1);
    EXPECT_EQ(pool.threads(), 1U);

    PooledTask<int> task(pool, [](std::stop_token) -> int { throw std::bad_alloc(); });
    ASSERT_TRUE(task.waitFor(std::chrono::seconds(10)));
    EXPECT_TRUE(task.failed());
}

#ifdef __linux__
// The workers wait on disks; the window's thread must win the processor from them, also when
// the program was started with nice (the run goes on at each lower priority in turn: a thread
// may lower its own priority, not raise it again).
TEST(WorkerPool, WorkersRunBelowTheCallersPriority)
{
    const auto self = static_cast<id_t>(::syscall(SYS_gettid));
    ASSERT_EQ(self, static_cast<id_t>(::getpid())) << "the test must run on the main thread";
    errno = 0;
    const int start = ::getpriority(PRIO_PROCESS, self);
    ASSERT_EQ(errno, 0);
    for (const int raised : { 0, 5, 12 }) {
        const int callers = std::min(start + raised, 18);
        ASSERT_EQ(::setpriority(PRIO_PROCESS, self, callers), 0);
        WorkerPool pool(1);
        PooledTask<int> task(pool, [](std::stop_token) {
            return ::getpriority(PRIO_PROCESS, static_cast<id_t>(::syscall(SYS_gettid)));
        });
        ASSERT_TRUE(task.waitFor(std::chrono::seconds(10)));
        EXPECT_GT(task.take(), callers) << "with the caller at nice " << callers;
    }
}
#endif

#ifdef __linux__
// A list of threads or a debugger tells a worker by its pool's name, cut to the 15 bytes Linux
// keeps rather than refused for its length.
TEST(WorkerPool, WorkersBearTheirPoolsName)
{
    struct NameCase {
        const char* given;
        const char* shown;
    };
    for (const auto& [given, shown] : { NameCase { "measuring", "measuring" },
             NameCase { "a-name-longer-than-fifteen", "a-name-longer-t" } }) {
        WorkerPool pool(1, given);
        PooledTask<std::string> task(pool, [](std::stop_token) {
            std::ifstream comm("/proc/thread-self/comm");
            std::string name;
            std::getline(comm, name);
            return name;
        });
        ASSERT_TRUE(task.waitFor(std::chrono::seconds(10)));
        EXPECT_EQ(task.take(), shown);
    }
}
#endif

// A save given up on before any thread took it never starts, and counts as done at once: the
// exit waits for nothing that will never run. Moving another task over one gives it up alike.
TEST(PooledTask, GivenUpBeforeItStartsItNeverRunsAndIsDone)
{
    WorkerPool pool(1);
    auto stuck = Gate::make();
    pool.submit([stuck] { stuck->pass(); });
    stuck->waitForArrivals(1);
    auto ran = std::make_shared<std::atomic<int>>(0);
    const auto mark
        = [ran](int bit) { return [ran, bit](std::stop_token) { return (*ran |= bit) != 0; }; };

    PooledTask<bool> stopped(pool, mark(1));
    PooledTask<bool> replaced(pool, mark(2));
    EXPECT_FALSE(stopped.started());
    EXPECT_FALSE(stopped.done());
    stopped.requestStop();
    EXPECT_TRUE(stopped.done());
    replaced = PooledTask<bool>(pool, mark(4));

    stuck->open();
    ASSERT_TRUE(replaced.waitFor(std::chrono::seconds(10)));
    EXPECT_TRUE(replaced.take());
    EXPECT_EQ(ran->load(), 4);
}

// While every thread of the measuring pool is stuck elsewhere, a new measuring says it waits for
// a worker and measures nothing; it goes on once a thread is free.
TEST(ConcurrentLengthsPool, WaitsForAWorkerWhileTheBoundIsStuck)
{
    WorkerPool pool(1);
    auto stuck = Gate::make();
    pool.submit([stuck] { stuck->pass(); });
    stuck->waitForArrivals(1);

    auto paths = std::make_shared<ConcurrentLengths::Paths>(
        ConcurrentLengths::Paths { u"/a", u"/bb", u"/ccc" });
    auto measures = std::make_shared<std::atomic<int>>(0);
    const ConcurrentLengths lengths(
        paths, 8, {},
        [measures](std::u16string_view path) {
            ++*measures;
            return std::optional<std::int64_t>(path.size() * 128);
        },
        &pool);
    EXPECT_TRUE(lengths.waitingForWorker());
    EXPECT_EQ(lengths.measured(), 0U);
    EXPECT_EQ(measures->load(), 0);

    stuck->open();
    EXPECT_EQ(BuildFeeReport(lengths, u"0.3"),
        u"/a   0.6円\r\n/bb   0.89円\r\n/ccc   1.2円\r\n\r\nTOTAL 2.7円");
    EXPECT_FALSE(lengths.waitingForWorker());
    EXPECT_EQ(pool.threads(), 1U);
}

// A worker stuck on one file holds that one path and nothing else of an abandoned drop: the
// drop's list goes once its owner and the measuring let go of it.
TEST(ConcurrentLengthsPool, AStuckWorkerDoesNotKeepTheAbandonedDropsList)
{
    WorkerPool pool(2);
    auto server = Gate::make();
    std::weak_ptr<const ConcurrentLengths::Paths> list;
    {
        auto paths = std::make_shared<ConcurrentLengths::Paths>(1000, u"/share/file");
        list = paths;
        ConcurrentLengths lengths(
            std::move(paths), 2, {},
            [server](std::u16string_view) {
                server->pass();
                return std::optional<std::int64_t>(1);
            },
            &pool);
        server->waitForArrivals(2);
    }
    EXPECT_TRUE(list.expired());
    server->open();
    server->waitForPassed(2);
}

// Shares that stop answering keep the measuring threads they took, at most 32 each and 64 for
// all of them; every other file system is measured meanwhile, and the local disks keep threads
// of their own when the stopped shares hold all that shares may take.
TEST(ConcurrentLengthsPool, AStuckFileSystemHoldsBackOnlyItsOwnPaths)
{
    auto server = Gate::make(); // the server of /mnt/a and /mnt/b, which has stopped answering
    const auto measure = [server](std::u16string_view path) {
        if (path.starts_with(u"/mnt/a/") || path.starts_with(u"/mnt/b/"))
            server->pass();
        return std::optional<std::int64_t>(path.size());
    };
    struct Run {
        std::shared_ptr<FileSystem> on;
        std::size_t files;
    };
    const auto measureRuns = [&](std::vector<Run> runs) {
        std::size_t total = 0;
        for (const Run& run : runs)
            total += run.files;
        auto lengths = std::make_shared<ConcurrentLengths>(ConcurrentLengths::Incoming { total },
            lengthRequestsInFlight, std::stop_token {}, measure);
        for (const Run& run : runs) {
            ConcurrentLengths::Paths paths(run.files, run.on->name() + u"/file");
            lengths->add(paths, run.on);
        }
        lengths->close();
        return lengths;
    };
    const auto fileSystem = [](const char16_t* name, bool remote) {
        return std::make_shared<FileSystem>(name, remote);
    };
    const auto stoppedA = fileSystem(u"/mnt/a", true);
    const auto stoppedB = fileSystem(u"/mnt/b", true);
    const auto share = fileSystem(u"/mnt/c", true);
    const auto disk = fileSystem(u"/home", false);

    const auto first = measureRuns({ { stoppedA, 40 }, { share, 5 }, { disk, 5 } });
    server->waitForArrivals(lengthRequestsInFlight);
    for (std::size_t i = 40; i < 50; ++i)
        EXPECT_EQ(first->wait(i).outcome, ConcurrentLengths::Outcome::measured) << i;

    const auto second = measureRuns({ { stoppedB, 40 } });
    server->waitForArrivals(2 * lengthRequestsInFlight);
    // The shares' threads are all stuck: another share waits for one, the local disk does not.
    const auto third = measureRuns({ { share, 5 }, { disk, 5 } });
    EXPECT_TRUE(third->waitingForWorker());
    for (std::size_t i = 5; i < 10; ++i)
        EXPECT_EQ(third->wait(i).outcome, ConcurrentLengths::Outcome::measured) << i;
    EXPECT_EQ(third->measured(), 5U);
    EXPECT_LE(WorkerPool::measuring().threads(), localMeasuringThreads + remoteMeasuringThreads);
    EXPECT_EQ(server->arrived(), 2 * lengthRequestsInFlight);

    server->open();
    for (const auto* lengths : { first.get(), second.get(), third.get() })
        EXPECT_TRUE(BuildFeeReport(*lengths, u"0.3"));
}

// A measuring that runs out of memory ends the walk with std::bad_alloc, never the process.
TEST(ConcurrentLengthsPool, OutOfMemoryInAWorkerEndsTheWalkWithBadAlloc)
{
    WorkerPool pool(2);
    auto paths = std::make_shared<ConcurrentLengths::Paths>(50, u"/file");
    const ConcurrentLengths lengths(
        std::move(paths), 2, {},
        [](std::u16string_view) -> std::optional<std::int64_t> { throw std::bad_alloc(); }, &pool);
    EXPECT_THROW(BuildFeeReport(lengths, u"0.3"), std::bad_alloc);
    EXPECT_EQ(lengths.wait(49).outcome, ConcurrentLengths::Outcome::failed);
}

} // namespace
} // namespace miruteka
