// Input nobody should give the program, and what it must make of it: awkward dropped items give
// their line or none, in order, without blocking; a report that cannot be saved leaves every
// file as it was.
#include "fee_report.h"
#include "files.h"
#include "number.h"
#include "scratch.h"

#include <acl/libacl.h>
#include <atomic>
#include <chrono>
#include <cmath>
#include <csignal>
#include <fcntl.h>
#include <functional>
#include <grp.h>
#include <gtest/gtest.h>
#include <map>
#include <poll.h>
#include <random>
#include <sched.h>
#include <sstream>
#include <sys/acl.h>
#include <sys/inotify.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
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
    // The measuring threads keep a folder open only while they measure in it: once the report
    // has every length, a removable disk can be ejected.
    for (const auto& fd : fs::directory_iterator("/proc/self/fd")) {
        std::error_code unreadable;
        EXPECT_NE(fs::read_symlink(fd.path(), unreadable), dir.path())
            << "held open as " << fd.path();
    }
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
        // It would be written in place, which needs a copy of its old content beside it first.
        SaveCase { "the user's own file with two names in a read-only folder",
            [](const ScratchDir& dir) {
                const auto where = makeFolder(dir / "readonly", writable);
                const auto file = oldFile(
                    where / "old.txt", fs::perms::owner_read | fs::perms::owner_write, true);
                fs::create_hard_link(file, where / "other name.txt");
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

// Who may use a file, as root sees it: owner, group, mode, access ACL, extended attributes and
// the number of its names.
std::string identity(const fs::path& path)
{
    struct stat st;
    check(::stat(path.c_str(), &st) == 0, "stat " + path.string());
    std::ostringstream what;
    what << st.st_uid << ':' << st.st_gid << std::oct << " mode " << st.st_mode << std::dec
         << " names " << st.st_nlink;
    const acl_t acl = acl_get_file(path.c_str(), ACL_TYPE_ACCESS);
    char* text = acl ? acl_to_any_text(acl, nullptr, ',', 0) : nullptr;
    what << " acl " << (text ? text : "none");
    acl_free(text);
    acl_free(acl);
    std::string names(4096, '\0');
    names.resize(static_cast<std::size_t>(
        std::max<ssize_t>(0, ::listxattr(path.c_str(), names.data(), names.size()))));
    for (std::size_t at = 0; at < names.size(); at = names.find('\0', at) + 1) {
        const char* name = names.c_str() + at;
        if (std::string_view(name).starts_with("system.posix_acl"))
            continue; // the ACL above
        std::string value(256, '\0');
        value.resize(static_cast<std::size_t>(
            std::max<ssize_t>(0, ::getxattr(path.c_str(), name, value.data(), value.size()))));
        what << ' ' << name << '=' << value;
    }
    return what.str();
}

void setAcl(const fs::path& path, acl_type_t type, const char* text)
{
    const acl_t acl = acl_from_text(text);
    check(acl && acl_set_file(path.c_str(), type, acl) == 0, std::string("ACL ") + text);
    acl_free(acl);
}

// Owners and groups with no names: another user, and groups the saver is in or not.
constexpr uid_t bob = 4243;
constexpr gid_t team = 4242;
constexpr gid_t staff = 4244;

// The old report with the given owner, group and mode, in a folder of the same.
fs::path oldReport(const ScratchDir& dir, uid_t owner, gid_t group, mode_t mode,
    uid_t folderOwner = Unprivileged::nobody, gid_t folderGroup = Unprivileged::nogroup,
    mode_t folderMode = 0755)
{
    const auto folder = dir / "folder";
    fs::create_directory(folder);
    check(::chown(folder.c_str(), folderOwner, folderGroup) == 0
            && ::chmod(folder.c_str(), folderMode) == 0,
        "folder");
    const auto path = folder / "report.txt";
    std::ofstream(path) << oldContent;
    check(::chown(path.c_str(), owner, group) == 0 && ::chmod(path.c_str(), mode) == 0, "report");
    return path;
}

struct IdentityCase {
    const char* name;
    std::function<fs::path(const ScratchDir&)> make; // the old report
    std::optional<std::vector<gid_t>> saversGroups; // beside the user nobody's own; none: root
};

void PrintTo(const IdentityCase& c, std::ostream* out) { *out << c.name; }

class ReplacedReport : public ::testing::TestWithParam<IdentityCase> { };

// The report keeps who may read and write it, under every name it has, and nothing is left
// beside it.
TEST_P(ReplacedReport, KeepsWhoMayUseItUnderEveryName)
{
    const IdentityCase& c = GetParam();
    if (!Unprivileged::canMakeOthersFiles())
        GTEST_SKIP() << "needs root to make files of other owners and groups";
    ScratchDir dir;
    const fs::path target = c.make(dir);
    const std::string before = identity(target);
    {
        std::optional<Unprivileged> user;
        if (c.saversGroups) {
            user.emplace(*c.saversGroups);
            if (!user->active())
                GTEST_SKIP() << user->failure();
        }
        EXPECT_TRUE(SaveFeeReport(u16(target), report));
    }
    EXPECT_EQ(identity(target), before);
    for (const auto& entry : fs::recursive_directory_iterator(dir.path())) {
        if (entry.is_regular_file()) {
            EXPECT_EQ(readBytes(entry.path()), reportBytes) << entry.path();
        }
    }
}

const std::vector<gid_t> inTeam { team };
const std::vector<gid_t> inNoOtherGroup {};

INSTANTIATE_TEST_SUITE_P(Saved, ReplacedReport,
    ::testing::Values(
        IdentityCase { "another user's file in a group folder",
            [](const ScratchDir& dir) { return oldReport(dir, bob, team, 0660, 0, team, 0775); },
            inTeam },
        IdentityCase { "the user's own file in a group she is not in",
            [](const ScratchDir& dir) { return oldReport(dir, Unprivileged::nobody, staff, 0640); },
            inNoOtherGroup },
        IdentityCase { "the user's own file in a group she is in",
            [](const ScratchDir& dir) { return oldReport(dir, Unprivileged::nobody, team, 0640); },
            inTeam },
        IdentityCase { "a folder whose default ACL names another user",
            [](const ScratchDir& dir) {
                const auto path = oldReport(dir, Unprivileged::nobody, Unprivileged::nogroup, 0600);
                setAcl(path.parent_path(), ACL_TYPE_DEFAULT, "u::rwx,u:4243:rw,g::rx,m::rwx,o::rx");
                return path;
            },
            inNoOtherGroup },
        IdentityCase { "an ACL entry for another user",
            [](const ScratchDir& dir) {
                const auto path = oldReport(dir, Unprivileged::nobody, Unprivileged::nogroup, 0600);
                setAcl(path, ACL_TYPE_ACCESS, "u::rw,u:4243:r,g::-,m::r,o::-");
                return path;
            },
            inNoOtherGroup },
        IdentityCase { "a user attribute",
            [](const ScratchDir& dir) {
                const auto path = oldReport(dir, Unprivileged::nobody, Unprivileged::nogroup, 0600);
                check(::setxattr(path.c_str(), "user.origin", "kept", 4, 0) == 0, "setxattr");
                return path;
            },
            inNoOtherGroup },
        IdentityCase { "a file with two names",
            [](const ScratchDir& dir) {
                const auto path = oldReport(dir, Unprivileged::nobody, Unprivileged::nogroup, 0644);
                fs::create_hard_link(path, path.parent_path() / "other name.txt");
                return path;
            },
            inNoOtherGroup },
        IdentityCase { "setuid and setgid, saved by root",
            [](const ScratchDir& dir) { return oldReport(dir, bob, team, 06755); }, std::nullopt },
        IdentityCase { "setuid, root's own file saved by root",
            [](const ScratchDir& dir) { return oldReport(dir, 0, 0, 04755, 0, 0); }, std::nullopt },
        IdentityCase { "setgid, root's own file saved by root",
            [](const ScratchDir& dir) { return oldReport(dir, 0, 0, 02755, 0, 0); }, std::nullopt },
        IdentityCase { "setuid, root's own file with two names saved by root",
            [](const ScratchDir& dir) {
                const auto path = oldReport(dir, 0, 0, 04755, 0, 0);
                fs::create_hard_link(path, path.parent_path() / "other name.txt");
                return path;
            },
            std::nullopt },
        IdentityCase { "setuid and setgid, the user's own file",
            [](const ScratchDir& dir) {
                return oldReport(dir, Unprivileged::nobody, Unprivileged::nogroup, 06755);
            },
            inNoOtherGroup },
        IdentityCase { "setuid, the user's own file with two names",
            [](const ScratchDir& dir) {
                const auto path
                    = oldReport(dir, Unprivileged::nobody, Unprivileged::nogroup, 04755);
                fs::create_hard_link(path, path.parent_path() / "other name.txt");
                return path;
            },
            inNoOtherGroup },
        // The folder refuses the rename of someone else's file; writing into it is allowed.
        IdentityCase { "someone else's writable file in a sticky folder",
            [](const ScratchDir& dir) { return oldReport(dir, bob, bob, 0666, 0, 0, 01777); },
            inNoOtherGroup }));

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

struct KillCase {
    const char* name;
    bool twoNames; // so that it is written in place, after a copy of its old content
};

void PrintTo(const KillCase& c, std::ostream* out) { *out << c.name; }

class SaveKilled : public ::testing::TestWithParam<KillCase> { };

// A save killed at any moment leaves the old report or the new one, whole, and nothing beside
// it; a report written in place may instead have its old content in the copy named for it. Each
// save runs in a child process: the first is killed by the file-size limit half-way through the
// report, the others at random points of a whole save.
TEST_P(SaveKilled, LeavesTheOldReportOrTheNewOneOrACopyOfTheOldNamedAsSuch)
{
    ScratchDir dir;
    const int probe = ::open(dir.path().c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
    if (probe < 0)
        GTEST_SKIP() << "this file system has no unnamed files: a killed save leaves its named "
                        "temporary behind";
    ::close(probe);
    const auto target = dir / "report.txt";
    const auto other = dir / "other name.txt";
    const std::string oldBytes(oldContent);
    std::ofstream(target) << oldBytes;
    if (GetParam().twoNames)
        fs::create_hard_link(target, other);
    const std::u16string large(4 << 20, u'テ'); // 8 MiB in CP932
    const std::string newBytes = ToAnsiCodePage(large).value() + "\r\n";
    auto saveInChild = [&](rlim_t sizeLimit) {
        // Into the same file, so that its other name follows.
        std::ofstream(target, std::ios::binary | std::ios::trunc) << oldBytes;
        const pid_t child = ::fork();
        if (child == 0) {
            if (sizeLimit != RLIM_INFINITY) {
                ::prctl(PR_SET_DUMPABLE, 0); // no core file
                std::signal(SIGXFSZ, SIG_DFL);
                const rlimit limit { sizeLimit, sizeLimit };
                ::setrlimit(RLIMIT_FSIZE, &limit);
            }
            ::_exit(SaveFeeReport(u16(target), large) ? 0 : 1);
        }
        return child;
    };
    // Checks what the kill left, clears it away, and says whether the copy was among it.
    auto left = [&](const std::string& when) {
        const std::string now = readBytes(target);
        bool copied = false;
        for (const auto& entry : fs::directory_iterator(dir.path())) {
            const std::string name = entry.path().filename();
            if (name == "report.txt" || name == "other name.txt")
                continue;
            if (name.starts_with(".report.txt.miruteka-backup-")) {
                EXPECT_EQ(readBytes(entry.path()), oldBytes) << when << ": the copy";
                copied = true;
            } else {
                // A kill in the instant between naming the complete file and its rename leaves
                // that file under its own name: complete, never partial.
                EXPECT_TRUE(readBytes(entry.path()) == newBytes)
                    << when << ": " << name << " was left behind";
            }
            fs::remove(entry.path());
        }
        EXPECT_TRUE(now == oldBytes || now == newBytes || copied)
            << when << ": a report of " << now.size() << " bytes and no copy of the old one";
        if (GetParam().twoNames) {
            EXPECT_TRUE(readBytes(other) == now) << when << ": the other name differs";
        }
        return copied;
    };

    int status = 0;
    ASSERT_GT(::waitpid(saveInChild(1 << 20), &status, 0), 0);
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGXFSZ);
    EXPECT_EQ(left("killed half-way"), GetParam().twoNames);

    // One whole save, to learn how long one takes here.
    const auto start = std::chrono::steady_clock::now();
    ASSERT_GT(::waitpid(saveInChild(RLIM_INFINITY), &status, 0), 0);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    const auto whole = std::chrono::steady_clock::now() - start;
    ASSERT_EQ(readBytes(target), newBytes);
    left("whole");

    std::mt19937 random(std::random_device {}());
    std::uniform_int_distribution<long long> at(0, whole.count());
    for (int round = 0; round < 24; ++round) {
        const pid_t child = saveInChild(RLIM_INFINITY);
        std::this_thread::sleep_for(decltype(whole)(at(random)));
        ::kill(child, SIGKILL);
        ::waitpid(child, &status, 0);
        left("round " + std::to_string(round));
    }
}

INSTANTIATE_TEST_SUITE_P(Saves, SaveKilled,
    ::testing::Values(KillCase { "replaced", false }, KillCase { "written in place", true }));

// In a child process: /proc hidden behind an empty file system in a mount namespace of its own,
// as in a container without it, so that an unnamed file cannot be given a name.
bool hideProc()
{
    return ::unshare(CLONE_NEWNS) == 0
        && ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0
        && ::mount("tmpfs", "/proc", "tmpfs", 0, "size=4k") == 0;
}

enum ChildOutcome { asExpected, cannotHideProc, savedWrongly };

// Where an unnamed file cannot be given a name (here /proc is hidden, as in a container without
// it), a file with a name of its own stands in: it replaces the target once complete, and is
// removed when the write fails. Runs in a child process with a mount namespace of its own.
TEST(SavingWithoutUnnamedFiles, ANamedTemporaryReplacesTheFileOrGoesAway)
{
    ScratchDir dir;
    const auto target = dir / "report.txt";
    std::ofstream(target) << oldContent;
    const pid_t child = ::fork();
    if (child == 0) {
        if (!hideProc())
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

// Someone else who watches the folder opens every new entry the moment it appears: what a save
// makes beside a private report, for a replacement or for a copy of the old content before a
// write in place, must never be readable by him. /proc is hidden from the saver, so that those
// files have names from the start.
TEST(SavingWithoutUnnamedFiles, NobodyElseOpensWhatIsMadeBesideAPrivateReport)
{
    if (!Unprivileged::canMakeOthersFiles())
        GTEST_SKIP() << "needs root, so that the watcher can be another user";
    ScratchDir dir;
    fs::permissions(
        dir.path(), fs::perms::owner_all | fs::perms::others_read | fs::perms::others_exec);
    const auto replaced = dir / "report.txt";
    const auto inPlace = dir / "twice.txt";
    for (const auto& path : { replaced, inPlace })
        oldFile(path, fs::perms::owner_read | fs::perms::owner_write, false);
    fs::create_hard_link(inPlace, dir / "twice, other name.txt");

    int ready[2], stop[2], result[2];
    ASSERT_TRUE(::pipe(ready) == 0 && ::pipe(stop) == 0 && ::pipe(result) == 0);
    const pid_t watcher = ::fork();
    if (watcher == 0) {
        ::close(stop[1]);
        const int folder = ::open(dir.path().c_str(), O_RDONLY | O_DIRECTORY);
        if (::setgroups(0, nullptr) != 0 || ::setgid(Unprivileged::nogroup) != 0
            || ::setuid(Unprivileged::nobody) != 0)
            ::_exit(1);
        const int events = ::inotify_init1(IN_CLOEXEC);
        if (::inotify_add_watch(events, dir.path().c_str(), IN_CREATE | IN_MOVED_TO) < 0)
            ::_exit(1);
        ::close(ready[1]); // the watch is in place
        int counts[2] = {}; // entries seen, entries opened
        pollfd waits[] = { { events, POLLIN, 0 }, { stop[0], POLLIN, 0 } };
        while (::poll(waits, 2, -1) > 0) {
            if (!(waits[0].revents & POLLIN))
                break; // every event read, and the saves are over
            alignas(inotify_event) char buffer[8192];
            const ssize_t size = ::read(events, buffer, sizeof buffer);
            for (ssize_t at = 0; at < size;) {
                const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
                at += static_cast<ssize_t>(sizeof *event + event->len);
                ++counts[0];
                // Kept open, as someone who means to read later would.
                if (::openat(folder, event->name, O_RDONLY | O_NONBLOCK | O_NOFOLLOW) >= 0)
                    ++counts[1];
            }
        }
        ::_exit(::write(result[1], counts, sizeof counts) == sizeof counts ? 0 : 1);
    }
    ::close(ready[1]);
    char none;
    ASSERT_EQ(::read(ready[0], &none, 1), 0) << "the watcher did not start";

    constexpr int saves = 100;
    const pid_t saver = ::fork();
    if (saver == 0) {
        if (!hideProc())
            ::_exit(cannotHideProc);
        ::umask(022); // a file made as any new one would be readable by all
        bool saved = true;
        for (int i = 0; i < saves; ++i) {
            saved = SaveFeeReport(u16(replaced), report) && saved;
            saved = SaveFeeReport(u16(inPlace), report) && saved;
        }
        ::_exit(saved ? asExpected : savedWrongly);
    }
    int status = 0;
    ::waitpid(saver, &status, 0);
    ::close(stop[1]);
    int counts[2] = {};
    const bool counted = ::read(result[0], counts, sizeof counts) == sizeof counts;
    ::waitpid(watcher, nullptr, 0);
    for (const int fd : { ready[0], stop[0], result[0], result[1] })
        ::close(fd);
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == cannotHideProc)
        GTEST_SKIP() << "cannot mount over /proc here";
    EXPECT_EQ(WEXITSTATUS(status), asExpected);
    ASSERT_TRUE(counted) << "the watcher could not watch the folder";
    EXPECT_GE(counts[0], 4 * saves) << "the watcher missed new entries";
    EXPECT_EQ(counts[1], 0) << "of " << counts[0] << " new entries, the watcher opened";
}

} // namespace
} // namespace miruteka
