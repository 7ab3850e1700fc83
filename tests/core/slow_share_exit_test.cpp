// The end of the process during a save into a report's own file on a share that answers slowly:
// the process ends only once the report is whole under all its names, with nothing of ours beside
// it, whether the save was abandoned (its old content being put back) or still writing.
#include "fee_report.h"
#include "scratch.h"
#include "slow_share.h"

#include <algorithm>
#include <chrono>
#include <fcntl.h>
#include <functional>
#include <gtest/gtest.h>
#include <stop_token>
#include <thread>
#include <unistd.h>

namespace miruteka {
namespace {

using testing::ScratchDir;
using testing::SlowShare;
using testing::u16;
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

// Long enough that putting the old content back (a read and a write a request for each 64 KiB)
// takes over a second; far below the exit's patience of five seconds between steps.
constexpr int delayUs = 5000;
constexpr std::size_t oldSize = 8 << 20;
constexpr std::size_t newSize = 6 << 20;

std::vector<std::string> entries(const fs::path& dir)
{
    std::vector<std::string> found;
    for (const auto& entry : fs::directory_iterator(dir))
        found.push_back(entry.path().filename().string());
    std::sort(found.begin(), found.end());
    return found;
}

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
    bool backup = false; // a copy of the old content is named beside the report
    off_t size = 0; // the report's length now
    char first = '\0'; // its first byte: 'o' old content, 'n' new
};

Seen look(const fs::path& backing)
{
    Seen seen;
    for (const auto& name : entries(backing))
        seen.backup = seen.backup || name.starts_with(".report.txt.miruteka-backup-");
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
#ifndef SLOWFS
    FAIL() << "slowfs was not built: libfuse3-dev is missing (scripts/install-deps installs it)";
#endif
    if (const std::string why = SlowShare::unavailable(); !why.empty())
        GTEST_SKIP() << why;
    ScratchDir dir;
    const fs::path backing = dir / "server";
    fs::create_directory(backing);
    const std::string oldReport(oldSize, 'o');
    std::ofstream(backing / "report.txt", std::ios::binary) << oldReport;
    fs::create_hard_link(backing / "report.txt", backing / "other name.txt");
    const std::string newReport = std::string(newSize, 'n') + "\r\n";
    const SlowShare share(dir / "share", delayUs, 0, backing);
    ASSERT_TRUE(share.mounted()) << "slowfs did not mount";
    const fs::path target = share.path() / "report.txt";
    const fs::path endBegan = dir / "end began";

    // 2: the new report was never seen being written; 3: the old one never seen being put back.
    EXPECT_EXIT(
        {
            std::stop_source stop;
            std::thread([&] {
                SaveFeeReport(u16(target), std::u16string(newSize, u'n'), stop.get_token());
            }).detach();
            if (!waitToSee(backing, [](const Seen& s) { return s.backup && s.first == 'n'; }))
                std::_Exit(2);
            if (c.abandoned) {
                stop.request_stop();
                const auto restoring = [](const Seen& s) {
                    return s.backup && s.first == 'o' && s.size < off_t(oldSize);
                };
                if (!waitToSee(backing, restoring))
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

    const std::string now = readWhole(target);
    if (c.abandoned)
        EXPECT_TRUE(now == oldReport) << "a report of " << now.size() << " bytes";
    else
        EXPECT_TRUE(now == oldReport || now == newReport) << "a report of " << now.size() << " bytes";
    EXPECT_TRUE(readWhole(share.path() / "other name.txt") == now) << "the other name differs";
    const std::vector<std::string> names { "other name.txt", "report.txt" };
    EXPECT_EQ(entries(share.path()), names);
    EXPECT_EQ(entries(backing), names);
}

INSTANTIATE_TEST_SUITE_P(Saves, SlowShareExit,
    ::testing::Values(EndCase { "abandoned, old content being put back", true },
        EndCase { "still writing the new report", false }));

} // namespace
} // namespace miruteka
