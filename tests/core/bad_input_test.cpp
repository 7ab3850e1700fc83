// Input nobody should give the program, and what it must make of it: awkward dropped items give
// their line or none, in order, without blocking; a report that cannot be saved leaves every
// file as it was.
#include "fee_report.h"
#include "files.h"
#include "number.h"
#include "scratch.h"

#include <atomic>
#include <chrono>
#include <cmath>
#include <csignal>
#include <fcntl.h>
#include <functional>
#include <gtest/gtest.h>
#include <map>
#include <random>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>

namespace miruteka {
namespace {

using namespace testing;
namespace fs = std::filesystem;

std::string repeat(std::string_view piece, int times)
{
    std::string out;
    for (int i = 0; i < times; ++i)
        out += piece;
    return out;
}

TEST(DroppedItems, AnOverflowingFeeGivesNoLineButItsAmountStillCounts)
{
    ScratchDir dir;
    const std::vector<std::u16string> paths { u16(dir.file("one packet", 128)),
        u16(dir.file("again", 128)) };
    // P × 1 packet is finite, its × 100 is not: no line; the second amount would overflow the
    // total and is not added.
    EXPECT_EQ(
        BuildFeeReport(paths, u"1.79769313486231E+308"), u"\r\nTOTAL 1.79769313486231E+308円");
}

struct DropCase {
    const char* name;
    // Makes the item in the folder and gives its path as the desktop hands it on.
    std::function<std::u16string(const ScratchDir&)> make;
    bool measured; // a regular file of 1000 bytes, which gets its line
};

void PrintTo(const DropCase& c, std::ostream* out) { *out << c.name; }

class DroppedItem : public ::testing::TestWithParam<DropCase> { };

// Between two good files, so that the order of the lines around the item shows too.
TEST_P(DroppedItem, GivesItsLineOrNoneAndTheOthersKeepTheirOrder)
{
    ScratchDir dir;
    const std::u16string before = u16(dir.file("before", 128));
    const std::u16string item = GetParam().make(dir);
    const std::u16string after = u16(dir.file("after", 128));
    const std::vector<std::u16string> paths { before, item, after };

    const std::u16string middle = GetParam().measured ? item + u"   2.34円\r\n" : u"";
    const std::u16string total = GetParam().measured ? u"2.94375" : u"0.6";
    EXPECT_EQ(BuildFeeReport(paths, u"0.3"),
        before + u"   0.3円\r\n" + middle + after + u"   0.3円\r\n\r\nTOTAL " + total + u"円");
    EXPECT_FALSE(CloseFile(1)) << "file number 1 was left open";
}

std::u16string named(const ScratchDir& dir, const std::string& name)
{
    return u16(dir.file(name, 1000));
}

// A file whose name is the given bytes, and its path as a drop gives it.
std::u16string namedInBytes(const ScratchDir& dir, const std::string& bytes)
{
    dir.file(bytes, 1000);
    return u16(dir.path()) + u"/" + FileNameFromBytes(bytes);
}

INSTANTIATE_TEST_SUITE_P(NoLine, DroppedItem,
    ::testing::Values(DropCase { "folder",
                          [](const ScratchDir& dir) {
                              fs::create_directory(dir / "folder");
                              return u16(dir / "folder");
                          },
                          false },
        DropCase {
            "missing path", [](const ScratchDir& dir) { return u16(dir / "missing"); }, false },
        DropCase { "dangling link",
            [](const ScratchDir& dir) {
                fs::create_symlink(dir / "nowhere", dir / "dangling");
                return u16(dir / "dangling");
            },
            false },
        DropCase { "link to itself",
            [](const ScratchDir& dir) {
                fs::create_symlink(dir / "self", dir / "self");
                return u16(dir / "self");
            },
            false },
        DropCase { "two links in a loop",
            [](const ScratchDir& dir) {
                fs::create_symlink(dir / "ping", dir / "pong");
                fs::create_symlink(dir / "pong", dir / "ping");
                return u16(dir / "ping");
            },
            false },
        DropCase { "name of 256 bytes",
            [](const ScratchDir& dir) { return u16(dir / std::string(256, 'n')); }, false },
        // Only 86 characters, but 258 bytes on disk.
        DropCase { "Japanese name of 258 bytes",
            [](const ScratchDir& dir) { return u16(dir / repeat("長", 86)); }, false },
        DropCase { "path longer than the system takes",
            [](const ScratchDir& dir) {
                fs::create_directory(dir / "sub");
                dir.file("target", 1000);
                // Names a real file, through more than 4096 bytes of sub/.. steps.
                return u16(dir.path()) + u"/" + fs::path(repeat("sub/../", 600)).u16string()
                    + u"target";
            },
            false },
        DropCase { "path through a regular file",
            [](const ScratchDir& dir) { return u16(dir.file("plain", 1000) / "inside"); }, false },
        DropCase { "FIFO",
            [](const ScratchDir& dir) {
                EXPECT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
                return u16(dir / "fifo");
            },
            false },
        DropCase { "socket", [](const ScratchDir& dir) { return u16(makeSocket(dir / "socket")); },
            false },
        DropCase {
            "/dev/null", [](const ScratchDir&) { return std::u16string(u"/dev/null"); }, false },
        DropCase {
            "/dev/zero", [](const ScratchDir&) { return std::u16string(u"/dev/zero"); }, false },
        // A lone surrogate has no form in a file name.
        DropCase { "lone surrogate",
            [](const ScratchDir& dir) { return u16(dir.path()) + u"/a\xD800"; }, false },
        DropCase { "empty path", [](const ScratchDir&) { return std::u16string(); }, false },
        // The system would read the name only up to the NUL, and find that file.
        DropCase { "NUL after a file's name",
            [](const ScratchDir& dir) { return named(dir, "plain") + u'\0' + u".bin"; }, false }));

INSTANTIATE_TEST_SUITE_P(Line, DroppedItem,
    ::testing::Values(DropCase { "spaces",
                          [](const ScratchDir& dir) { return named(dir, " two  spaces "); }, true },
        DropCase { "Japanese",
            [](const ScratchDir& dir) { return named(dir, "見積もり 2026年.txt"); }, true },
        DropCase {
            "emoji", [](const ScratchDir& dir) { return named(dir, "\U0001F600.bin"); }, true },
        DropCase {
            "newline", [](const ScratchDir& dir) { return named(dir, "two\nlines"); }, true },
        DropCase {
            "carriage return", [](const ScratchDir& dir) { return named(dir, "cr\rhere"); }, true },
        DropCase { "backslashes",
            [](const ScratchDir& dir) { return named(dir, "C:\\data\\a.bin"); }, true },
        DropCase { "leading dash", [](const ScratchDir& dir) { return named(dir, "-rf"); }, true },
        DropCase { "Japanese name of 255 bytes",
            [](const ScratchDir& dir) { return named(dir, repeat("長", 85)); }, true },
        // With a file beside it that a decoding into U+FFFD would measure instead.
        DropCase { "Latin-1 name",
            [](const ScratchDir& dir) {
                dir.file("caf\uFFFD.bin", 5000);
                return namedInBytes(dir, "caf\xE9.bin");
            },
            true },
        DropCase { "link to a file",
            [](const ScratchDir& dir) {
                fs::create_symlink(dir.file("real", 1000), dir / "link");
                return u16(dir / "link");
            },
            true }));

TEST(DroppedItems, AwkwardNamesAreSavedAsTheirCp932Bytes)
{
    ScratchDir dir;
    const std::string root = dir.path().string(); // ASCII, from the temporary folder
    const std::vector<std::u16string> paths {
        named(dir, "見積もり"),
        named(dir, "\U0001F600"),
        named(dir, "a\nb"),
        namedInBytes(dir, "caf\xE9"),
        namedInBytes(dir, "\xE3\x83\x9F\xFF\xFE"),
    };
    ASSERT_TRUE(SaveFeeReport(u16(dir / "report.txt"), BuildFeeReport(paths, u"0.3")));
    // The emoji, one character in two 16-bit units, becomes one "?"; so does each byte of a
    // name that is not part of valid UTF-8.
    EXPECT_EQ(readBytes(dir / "report.txt"),
        root + "/\x8C\xA9\x90\xCF\x82\xE0\x82\xE8   2.34\x89\x7E\r\n" + root
            + "/?   2.34\x89\x7E\r\n" + root + "/a\nb   2.34\x89\x7E\r\n" + root
            + "/caf?   2.34\x89\x7E\r\n" + root
            + "/\x83\x7E??   2.34\x89\x7E\r\n\r\nTOTAL 11.71875\x89\x7E\r\n");
}

TEST(DroppedItems, AFileTheUserMayNotReadGivesNoLine)
{
    ScratchDir dir;
    fs::permissions(
        dir.path(), fs::perms::owner_all | fs::perms::others_read | fs::perms::others_exec);
    const std::u16string a = u16(dir.file("a", 128));
    const auto secret = dir.file("secret", 1000);
    fs::permissions(secret, fs::perms::none);
    const std::u16string b = u16(dir.file("b", 128));

    Unprivileged user;
    if (!user.active())
        GTEST_SKIP() << user.failure();
    EXPECT_EQ(BuildFeeReport(std::vector<std::u16string> { a, u16(secret), b }, u"0.3"),
        a + u"   0.3円\r\n" + b + u"   0.3円\r\n\r\nTOTAL 0.6円");
}

// Files removed by someone else while the walk runs: each gets its line or none, and a line
// never carries another file's fee; the files left alone all get theirs, in order.
TEST(DroppedItems, FilesThatVanishDuringTheWalkGiveTheirOwnLineOrNone)
{
    ScratchDir dir;
    constexpr int count = 3000;
    std::vector<std::u16string> paths;
    std::map<std::u16string, int> lengthOf;
    for (int i = 0; i < count; ++i) {
        paths.push_back(u16(dir.file(std::to_string(i), static_cast<std::uintmax_t>(i))));
        lengthOf[paths.back()] = i;
    }
    std::atomic<bool> started = false;
    std::thread remover([&] {
        while (!started)
            std::this_thread::yield();
        for (int i = count - 1; i >= 0; i -= 2)
            fs::remove(fs::path(paths[static_cast<std::size_t>(i)]));
    });
    started = true;
    const std::u16string report = BuildFeeReport(paths, u"0.3");
    remover.join();

    const std::u16string closing = u"\r\n\r\nTOTAL ";
    const auto totalAt = report.rfind(closing);
    ASSERT_NE(totalAt, std::u16string::npos);
    int previous = -1;
    int lines = 0;
    double total = 0;
    for (std::size_t at = 0; at < totalAt + 2;) {
        const std::size_t end = report.find(u"\r\n", at);
        const std::u16string line = report.substr(at, end - at);
        at = end + 2;
        const std::size_t separator = line.find(u"   ");
        ASSERT_NE(separator, std::u16string::npos);
        const auto found = lengthOf.find(line.substr(0, separator));
        ASSERT_NE(found, lengthOf.end()) << "a line for no dropped file";
        const int length = found->second;
        // Only the odd ones are removed, so at most one file, an odd one, lies between two lines.
        EXPECT_TRUE(length == previous + 1 || (length == previous + 2 && length % 2 == 0))
            << "out of order, or lines missing, before " << length;
        EXPECT_EQ(line.substr(separator + 3),
            FormatNumber(std::floor(0.3 * (length / 128.0) * 100) / 100) + u"円");
        total = 0.3 * (length / 128.0) + total;
        previous = length;
        ++lines;
    }
    EXPECT_GE(previous, count - 2) << "the last files kept got no line";
    EXPECT_GE(lines, count / 2);
    EXPECT_EQ(report.substr(totalAt + closing.size()), FormatNumber(total) + u"円");
}

// Everything under a folder, as root sees it: kind, permissions, owner and the bytes of files.
std::map<std::string, std::string> snapshot(const fs::path& root)
{
    std::map<std::string, std::string> entries;
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
        struct stat st;
        ::lstat(entry.path().c_str(), &st);
        std::string what = std::to_string(st.st_mode) + " " + std::to_string(st.st_uid);
        if (S_ISREG(st.st_mode))
            what += " " + readBytes(entry.path());
        entries[entry.path().lexically_relative(root).string()] = what;
    }
    return entries;
}

struct SaveCase {
    const char* name;
    // Makes what the case needs in the folder and gives the name the prompt yields.
    std::function<std::u16string(const ScratchDir&)> target;
    bool saved;
    bool unprivileged = false; // the case needs the permissions of an ordinary user
    bool othersFile = false; // and a file that belongs to someone else
};

void PrintTo(const SaveCase& c, std::ostream* out) { *out << c.name; }

class SaveTarget : public ::testing::TestWithParam<SaveCase> { };

constexpr std::u16string_view report = u"C:\\data\\a.bin   2.34円\r\n\r\nTOTAL 2.34375円";
const std::string reportBytes = "C:\\data\\a.bin   2.34\x89\x7E\r\n\r\nTOTAL 2.34375\x89\x7E\r\n";

TEST_P(SaveTarget, SavesInFullOrChangesNothing)
{
    const SaveCase& c = GetParam();
    if (c.othersFile && !Unprivileged::canMakeOthersFiles())
        GTEST_SKIP() << "needs root to make a file that belongs to someone else";
    ScratchDir dir;
    fs::permissions(
        dir.path(), fs::perms::owner_all | fs::perms::others_read | fs::perms::others_exec);
    const std::u16string target = c.target(dir);
    const auto before = snapshot(dir.path());
    struct stat old;
    const bool replacing
        = c.saved && ::stat(fs::path(target).c_str(), &old) == 0 && S_ISREG(old.st_mode);

    bool saved;
    {
        std::optional<Unprivileged> user;
        if (c.unprivileged) {
            user.emplace();
            if (!user->active())
                GTEST_SKIP() << user->failure();
        }
        saved = SaveFeeReport(target, report);
    }
    EXPECT_EQ(saved, c.saved);

    auto after = snapshot(dir.path());
    struct stat st;
    if (c.saved && ::stat(fs::path(target).c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
        EXPECT_EQ(readBytes(fs::path(target)), reportBytes);
        // A new file took the old one's place; the old one was not emptied and written over.
        if (replacing) {
            EXPECT_NE(st.st_ino, old.st_ino) << "the old file was written in place";
        }
        // The file that took the report, links followed; a link itself must stay as it was.
        const std::string written
            = fs::canonical(fs::path(target)).lexically_relative(fs::canonical(dir.path()));
        after.erase(written);
        auto expected = before;
        expected.erase(written);
        EXPECT_EQ(after, expected) << "something beside the report changed";
    } else {
        EXPECT_EQ(after, before) << "a save that failed, or went to a device, changed a file";
    }
    // So that an ordinary user running the tests can remove the folder again.
    for (const auto& entry : fs::recursive_directory_iterator(dir.path())) {
        if (!entry.is_symlink() && entry.is_directory())
            fs::permissions(entry.path(), fs::perms::owner_all, fs::perm_options::add);
    }
}

// The user's old report in a folder so deep that "old.txt" still fits in PATH_MAX beside it but
// a temporary's longer name would not.
std::u16string reportAtALongPath(const ScratchDir& dir)
{
    constexpr std::size_t folderLength = PATH_MAX - 16;
    fs::path where = dir.path();
    while (where.native().size() + 101 < folderLength)
        where /= std::string(100, 'd');
    where /= std::string(folderLength - where.native().size() - 1, 'e');
    fs::create_directories(where);
    return u16(oldFile(where / "old.txt", fs::perms::owner_read | fs::perms::owner_write, false));
}

INSTANTIATE_TEST_SUITE_P(Refused, SaveTarget,
    ::testing::Values(
        SaveCase { "full device",
            [](const ScratchDir& dir) { return u16(makeDevice(dir / "full", 7, "/dev/full")); },
            false },
        SaveCase { "a folder as the name",
            [](const ScratchDir& dir) {
                fs::create_directory(dir / "folder");
                return u16(dir / "folder");
            },
            false },
        SaveCase { "a missing parent folder",
            [](const ScratchDir& dir) { return u16(dir / "missing" / "report.txt"); }, false },
        SaveCase { "a path through a file",
            [](const ScratchDir& dir) { return u16(dir.file("plain", 3) / "report.txt"); }, false },
        SaveCase { "a name of 256 bytes",
            [](const ScratchDir& dir) { return u16(dir / std::string(256, 'n')); }, false },
        SaveCase { "a name no file can have",
            [](const ScratchDir& dir) { return u16(dir.path()) + u"/\xDC00.txt"; }, false },
        SaveCase { "a FIFO nobody reads",
            [](const ScratchDir& dir) {
                EXPECT_EQ(::mkfifo((dir / "fifo").c_str(), 0666), 0);
                return u16(dir / "fifo");
            },
            false },
        SaveCase { "a socket",
            [](const ScratchDir& dir) { return u16(makeSocket(dir / "socket")); }, false },
        SaveCase { "a read-only folder",
            [](const ScratchDir& dir) {
                return u16(makeFolder(dir / "readonly", readOnly) / "report.txt");
            },
            false, true },
        SaveCase { "a read-only file",
            [](const ScratchDir& dir) {
                return u16(oldFile(
                    makeFolder(dir / "shared", writable) / "old.txt", fs::perms::owner_read, true));
            },
            false, true },
        SaveCase { "someone else's file in a shared folder",
            [](const ScratchDir& dir) {
                return u16(oldFile(makeFolder(dir / "shared", writable) / "old.txt",
                    fs::perms::owner_read | fs::perms::owner_write | fs::perms::others_read,
                    false));
            },
            false, true, true },
        // Nothing can be made beside it, and writing it in place could lose it.
        SaveCase { "the user's own file in a read-only folder",
            [](const ScratchDir& dir) {
                const auto where = makeFolder(dir / "readonly", writable);
                const auto file = oldFile(
                    where / "old.txt", fs::perms::owner_read | fs::perms::owner_write, true);
                fs::permissions(where, readOnly);
                return u16(file);
            },
            false, true },
        SaveCase { "a link loop",
            [](const ScratchDir& dir) {
                fs::create_symlink("ping", dir / "pong");
                fs::create_symlink("pong", dir / "ping");
                return u16(dir / "ping");
            },
            false }));

// The same kinds of place where saving must work, so that the refusals above are not the set-up's.
INSTANTIATE_TEST_SUITE_P(Saved, SaveTarget,
    ::testing::Values(
        SaveCase { "a device that takes anything",
            [](const ScratchDir& dir) { return u16(makeDevice(dir / "null", 3, "/dev/null")); },
            true },
        SaveCase { "a new file in a shared folder",
            [](const ScratchDir& dir) {
                return u16(makeFolder(dir / "shared", writable) / "report.txt");
            },
            true, true },
        SaveCase { "the user's own file",
            [](const ScratchDir& dir) {
                return u16(oldFile(makeFolder(dir / "shared", writable) / "old.txt",
                    fs::perms::owner_read | fs::perms::owner_write, true));
            },
            true, true },
        SaveCase { "the user's own file at a path near PATH_MAX", reportAtALongPath, true },
        // The file it points to is made; the link stays a link.
        SaveCase { "a dangling link",
            [](const ScratchDir& dir) {
                fs::create_directory(dir / "sub");
                fs::create_symlink("sub/report.txt", dir / "link");
                return u16(dir / "link");
            },
            true }));

// A link to a file whose full path is longer than PATH_MAX: the system follows it, but no
// full path names the file. It is found from folder to folder, and the link stays.
TEST(SavingThroughALink, ToAFileDeeperThanPathMaxReplacesTheFileAndKeepsTheLink)
{
    ScratchDir dir;
    testing::WorkingDirectory here(dir.path());
    std::string deep;
    // 4092 bytes with the name: as long as the text of a link may be.
    for (int i = 0; i < 19; ++i)
        deep += std::string(214, 'd') + "/";
    fs::create_directories(deep);
    std::ofstream(deep + "old.txt") << oldContent;
    fs::create_symlink(deep + "old.txt", "link");
    ASSERT_GT((dir.path() / deep / "old.txt").native().size(), std::size_t { PATH_MAX });

    EXPECT_TRUE(SaveFeeReport(u16(dir / "link"), report));
    EXPECT_TRUE(fs::is_symlink("link"));
    EXPECT_EQ(readBytes(deep + "old.txt"), reportBytes);
    std::vector<fs::path> beside;
    for (const auto& entry : fs::directory_iterator(deep))
        beside.push_back(entry.path().filename());
    EXPECT_EQ(beside, std::vector<fs::path> { "old.txt" });
    fs::remove_all(std::string(214, 'd')); // by a path short enough to be removed
}

// A save killed at any moment leaves the old report or the new one, whole, and nothing beside
// it. Each save runs in a child process that is killed at a random point of a whole save.
TEST(SaveKilled, LeavesTheOldReportOrTheNewOneAndNothingElse)
{
    ScratchDir dir;
    const int probe = ::open(dir.path().c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
    if (probe < 0)
        GTEST_SKIP() << "this file system has no unnamed files: a killed save leaves its named "
                        "temporary behind";
    ::close(probe);
    const auto target = dir / "report.txt";
    const std::string oldBytes(oldContent);
    const std::u16string large(4 << 20, u'テ'); // 8 MiB in CP932
    const std::string newBytes = ToAnsiCodePage(large).value() + "\r\n";
    auto saveInChild = [&] {
        std::ofstream(target, std::ios::binary | std::ios::trunc) << oldBytes;
        const pid_t child = ::fork();
        if (child == 0)
            ::_exit(SaveFeeReport(u16(target), large) ? 0 : 1);
        return child;
    };
    auto entries = [&] {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(dir.path()))
            names.push_back(entry.path().filename());
        return names;
    };

    // One whole save first, to learn how long one takes here.
    const auto start = std::chrono::steady_clock::now();
    int status = 0;
    ASSERT_GT(::waitpid(saveInChild(), &status, 0), 0);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    const auto whole = std::chrono::steady_clock::now() - start;
    ASSERT_EQ(readBytes(target), newBytes);

    std::mt19937 random(std::random_device {}());
    std::uniform_int_distribution<long long> at(0, whole.count());
    for (int round = 0; round < 24; ++round) {
        const pid_t child = saveInChild();
        std::this_thread::sleep_for(decltype(whole)(at(random)));
        ::kill(child, SIGKILL);
        ::waitpid(child, &status, 0);
        const std::string now = readBytes(target);
        EXPECT_TRUE(now == oldBytes || now == newBytes)
            << "round " << round << ": a report of " << now.size() << " bytes";
        for (const auto& name : entries()) {
            if (name == "report.txt")
                continue;
            // A kill in the instant between naming the complete file and its rename leaves
            // that file under its own name: complete, never partial.
            EXPECT_TRUE(readBytes(dir / name) == newBytes)
                << "round " << round << ": " << name << " was left behind";
            fs::remove(dir / name);
        }
    }
}

// Where an unnamed file cannot be given a name (here /proc is hidden, as in a container without
// it), a file with a name of its own stands in: it replaces the target once complete, and is
// removed when the write fails. Runs in a child process with a mount namespace of its own.
TEST(SavingWithoutUnnamedFiles, ANamedTemporaryReplacesTheFileOrGoesAway)
{
    ScratchDir dir;
    const auto target = dir / "report.txt";
    std::ofstream(target) << oldContent;
    enum Outcome { asExpected, cannotHideProc, savedWrongly };
    const pid_t child = ::fork();
    if (child == 0) {
        if (::unshare(CLONE_NEWNS) != 0
            || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0
            || ::mount("tmpfs", "/proc", "tmpfs", 0, "size=4k") != 0)
            ::_exit(cannotHideProc);
        const bool saved = SaveFeeReport(u16(target), report);
        // Then a save whose write fails: the first one must stay.
        FileSizeLimit limit(16);
        const bool failedSaved = SaveFeeReport(u16(target), u"a report longer than 16 bytes");
        ::_exit(saved && !failedSaved ? asExpected : savedWrongly);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == cannotHideProc)
        GTEST_SKIP() << "cannot mount over /proc here";
    EXPECT_EQ(WEXITSTATUS(status), asExpected);
    EXPECT_EQ(readBytes(target), reportBytes);
    std::vector<fs::path> left;
    for (const auto& entry : fs::directory_iterator(dir.path()))
        left.push_back(entry.path().filename());
    EXPECT_EQ(left, std::vector<fs::path> { "report.txt" });
}

} // namespace
} // namespace miruteka
