// Saves that meet one another, stops and the end of the process: a file is written by one save
// at a time, and every save ends with it whole, new or old, and nothing left beside it.
#include "files.h"
#include "gate.h"
#include "scratch.h"

#include <algorithm>
#include <functional>
#include <gtest/gtest.h>
#include <thread>
#ifndef _WIN32
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace miruteka {
namespace {

using testing::Latch;
using testing::readBytes;
using testing::ScratchDir;
using testing::sortedNames;
using testing::u16;
namespace fs = std::filesystem;

constexpr std::string_view oldBytes = "old report";

// One file reached by two saves, each by its own name for it.
struct SameFileCase {
    const char* name;
    std::function<void(const ScratchDir&)> make; // what is there before the saves
    std::string first; // the first save's name for the file
    std::string second; // the second's
    std::vector<std::string> names; // all that the folder holds afterwards
};

void PrintTo(const SameFileCase& c, std::ostream* out) { *out << c.name; }

std::vector<SameFileCase> sameFileCases()
{
    auto old = [](const ScratchDir& dir) { std::ofstream(dir / "report.txt") << oldBytes; };
    std::vector<SameFileCase> cases {
        { "an existing report", old, "report.txt", "report.txt", { "report.txt" } },
        { "a new report", [](const ScratchDir&) {}, "report.txt", "report.txt", { "report.txt" } },
    };
#ifndef _WIN32
    cases.push_back({ "a report with another name, written in place",
        [=](const ScratchDir& dir) {
            old(dir);
            fs::create_hard_link(dir / "report.txt", dir / "other.txt");
        },
        "report.txt", "other.txt", { "other.txt", "report.txt" } });
    cases.push_back({ "a report and a link to it",
        [=](const ScratchDir& dir) {
            old(dir);
            fs::create_symlink("report.txt", dir / "link.txt");
        },
        "report.txt", "link.txt", { "link.txt", "report.txt" } });
#endif
    return cases;
}

class SameFile : public ::testing::TestWithParam<SameFileCase> { };

// While one save has the file open, another to the same file does not get in: with its stop
// already requested it gives up rather than touch the file, and it gets in once the first is
// done. File numbers are per thread, the lock is not: two numbers on one thread show it.
TEST_P(SameFile, ASecondSaveWaitsUntilTheFirstHasEnded)
{
    const SameFileCase& c = GetParam();
    ScratchDir dir;
    c.make(dir);
    std::stop_source given_up;
    given_up.request_stop();

    ASSERT_TRUE(OpenForOutput(u16(dir / c.first), 1));
    EXPECT_FALSE(OpenForOutput(u16(dir / c.second), 2, given_up.get_token()));
    // Waiting on another thread, it gives up when its stop comes.
    std::stop_source waiting;
    bool opened = true;
    std::thread second([&] {
        opened = OpenForOutput(u16(dir / c.second), 1, waiting.get_token());
        CloseFile(1);
    });
    waiting.request_stop();
    second.join();
    EXPECT_FALSE(opened);

    EXPECT_TRUE(PrintLine(1, u"first"));
    EXPECT_TRUE(CloseFile(1));
    // Stopped once in: one stopped sooner may give up before it opens a file written in place.
    std::stop_source later;
    ASSERT_TRUE(OpenForOutput(u16(dir / c.second), 2, later.get_token()));
    later.request_stop();
    EXPECT_FALSE(PrintLine(2, u"second"));
    EXPECT_FALSE(CloseFile(2));
    for (const auto& name : c.names)
        EXPECT_EQ(readBytes(dir / name), "first\r\n") << name;
    EXPECT_EQ(sortedNames(dir.path()), c.names);
}

// Two saves started together both succeed, one after the other: the file ends as one whole
// report, the later one, under all its names.
TEST_P(SameFile, TwoSavesAtOnceLeaveOneWholeReport)
{
    const SameFileCase& c = GetParam();
    ScratchDir dir;
    c.make(dir);
    const std::u16string reports[]
        = { std::u16string(1 << 21, u'a'), std::u16string(1 << 21, u'b') };
    const std::string names[] = { c.first, c.second };
    bool saved[] = { false, false };
    Latch start(2);
    std::vector<std::thread> savers;
    for (std::size_t i = 0; i < 2; ++i)
        savers.emplace_back([&, i] {
            start.arrive_and_wait();
            if (OpenForOutput(u16(dir / names[i]), 1)) {
                const bool printed = PrintLine(1, reports[i]);
                saved[i] = CloseFile(1) && printed;
            }
        });
    for (auto& saver : savers)
        saver.join();
    EXPECT_TRUE(saved[0]);
    EXPECT_TRUE(saved[1]);
    const std::string now = readBytes(dir / c.names.front());
    const std::string a = std::string(1 << 21, 'a') + "\r\n";
    const std::string b = std::string(1 << 21, 'b') + "\r\n";
    EXPECT_TRUE(now == a || now == b) << "a report of " << now.size() << " bytes, mixed";
    for (const auto& name : c.names)
        EXPECT_TRUE(readBytes(dir / name) == now) << name;
    EXPECT_EQ(sortedNames(dir.path()), c.names);
}

// A save stopped after it has written part of its report leaves the file as it was, under all
// its names, and nothing beside it.
TEST_P(SameFile, AStoppedSaveLeavesTheFileAsItWas)
{
    const SameFileCase& c = GetParam();
    ScratchDir dir;
    c.make(dir);
    const bool existed = fs::exists(dir / c.first);
    std::stop_source stop;
    ASSERT_TRUE(OpenForOutput(u16(dir / c.first), 1, stop.get_token()));
    EXPECT_TRUE(PrintLine(1, std::u16string(100000, u'n')));
    stop.request_stop();
    EXPECT_FALSE(PrintLine(1, u"more"));
    EXPECT_FALSE(CloseFile(1));
    if (existed) {
        for (const auto& name : c.names)
            EXPECT_EQ(readBytes(dir / name), oldBytes) << name;
        EXPECT_EQ(sortedNames(dir.path()), c.names);
    } else {
        EXPECT_TRUE(fs::is_empty(dir.path()));
    }
}

INSTANTIATE_TEST_SUITE_P(Saves, SameFile, ::testing::ValuesIn(sameFileCases()));

// A waiter learns when the saves under way have ended, and gives up on one that does not move.
TEST(WaitForSaves, TellsWhenTheSavesUnderWayHaveEnded)
{
    ScratchDir dir;
    EXPECT_TRUE(WaitForSaves(std::chrono::milliseconds(1)));
    ASSERT_TRUE(OpenForOutput(u16(dir / "report.txt"), 1));
    EXPECT_FALSE(WaitForSaves(std::chrono::milliseconds(1))) << "a save is open and still";
    EXPECT_TRUE(PrintLine(1, u"report"));
    EXPECT_TRUE(CloseFile(1));
    EXPECT_TRUE(WaitForSaves(std::chrono::milliseconds(1)));

    // Under way on another thread: the wait ends when that save does.
    Latch opened(1);
    std::thread saver([&] {
        if (OpenForOutput(u16(dir / "other.txt"), 1)) {
            opened.count_down();
            PrintLine(1, std::u16string(1 << 20, u'x'));
            CloseFile(1);
        } else {
            opened.count_down();
        }
    });
    opened.wait();
    EXPECT_TRUE(WaitForSaves(std::chrono::seconds(60)));
    EXPECT_EQ(readBytes(dir / "other.txt").size(), (1u << 20) + 2)
        << "the wait ended before the save";
    saver.join();
}

#ifndef _WIN32
struct ExitCase {
    const char* name;
    bool stopped; // the save was abandoned before the end came: its old content is put back
    bool twoNames; // written in place, after a copy of its old content
};

void PrintTo(const ExitCase& c, std::ostream* out) { *out << c.name; }

class SaveAtExit : public ::testing::TestWithParam<ExitCase> { };

// The process ends (exit, as the end of main does) while a save is under way on another
// thread: the end waits for the save, which leaves the report whole, new or old, under all its
// names, and no copy of the old content beside it.
TEST_P(SaveAtExit, EndsWithTheFileWholeAndNothingBeside)
{
    const ExitCase& c = GetParam();
    ScratchDir dir;
    const auto target = dir / "report.txt";
    const std::string oldLarge(8 << 20, 'o');
    std::ofstream(target, std::ios::binary) << oldLarge;
    std::vector<std::string> names { "report.txt" };
    if (c.twoNames) {
        fs::create_hard_link(target, dir / "other.txt");
        names.insert(names.begin(), "other.txt");
    }
    const std::u16string report(8 << 20, u'n');
    const std::string newLarge = std::string(8 << 20, 'n') + "\r\n";

    EXPECT_EXIT(
        {
            Latch opened(1);
            std::stop_source stop;
            std::thread([&] {
                const bool open = OpenForOutput(u16(target), 1, stop.get_token());
                opened.count_down();
                if (open) {
                    PrintLine(1, report);
                    CloseFile(1);
                }
            }).detach();
            opened.wait();
            if (c.stopped)
                stop.request_stop();
            std::exit(0);
        },
        ::testing::ExitedWithCode(0), "");

    const std::string now = readBytes(target);
    if (c.stopped) {
        EXPECT_TRUE(now == oldLarge) << "a report of " << now.size() << " bytes";
    } else {
        EXPECT_TRUE(now == oldLarge || now == newLarge) << "a report of " << now.size() << " bytes";
    }
    for (const auto& name : names)
        EXPECT_TRUE(readBytes(dir / name) == now) << name;
    EXPECT_EQ(sortedNames(dir.path()), names);
}

INSTANTIATE_TEST_SUITE_P(Saves, SaveAtExit,
    ::testing::Values(ExitCase { "stopped, replaced", true, false },
        ExitCase { "stopped, written in place", true, true },
        ExitCase { "under way, replaced", false, false },
        ExitCase { "under way, written in place", false, true }));

// Once its stop is requested, a save writes nothing more: a pipe's reader takes a little of a
// long report, asks the save to stop and reads on to the end. What comes after the stop is at
// most what the pipe held then and the one write that was under way.
TEST(AbandonedSave, WritesNothingMoreOnceStopped)
{
    ScratchDir dir;
    const auto fifo = dir / "fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(reader, 0);
    ::fcntl(reader, F_SETPIPE_SZ, 4096);
    const int capacity = ::fcntl(reader, F_GETPIPE_SZ);
    ASSERT_GT(capacity, 0);
    ::fcntl(reader, F_SETFL, 0); // reads wait for the writer from here on

    std::stop_source stop;
    const std::u16string report(4 << 20, u'x');
    bool printed = true;
    Latch opened(1);
    std::thread saver([&] {
        const bool open = OpenForOutput(u16(fifo), 1, stop.get_token());
        opened.count_down();
        if (open) {
            printed = PrintLine(1, report);
            CloseFile(1); // the writer's end closes: the reader sees the end
        }
    });
    opened.wait();
    constexpr std::size_t beforeStop = 16384;
    std::size_t total = 0;
    std::vector<char> buffer(65536);
    while (total < beforeStop) {
        const ssize_t got = ::read(reader, buffer.data(), beforeStop - total);
        ASSERT_GT(got, 0) << "the save ended after " << total << " bytes";
        total += static_cast<std::size_t>(got);
    }
    stop.request_stop();
    for (ssize_t got; (got = ::read(reader, buffer.data(), buffer.size())) != 0;) {
        ASSERT_GT(got, 0);
        total += static_cast<std::size_t>(got);
    }
    saver.join();
    ::close(reader);
    EXPECT_FALSE(printed);
    EXPECT_LE(total, beforeStop + 2 * static_cast<std::size_t>(capacity));
}
#endif

} // namespace
} // namespace miruteka
