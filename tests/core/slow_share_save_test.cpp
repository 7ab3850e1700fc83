// Saves into a report's own file on a share that answers slowly, where every step of a save takes
// long enough to be caught half-way: a stop, or the end of the process, leaves the report whole
// under all its names, with nothing of ours beside it. And a length measured there is the
// server's, not one the client kept.
#include "fee_report.h"
#include "files.h"
#include "scratch.h"
#include "slow_share.h"

#include <algorithm>
#include <chrono>
#include <fcntl.h>
#include <functional>
#include <gtest/gtest.h>
#include <optional>
#include <stop_token>
#include <thread>
#include <unistd.h>

namespace miruteka {
namespace {

using testing::ScratchDir;
using testing::SlowShare;
using testing::sortedNames;
using testing::u16;
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

// Long enough that putting the old content back (a read and a write a request for each 64 KiB)
// takes over a second; far below the exit's patience of five seconds between steps.
constexpr int delayUs = 5000;
constexpr std::size_t oldSize = 8 << 20;
constexpr std::size_t newSize = 6 << 20;

// The whole file, read in large pieces: through the share each read is a request.
std::string readWhole(const fs::path& path)
{
    std::string content;
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return "(unreadable)";
    std::string buffer(1 << 20, '\0');
    for (ssize_t got; (got = ::read(fd, buffer.data(), buffer.size())) > 0;)
        content.append(buffer, 0, static_cast<std::size_t>(got));
    ::close(fd);
    return content;
}

// What the server's own folder shows of the save, looked at there, past the share's delay.
struct Seen {
    bool copying = false; // a copy of the old content is being made, not yet named
    bool backup = false; // a copy of the old content is named beside the report
    off_t size = 0; // the report's length now
    char first = '\0'; // its first byte: 'o' old content, 'n' new
};

Seen look(const fs::path& backing)
{
    Seen seen;
    for (const auto& name : sortedNames(backing)) {
        seen.copying = seen.copying || (name.starts_with(".miruteka-") && name.ends_with(".tmp"));
        seen.backup = seen.backup || name.starts_with(".report.txt.miruteka-backup-");
    }
    const int fd = ::open((backing / "report.txt").c_str(), O_RDONLY | O_CLOEXEC);
    struct stat st;
    if (fd >= 0 && ::fstat(fd, &st) == 0) {
        seen.size = st.st_size;
        if (::pread(fd, &seen.first, 1, 0) != 1)
            seen.first = '\0';
    }
    if (fd >= 0)
        ::close(fd);
    return seen;
}

// Polls the server's folder until the condition holds; false after half a minute without it.
bool waitToSee(const fs::path& backing, const std::function<bool(const Seen&)>& condition)
{
    const auto giveUp = Clock::now() + std::chrono::seconds(30);
    while (!condition(look(backing))) {
        if (Clock::now() >= giveUp)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// The server's folder with an old report under two names, and the share over it.
struct TwoNames {
    TwoNames()
    {
        fs::create_directory(backing);
        std::ofstream(backing / "report.txt", std::ios::binary) << oldReport;
        fs::create_hard_link(backing / "report.txt", backing / "other name.txt");
        share.emplace(dir / "share", delayUs, 0, backing);
    }
    fs::path target() const { return share->path() / "report.txt"; }
    // The report through the share, the same under both names, is one of those given; the
    // folder, through the share and on the server, holds the two names alone.
    void expectWholeAndAlone(const std::vector<const std::string*>& allowed) const
    {
        const std::string now = readWhole(target());
        EXPECT_TRUE(std::any_of(allowed.begin(), allowed.end(),
            [&](const std::string* report) { return now == *report; }))
            << "a report of " << now.size() << " bytes";
        EXPECT_TRUE(readWhole(share->path() / "other name.txt") == now) << "the names differ";
        const std::vector<std::string> names { "other name.txt", "report.txt" };
        EXPECT_EQ(sortedNames(share->path()), names);
        EXPECT_EQ(sortedNames(backing), names);
    }

    ScratchDir dir;
    fs::path backing = dir / "server";
    std::string oldReport = std::string(oldSize, 'o');
    std::string newReport = std::string(newSize, 'n') + "\r\n";
    std::optional<SlowShare> share;
};

// Why the share cannot be had here, or nothing.
std::string shareUnavailable()
{
#ifndef SLOWFS
    return "slowfs was not built: libfuse3-dev is missing (scripts/install-deps installs it)";
#else
    return SlowShare::unavailable();
#endif
}

struct EndCase {
    const char* name;
    bool abandoned; // the save's stop is requested before the end, as Esc or closing does
};

void PrintTo(const EndCase& c, std::ostream* out) { *out << c.name; }

class SlowShareExit : public ::testing::TestWithParam<EndCase> { };

// A report with two names is written in place: its old content is copied beside it, the file
// emptied and the new report written. The process then ends by exit, as the return from main
// does, while the save writes the new report or, abandoned, puts the old one back.
TEST_P(SlowShareExit, EndsWithTheReportWholeAndNothingBeside)
{
    const EndCase& c = GetParam();
    if (const std::string why = shareUnavailable(); !why.empty())
        GTEST_SKIP() << why;
    const TwoNames files;
    ASSERT_TRUE(files.share->mounted()) << "slowfs did not mount";
    const fs::path endBegan = files.dir / "end began";

    // 2: the new report was never seen being written; 3: the old one never seen being put back.
    EXPECT_EXIT(
        {
            std::stop_source stop;
            std::thread([&] {
                SaveFeeReport(u16(files.target()), std::u16string(newSize, u'n'), stop.get_token());
            }).detach();
            if (!waitToSee(files.backing, [](const Seen& s) { return s.backup && s.first == 'n'; }))
                std::_Exit(2);
            if (c.abandoned) {
                stop.request_stop();
                const auto restoring = [](const Seen& s) {
                    return s.backup && s.first == 'o' && s.size < off_t(oldSize);
                };
                if (!waitToSee(files.backing, restoring))
                    std::_Exit(3);
            }
            std::ofstream(endBegan) << Clock::now().time_since_epoch().count();
            std::exit(0);
        },
        ::testing::ExitedWithCode(0), "");
    // How long the end waited for the save, for the record.
    const auto ended = Clock::now().time_since_epoch().count();
    if (const std::string began = testing::readBytes(endBegan); !began.empty())
        RecordProperty("end_waited_ms", std::to_string((ended - std::stoll(began)) / 1000000));

    if (c.abandoned)
        files.expectWholeAndAlone({ &files.oldReport });
    else
        files.expectWholeAndAlone({ &files.oldReport, &files.newReport });
}

INSTANTIATE_TEST_SUITE_P(Saves, SlowShareExit,
    ::testing::Values(EndCase { "abandoned, old content being put back", true },
        EndCase { "still writing the new report", false }));

// A stop that comes while the old content is still being copied beside the report, before
// anything is written into it: the save gives up there, and the report is never touched, not
// emptied and filled again.
TEST(SlowShareStop, DuringTheBackupLeavesTheReportUntouched)
{
    if (const std::string why = shareUnavailable(); !why.empty())
        GTEST_SKIP() << why;
    const TwoNames files;
    ASSERT_TRUE(files.share->mounted()) << "slowfs did not mount";
    struct stat before;
    ASSERT_EQ(::stat((files.backing / "report.txt").c_str(), &before), 0);

    std::stop_source stop;
    bool saved = true;
    std::thread saver([&] {
        saved = SaveFeeReport(u16(files.target()), std::u16string(newSize, u'n'), stop.get_token());
    });
    const bool seen = waitToSee(files.backing, [](const Seen& s) { return s.copying; });
    stop.request_stop();
    saver.join();
    ASSERT_TRUE(seen) << "the copy of the old content was never seen being made";

    EXPECT_FALSE(saved);
    struct stat after;
    ASSERT_EQ(::stat((files.backing / "report.txt").c_str(), &after), 0);
    EXPECT_TRUE(after.st_mtim.tv_sec == before.st_mtim.tv_sec
        && after.st_mtim.tv_nsec == before.st_mtim.tv_nsec)
        << "the report was written into";
    files.expectWholeAndAlone({ &files.oldReport });
}

// The length is what opening the file learned from the server, which asks nothing twice: a file
// that another client made longer or shorter since it was last measured is measured anew.
TEST(SlowShareMeasure, GivesTheLengthTheServerHasNow)
{
    if (const std::string why = shareUnavailable(); !why.empty())
        GTEST_SKIP() << why;
    ScratchDir dir;
    const fs::path backing = dir / "server";
    fs::create_directory(backing);
    std::ofstream(backing / "grows.bin", std::ios::binary) << "ten bytes.";
    const SlowShare share(dir / "share", 500, 0, backing);
    ASSERT_TRUE(share.mounted()) << "slowfs did not mount";
    const std::u16string path = u16(share.path() / "grows.bin");

    for (const std::uintmax_t length : { 10, 70000, 3 }) {
        fs::resize_file(backing / "grows.bin", length); // on the server, past the share
        EXPECT_EQ(MeasureFile(path), std::optional<std::int64_t>(length));
    }
    EndMeasuring();
}

} // namespace
} // namespace miruteka
