#include "concurrent_lengths.h"
#include "fee_report.h"
#include "gate.h"

#include <atomic>
#include <chrono>
#include <gtest/gtest.h>
#include <memory>
#include <random>
#include <span>
#include <thread>

namespace miruteka {
namespace {

using Outcome = ConcurrentLengths::Outcome;

std::shared_ptr<const ConcurrentLengths::Paths> numberedPaths(std::size_t count)
{
    auto paths = std::make_shared<ConcurrentLengths::Paths>();
    for (std::size_t i = 0; i < count; ++i) {
        const std::string name = "/share/file " + std::to_string(i) + ".bin";
        paths->emplace_back(name.begin(), name.end());
    }
    return paths;
}

std::size_t numberOf(std::u16string_view path)
{
    std::size_t number = 0;
    for (std::size_t i = path.find(u' ') + 1; path[i] != u'.'; ++i)
        number = number * 10 + (path[i] - u'0');
    return number;
}

// The length a path stands for in these tests: its number times 1000, and every seventh path
// is no file at all.
std::optional<std::int64_t> lengthOf(std::u16string_view path)
{
    const std::size_t number = numberOf(path);
    if (number % 7 == 3)
        return std::nullopt;
    return static_cast<std::int64_t>(number) * 1000;
}

struct InFlightCase {
    unsigned inFlight;
    std::size_t files;
    // 0: all paths given at once; otherwise added in runs spread over this many file systems,
    // each measured on threads of its own.
    std::size_t fileSystems = 0;
};

// Measuring of the paths as the case gives them: at once, or added in runs of 1 to 40 paths
// that take the file systems in turn.
std::unique_ptr<ConcurrentLengths> measuring(const InFlightCase& how,
    std::shared_ptr<const ConcurrentLengths::Paths> paths, ConcurrentLengths::Measure measure)
{
    if (how.fileSystems == 0)
        return std::make_unique<ConcurrentLengths>(
            paths, how.inFlight, std::stop_token {}, measure);
    auto lengths = std::make_unique<ConcurrentLengths>(
        ConcurrentLengths::Incoming { paths->size() }, how.inFlight, std::stop_token {}, measure);
    std::vector<std::shared_ptr<FileSystem>> fileSystems;
    for (std::size_t i = 0; i < how.fileSystems; ++i)
        fileSystems.push_back(
            std::make_shared<FileSystem>(u"/fs" + std::u16string(1, u'0' + i), i % 2));
    ConcurrentLengths::Paths copy(*paths);
    std::span<std::u16string> rest(copy);
    for (std::size_t run = 0; !rest.empty(); ++run) {
        const std::size_t count = std::min(rest.size(), run * 7 % 40 + 1);
        lengths->add(rest.first(count), fileSystems[run % how.fileSystems]);
        rest = rest.subspan(count);
    }
    lengths->close();
    return lengths;
}

class OrderTest : public ::testing::TestWithParam<InFlightCase> { };

// However long each file takes, and so in whatever order the answers come, the lengths and the
// report come out in the dropped order, exactly as measuring one at a time gives them.
TEST_P(OrderTest, ReportIsInTheDroppedOrderWhateverTheDelays)
{
    const auto [inFlight, files, fileSystems] = GetParam();
    const auto paths = numberedPaths(files);
    std::vector<int> delaysUs(files);
    std::mt19937 random(files * 31 + inFlight);
    std::uniform_int_distribution<int> delay(0, 400);
    for (int& us : delaysUs)
        us = delay(random);
    std::atomic<unsigned> busy { 0 };
    std::atomic<unsigned> mostBusy { 0 };
    const auto measured = measuring(GetParam(), paths, [&](std::u16string_view path) {
        const unsigned now = ++busy;
        for (unsigned seen = mostBusy; now > seen && !mostBusy.compare_exchange_weak(seen, now);) {
        }
        std::this_thread::sleep_for(std::chrono::microseconds(delaysUs[numberOf(path)]));
        --busy;
        return lengthOf(path);
    });
    const ConcurrentLengths& lengths = *measured;

    const std::optional<std::u16string> report = BuildFeeReport(lengths, u"0.3");
    ASSERT_TRUE(report);
    FeeReport oneAtATime(u"0.3");
    for (const std::u16string& path : *paths)
        oneAtATime.add(path, lengthOf(path));
    EXPECT_EQ(*report, std::move(oneAtATime).finish());
    EXPECT_EQ(lengths.measured(), files);
    EXPECT_LE(mostBusy.load(), std::max(inFlight, 1U) * std::max<std::size_t>(fileSystems, 1));
    for (std::size_t i = 0; i < files; ++i) {
        const auto length = lengths.wait(i);
        EXPECT_EQ(length.outcome, i % 7 == 3 ? Outcome::notAFile : Outcome::measured) << i;
        EXPECT_EQ(length.bytes, i % 7 == 3 ? 0 : std::int64_t(i) * 1000) << i;
    }
}

INSTANTIATE_TEST_SUITE_P(Lengths, OrderTest,
    ::testing::Values(InFlightCase { 32, 3000 }, InFlightCase { 5, 500 }, InFlightCase { 1, 50 },
        InFlightCase { 0, 20 }, InFlightCase { 32, 3 }, InFlightCase { 32, 0 },
        InFlightCase { 8, 2000, 3 }, InFlightCase { 32, 300, 1 }, InFlightCase { 2, 0, 2 }));

// A stop ends the walk at once: the caller waiting for a file that never answers is let go, no
// more files are asked for, and no report is made. What the stuck workers touch is theirs, not
// the test's stack, and the test sees them through before it ends.
TEST(ConcurrentLengthsStop, StopLetsTheWaitingCallerGoAndAsksForNoMoreFiles)
{
    std::stop_source stop;
    auto server = testing::Gate::make(); // a server that has stopped answering
    auto lengths = std::make_shared<ConcurrentLengths>(
        numberedPaths(1000), 4, stop.get_token(), [server](std::u16string_view path) {
            server->pass();
            return lengthOf(path);
        });
    std::optional<std::optional<std::u16string>> report;
    std::thread walk([&] { report = BuildFeeReport(*lengths, u"0.3"); });
    server->waitForArrivals(4);

    stop.request_stop();
    walk.join(); // would hang if the walk waited for the stuck workers
    ASSERT_TRUE(report);
    EXPECT_FALSE(*report);
    EXPECT_EQ(lengths->wait(999).outcome, Outcome::cancelled);
    lengths.reset(); // the workers still hold what they use
    server->open();
    server->waitForPassed(4);
    // Once through, each worker finds the measuring stopped before it asks for another file.
    EXPECT_EQ(server->arrived(), 4U);
}

} // namespace
} // namespace miruteka
