// What a crash would leave of a save, seen in the order of its calls (tests/trace/save_trace.c,
// preloaded): a content takes the report's name only once it is on disk, the folder is synced
// once it has, and an old content is dropped only once its replacement is on disk. The calls can
// also be stepped into: a stop that comes inside one, and a call that takes long.
#include "files.h"
#include "gate.h"
#include "scratch.h"

#include <chrono>
#include <cstdlib>
#include <dlfcn.h>
#include <functional>
#include <gtest/gtest.h>
#include <sstream>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <thread>

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

Call parsed(const std::string& line)
{
    std::istringstream fields(line);
    Call call;
    fields >> call.what >> call.identity;
    if (call.what == "sync")
        fields >> call.kind;
    fields.get();
    std::getline(fields, call.path);
    return call;
}

std::vector<Call> traced(const fs::path& log)
{
    std::vector<Call> calls;
    std::ifstream in(log);
    for (std::string line; std::getline(in, line);)
        calls.push_back(parsed(line));
    return calls;
}

// Runs for each traced call, on the thread that makes it, before the call itself.
std::function<void(const Call&)> onCall;

void callHook(const char* line) { onCall(parsed(line)); }

// Sets what runs for each call, for as long as it lives.
class Stepping {
public:
    explicit Stepping(std::function<void(const Call&)> run)
    {
        setHook_ = reinterpret_cast<void (*)(void (*)(const char*))>(
            ::dlsym(RTLD_DEFAULT, "miruteka_trace_set_hook"));
        onCall = std::move(run);
        if (setHook_)
            setHook_(callHook);
    }
    ~Stepping()
    {
        if (setHook_)
            setHook_(nullptr);
        onCall = nullptr;
    }
    Stepping(const Stepping&) = delete;
    Stepping& operator=(const Stepping&) = delete;
    bool works() const { return setHook_ != nullptr; }

private:
    void (*setHook_)(void (*)(const char*)) = nullptr;
};

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

    // The names in the folder, sorted.
    std::vector<std::string> names() const { return testing::sortedNames(folder_); }

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

struct StopCase {
    const char* name;
    int oldNames; // 0: a new report; 1: replaced; 2: written in place
    // The call inside which the stop comes, given the report's folder and its file's identity.
    std::function<bool(const Call&, const fs::path& folder, const std::string& report)> inside;
    bool saved; // the call was the commit point: the new report is in place, whole
};

// A stop that comes inside a step of the commit: up to the step that makes the new content the
// report, the old report stays as it was, with nothing beside it; from it on, the new one is
// there whole.
TEST_F(SaveTrace, AStopInsideACommitStepLeavesTheOldReportOrTheWholeNewOne)
{
    const auto fileSync = [](const Call& call, const fs::path&, const std::string&) {
        return call.what == "sync" && call.kind == "file";
    };
    const StopCase cases[] = {
        { "a new report, inside its sync", 0, fileSync, false },
        { "a new report, inside the link that names it", 0,
            [](const Call& call, const fs::path& folder, const std::string&) {
                return call.what == "link" && call.path == (folder / "report.txt").string();
            },
            true },
        { "a replaced report, inside the sync", 1, fileSync, false },
        { "a replaced report, inside the link of the new file's own name", 1,
            [](const Call& call, const fs::path& folder, const std::string&) {
                return call.what == "link"
                    && call.path.starts_with((folder / ".miruteka-").string());
            },
            false },
        { "a replaced report, inside the rename", 1,
            [](const Call& call, const fs::path&, const std::string&) {
                return call.what == "rename";
            },
            true },
        { "written in place, inside the sync of the old content's copy", 2, fileSync, false },
        { "written in place, inside the sync of the new content", 2,
            [](const Call& call, const fs::path&, const std::string& report) {
                return call.what == "sync" && call.identity == report;
            },
            false },
    };
    const std::string oldReport = "old report\r\n";
    const std::string newReport = "new report\r\n";
    for (const StopCase& c : cases) {
        const fs::path folder = folder_ / c.name;
        fs::create_directory(folder);
        const fs::path target = folder / "report.txt";
        std::vector<std::string> expected;
        if (c.oldNames > 0) {
            std::ofstream(target, std::ios::binary) << oldReport;
            expected.push_back("report.txt");
        }
        if (c.oldNames > 1) {
            fs::create_hard_link(target, folder / "another name.txt");
            expected.insert(expected.begin(), "another name.txt");
        }
        const std::string report = identityOf(target);
        std::stop_source stop;
        bool stopped = false;
        const Stepping stepping([&](const Call& call) {
            if (!stopped && c.inside(call, folder, report))
                stopped = stop.request_stop();
        });
        ASSERT_TRUE(stepping.works()) << "tests/trace/save_trace.c has no hook";
        const bool opened = OpenForOutput(u16(target), 1, stop.get_token());
        const bool printed = opened && PrintLine(1, u"new report");
        const bool saved = CloseFile(1) && printed;
        ASSERT_TRUE(stopped) << c.name << ": no such call";

        EXPECT_EQ(saved, c.saved) << c.name;
        if (c.saved && expected.empty())
            expected.push_back("report.txt");
        EXPECT_EQ(testing::sortedNames(folder), expected) << c.name;
        if (!expected.empty()) {
            EXPECT_EQ(testing::readBytes(target), c.saved ? newReport : oldReport) << c.name;
        }
        if (c.oldNames > 1) {
            EXPECT_EQ(testing::readBytes(folder / "another name.txt"), oldReport) << c.name;
        }
    }
}

// The end of the process waits for a save as long as it moves on (WaitForSaves, which exit calls
// with five seconds): an attribute copied is a move, so a copy of many attributes that takes
// longer than the patience as a whole is waited for, and the replaced report has them all.
TEST_F(SaveTrace, TheEndWaitsForAnAttributeCopyLongerThanItsPatience)
{
    const fs::path target = folder_ / "report.txt";
    std::ofstream(target) << "old report";
    constexpr int attributes = 20;
    for (int i = 0; i < attributes; ++i) {
        const std::string name = "user.test" + std::to_string(i);
        ASSERT_EQ(::setxattr(target.c_str(), name.c_str(), "v", 1, 0), 0) << name;
    }
    const ssize_t listed = ::listxattr(target.c_str(), nullptr, 0);
    testing::Latch copying(1);
    bool counted = false;
    const Stepping stepping([&](const Call& call) {
        if (call.what != "xattr")
            return;
        if (!counted)
            copying.count_down();
        counted = true;
        std::this_thread::sleep_for(std::chrono::milliseconds(100)); // a slow server
    });
    ASSERT_TRUE(stepping.works()) << "tests/trace/save_trace.c has no hook";
    bool saved = false;
    std::thread saver([&] {
        saved = OpenForOutput(u16(target), 1) && PrintLine(1, u"new report");
        saved = CloseFile(1) && saved;
    });
    copying.wait();
    const bool waited = WaitForSaves(std::chrono::milliseconds(500));
    saver.join();
    EXPECT_TRUE(waited) << "the wait gave up while the attributes were being copied";
    EXPECT_TRUE(saved);
    EXPECT_EQ(testing::readBytes(target), "new report\r\n");
    EXPECT_EQ(::listxattr(target.c_str(), nullptr, 0), listed) << "attributes were lost";
}

} // namespace
} // namespace miruteka
