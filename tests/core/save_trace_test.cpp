// What a crash would leave of a save, seen in the order of its calls (tests/trace/save_trace.c,
// preloaded): a content takes the report's name only once it is on disk, the folder is synced
// once it has, and an old content is dropped only once its replacement is on disk.
#include "files.h"
#include "scratch.h"

#include <cstdlib>
#include <gtest/gtest.h>
#include <sstream>
#include <sys/stat.h>

namespace miruteka {
namespace {

using testing::ScratchDir;
using testing::u16;
namespace fs = std::filesystem;

struct Call {
    std::string what; // sync, rename, link, unlink, truncate
    std::string identity; // device:inode
    std::string kind; // sync: dir or file
    std::string path;
};

std::vector<Call> traced(const fs::path& log)
{
    std::vector<Call> calls;
    std::ifstream in(log);
    for (std::string line; std::getline(in, line);) {
        std::istringstream fields(line);
        Call call;
        fields >> call.what >> call.identity;
        if (call.what == "sync")
            fields >> call.kind;
        fields.get();
        std::getline(fields, call.path);
        calls.push_back(call);
    }
    return calls;
}

std::string identityOf(const fs::path& path)
{
    struct stat st;
    if (::stat(path.c_str(), &st) != 0)
        return "missing";
    return std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino);
}

// The position of the first call that matches, from `from` on; npos when none does.
template <typename Match>
std::size_t find(const std::vector<Call>& calls, Match match, std::size_t from = 0)
{
    for (std::size_t i = from; i < calls.size(); ++i)
        if (match(calls[i]))
            return i;
    return std::string::npos;
}

std::string describe(const std::vector<Call>& calls)
{
    std::string text;
    for (const auto& call : calls)
        text += "\n  " + call.what + " " + call.identity + " " + call.kind + " " + call.path;
    return text;
}

class SaveTrace : public ::testing::Test {
protected:
    void SetUp() override
    {
        const char* preloaded = std::getenv("LD_PRELOAD");
        if (!preloaded || std::string_view(preloaded).find("save_trace") == std::string_view::npos)
            GTEST_SKIP() << "runs with tests/trace/save_trace.c preloaded (ctest does that)";
        log_ = logDir_ / "calls";
        ::setenv("MIRUTEKA_TRACE", log_.c_str(), 1);
        folder_ = fs::canonical(dir_.path());
    }
    void TearDown() override { ::unsetenv("MIRUTEKA_TRACE"); }

    // The calls of one save of a report to the name.
    std::vector<Call> save(const std::string& name)
    {
        std::ofstream(log_, std::ios::trunc).close();
        const bool opened = OpenForOutput(u16(dir_ / name), 1);
        const bool printed = opened && PrintLine(1, u"new report");
        EXPECT_TRUE(CloseFile(1) && printed) << name;
        return traced(log_);
    }

    ScratchDir dir_;
    ScratchDir logDir_;
    fs::path folder_;
    fs::path log_;
};

// A new report, or one that replaces an old one: the new file is synced before it takes the
// report's name (by a link or a rename), and the folder after.
TEST_F(SaveTrace, TheNewFileIsOnDiskBeforeItTakesTheNameAndTheFolderAfter)
{
    for (const bool replacing : { false, true }) {
        const auto target = (folder_ / "report.txt").string();
        const auto calls = save("report.txt");
        const std::string saved = identityOf(target);
        const std::size_t named = find(calls, [&](const Call& call) {
            return (call.what == "rename" || call.what == "link") && call.path == target;
        });
        ASSERT_NE(named, std::string::npos) << replacing << describe(calls);
        EXPECT_EQ(calls[named].identity, saved) << describe(calls);
        const std::size_t synced = find(
            calls, [&](const Call& call) { return call.what == "sync" && call.identity == saved; });
        EXPECT_LT(synced, named) << "the content was not synced before its naming"
                                 << describe(calls);
        const std::string folder = identityOf(folder_);
        EXPECT_NE(
            find(
                calls,
                [&](const Call& call) { return call.what == "sync" && call.identity == folder; },
                named + 1),
            std::string::npos)
            << "the folder was not synced after the naming" << describe(calls);
    }
}

// A report with another name is written in place: the copy of its old content is on disk, and
// named, before the report is emptied, and the new content is on disk before the copy goes.
TEST_F(SaveTrace, AReportWrittenInPlaceKeepsItsOldContentOnDiskUntilTheNewOneIs)
{
    std::ofstream(folder_ / "report.txt") << "old report";
    fs::create_hard_link(folder_ / "report.txt", folder_ / "other.txt");
    const std::string target = identityOf(folder_ / "report.txt");
    const auto calls = save("report.txt");
    ASSERT_EQ(identityOf(folder_ / "report.txt"), target) << "the file itself was replaced";

    const std::size_t emptied = find(calls,
        [&](const Call& call) { return call.what == "truncate" && call.identity == target; });
    ASSERT_NE(emptied, std::string::npos) << describe(calls);
    const std::string copyPrefix = (folder_ / ".report.txt.miruteka-backup-").string();
    const std::size_t copyNamed = find(calls,
        [&](const Call& call) { return call.what == "link" && call.path.starts_with(copyPrefix); });
    ASSERT_LT(copyNamed, emptied) << describe(calls);
    const std::string copy = calls[copyNamed].identity;
    EXPECT_LT(
        find(calls, [&](const Call& call) { return call.what == "sync" && call.identity == copy; }),
        copyNamed)
        << "the copy was not synced before it was named" << describe(calls);

    const std::size_t dropped = find(
        calls, [&](const Call& call) { return call.what == "unlink" && call.identity == copy; });
    ASSERT_NE(dropped, std::string::npos) << describe(calls);
    EXPECT_LT(
        find(
            calls, [&](const Call& call) { return call.what == "sync" && call.identity == target; },
            emptied),
        dropped)
        << "the new content was not synced before the copy went" << describe(calls);
}

} // namespace
} // namespace miruteka
