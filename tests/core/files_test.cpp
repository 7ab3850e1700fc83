#include "files.h"
#include "scratch.h"

#include <gtest/gtest.h>
#ifndef _WIN32
#include <algorithm>
#include <climits>
#include <csignal>
#include <cstdio>
#include <set>
#include <sys/resource.h>
#include <sys/stat.h>
#endif

namespace miruteka {
namespace {

using testing::readBytes;
using testing::ScratchDir;
using testing::u16;
#ifndef _WIN32
using testing::FileSizeLimit;
#endif
namespace fs = std::filesystem;

struct AnsiCase {
    const char* name;
    std::u16string_view text;
    std::string_view bytes;
};

TEST(ToAnsiCodePage, WritesCp932AndOneQuestionMarkPerUnmappableCharacter)
{
    const AnsiCase cases[] = {
        { "yen sign of the report", u"円", "\x89\x7E" },
        { "ascii", u"TOTAL 3.046875", "TOTAL 3.046875" },
        { "katakana", u"ミルテカ", "\x83\x7E\x83\x8B\x83\x65\x83\x4A" },
        { "backslash stays a byte", u"C:\\data\\a.bin", "C:\\data\\a.bin" },
        { "line ends untouched", u"a\r\nb", "a\r\nb" },
        { "emoji is one character", u"x\U0001F600y", "x?y" },
        { "lone high surrogate",
            u"a\xD83D"
            "b",
            "a?b" },
        { "lone low surrogate at the end", u"a\xDE00", "a?" },
        { "latin letter outside the code page", u"caf\u00E9", "caf?" },
        { "two unmappable in a row", u"\u00E9\u00E8", "??" },
        { "code page extension row", u"\u2460", "\x87\x40" },
        { "full-width tilde", u"\uFF5E", "\x81\x60" },
        { "empty", u"", "" },
    };
    for (const auto& c : cases)
        EXPECT_EQ(ToAnsiCodePage(c.text).value(), c.bytes) << c.name;
}

TEST(FileNumbers, OperationsOnANumberWithNothingOpenFail)
{
    EXPECT_FALSE(FileLength(1).has_value());
    EXPECT_FALSE(PrintLine(1, u"x"));
    EXPECT_FALSE(CloseFile(1));
}

// File numbers run from 1 to 511: a file that opens under those opens under no other number.
TEST(FileNumbers, OnlyOneTo511AreFileNumbers)
{
    ScratchDir dir;
    const auto path = u16(dir.file("a", 5));
    for (const int number : { 1, 511 }) {
        ASSERT_TRUE(OpenForInput(path, number)) << number;
        EXPECT_EQ(FileLength(number), 5) << number;
        EXPECT_TRUE(CloseFile(number)) << number;
    }
    for (const int outOfRange : { 0, -1, 512, 100000 }) {
        EXPECT_FALSE(OpenForInput(path, outOfRange)) << outOfRange;
        EXPECT_FALSE(FileLength(outOfRange).has_value()) << outOfRange;
        EXPECT_FALSE(OpenForOutput(u16(dir / "out"), outOfRange)) << outOfRange;
        EXPECT_FALSE(CloseFile(outOfRange)) << outOfRange;
    }
    EXPECT_FALSE(fs::exists(dir / "out"));
}

TEST(FileNumbers, ANumberInUseCannotBeOpenedAgain)
{
    ScratchDir dir;
    const auto path = u16(dir.file("a", 5));
    ASSERT_TRUE(OpenForInput(path, 1));
    EXPECT_FALSE(OpenForInput(path, 1));
    EXPECT_FALSE(OpenForOutput(u16(dir / "out"), 1));
    EXPECT_EQ(FileLength(1), 5);
    EXPECT_TRUE(CloseFile(1));
    EXPECT_FALSE(FileLength(1).has_value());
}

#ifndef _WIN32 // links, FIFOs, /dev and sparse files made by truncation
TEST(OpenForInput, TakesRegularFilesOnlyAndNeverBlocks)
{
    ScratchDir dir;
    const auto file = dir.file("file.bin", 1000);
    fs::create_directory(dir / "folder");
    fs::create_symlink(file, dir / "link");
    fs::create_symlink(dir / "nowhere", dir / "dangling");
    ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);

    const std::pair<fs::path, std::optional<std::int64_t>> cases[] = {
        { file, 1000 },
        { dir / "link", 1000 }, // links are followed
        { dir / "folder", std::nullopt },
        { dir / "missing", std::nullopt },
        { dir / "dangling", std::nullopt },
        { dir / "fifo", std::nullopt }, // would block forever if opened for reading plainly
        { "/dev/null", std::nullopt },
        { "/dev/zero", std::nullopt },
        { file / "through-a-file", std::nullopt },
    };
    for (const auto& [path, length] : cases) {
        EXPECT_EQ(OpenForInput(u16(path), 1), length.has_value()) << path;
        EXPECT_EQ(FileLength(1), length) << path;
        CloseFile(1);
    }
}

TEST(OpenForInput, OpensNamesUpToTheSystemsLengthLimit)
{
    ScratchDir dir;
    dir.file("file", 7);
    const std::string folder = dir.path().string();
    // The file's name padded with slashes to the given number of bytes.
    const auto padded = [&](std::size_t bytes) {
        return std::u16string(folder.begin(), folder.end())
            + std::u16string(bytes - folder.size() - 4, u'/') + u"file";
    };
    const std::pair<std::u16string, std::optional<std::int64_t>> cases[] = {
        { padded(PATH_MAX - 1), 7 },
        { padded(PATH_MAX), std::nullopt },
        // The most units that are converted at all, each at its longest.
        { std::u16string(PATH_MAX - 1, u'見'), std::nullopt },
        { std::u16string(PATH_MAX - 2, u'見') + u"\U0001F600", std::nullopt },
        { std::u16string(PATH_MAX, u'見'), std::nullopt },
    };
    for (const auto& [path, length] : cases) {
        EXPECT_EQ(OpenForInput(path, 1), length.has_value()) << path.size() << " units";
        EXPECT_EQ(FileLength(1), length) << path.size() << " units";
        CloseFile(1);
    }
}

TEST(OpenForInput, MeasuresFilesBeyondFourGibibytesExactly)
{
    ScratchDir dir;
    const std::uintmax_t threeGiB = 3ull << 30;
    const auto sparse = dir.file("big", threeGiB);
    const auto huge = dir.file("huge", (1ull << 40) + 1);
    ASSERT_TRUE(OpenForInput(u16(sparse), 1));
    EXPECT_EQ(FileLength(1), static_cast<std::int64_t>(threeGiB));
    CloseFile(1);
    ASSERT_TRUE(OpenForInput(u16(huge), 1));
    EXPECT_EQ(FileLength(1), static_cast<std::int64_t>((1ull << 40) + 1));
    CloseFile(1);
}
#endif

bool save(const fs::path& path, std::u16string_view text)
{
    if (!OpenForOutput(u16(path), 1))
        return false;
    const bool printed = PrintLine(1, text);
    return CloseFile(1) && printed;
}

std::vector<fs::path> entries(const fs::path& dir)
{
    std::vector<fs::path> found;
    for (const auto& entry : fs::directory_iterator(dir))
        found.push_back(entry.path().filename());
    std::sort(found.begin(), found.end());
    return found;
}

TEST(OpenForOutput, WritesTheLineWithCrLfAndNothingElse)
{
    ScratchDir dir;
    ASSERT_TRUE(save(dir / "report.txt", u"TOTAL 0円"));
    EXPECT_EQ(readBytes(dir / "report.txt"), "TOTAL 0\x89\x7E\r\n");
    // Nothing is left beside the report.
    EXPECT_EQ(entries(dir.path()), std::vector<fs::path> { "report.txt" });
}

#ifndef _WIN32 // permission bits and symbolic links
TEST(OpenForOutput, ReplacesAnExistingFileKeepingItsPermissionsAndLinks)
{
    ScratchDir dir;
    const auto target = dir / "old.txt";
    std::ofstream(target) << "a much longer old content that must disappear entirely";
    fs::permissions(target, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    fs::create_symlink(target, dir / "link.txt");

    ASSERT_TRUE(save(dir / "link.txt", u"new"));
    EXPECT_EQ(readBytes(target), "new\r\n");
    EXPECT_TRUE(fs::is_symlink(dir / "link.txt"));
    EXPECT_EQ(fs::status(target).permissions() & fs::perms::all,
        fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    EXPECT_EQ(entries(dir.path()), (std::vector<fs::path> { "link.txt", "old.txt" }));
}
#endif

TEST(OpenForOutput, RefusesNamesThatCannotBeWritten)
{
    ScratchDir dir;
    fs::create_directory(dir / "folder");
    const auto file = dir.file("file", 3);
    const fs::path cases[]
        = { "", dir / "folder", dir / "missing" / "report.txt", file / "report.txt" };
    for (const auto& path : cases) {
        EXPECT_FALSE(OpenForOutput(u16(path), 1)) << path;
        EXPECT_FALSE(PrintLine(1, u"x"));
        CloseFile(1);
    }
    EXPECT_EQ(entries(dir.path()), (std::vector<fs::path> { "file", "folder" }));
    EXPECT_TRUE(fs::is_empty(dir / "folder"));
}

#ifndef _WIN32 // devices, FIFOs, file-size limits; windows_test.cpp has the Windows side
TEST(OpenForOutput, AFullDeviceFailsAndStaysADevice)
{
    if (!fs::is_character_file("/dev/full"))
        GTEST_SKIP() << "/dev/full is not available here";
    ASSERT_TRUE(OpenForOutput(u"/dev/full", 1));
    EXPECT_FALSE(PrintLine(1, u"report"));
    EXPECT_FALSE(CloseFile(1));
    EXPECT_TRUE(fs::is_character_file("/dev/full"));
}

// The copies of old content beside a target, by name.
std::vector<std::string> copiesBeside(const fs::path& dir, const std::string& prefix)
{
    std::vector<std::string> found;
    for (const auto& entry : fs::directory_iterator(dir))
        if (entry.path().filename().string().starts_with(prefix))
            found.push_back(entry.path().filename().string());
    return found;
}

// A report with a second name is written in place, after a copy of its old content named for
// it with a tag of its own; copies that earlier saves left, which may hold the only old content,
// are never taken and never stand in the way, however many there are.
TEST(OpenForOutput, ACopyOfTheOldContentIsNamedForTheReportAndNeverOverwritten)
{
    // 223 bytes: with the copy's dot and suffix more than a name may hold, and the cut would
    // fall within the three bytes of ミ.
    const std::string longName = std::string(219, 'r') + "\xE3\x83\x9F" + "x";
    const struct {
        std::string name;
        int earlierCopies;
        std::string prefix; // of the copy's name, which a random tag of 16 digits ends
    } cases[] = {
        { "report.txt", 0, ".report.txt.miruteka-backup-" },
        { "report.txt", 12, ".report.txt.miruteka-backup-" },
        // Cut to fit in 255 bytes, not within a character.
        { longName, 0, "." + std::string(219, 'r') + ".miruteka-backup-" },
    };
    for (const auto& c : cases) {
        ScratchDir dir;
        const fs::path target = dir.path() / c.name;
        std::ofstream(target) << "old report";
        fs::create_hard_link(target, dir / "other.txt");
        // Copies named as earlier versions named them (-2 to -9 after the first), and as this
        // one does.
        const std::string untagged = c.prefix.substr(0, c.prefix.size() - 1);
        std::vector<std::string> earlier;
        for (int i = 0; i < c.earlierCopies; ++i) {
            char tag[17];
            std::snprintf(tag, sizeof tag, "%016x", i);
            earlier.push_back(i == 0 ? untagged
                    : i < 9          ? untagged + "-" + std::to_string(i + 1)
                                     : c.prefix + tag);
            std::ofstream(dir.path() / earlier.back()) << "earlier " << i;
        }

        ASSERT_TRUE(OpenForOutput(u16(target), 1)) << c.prefix;
        auto copies = copiesBeside(dir.path(), c.prefix);
        std::erase_if(copies, [&](const std::string& name) {
            return std::find(earlier.begin(), earlier.end(), name) != earlier.end();
        });
        ASSERT_EQ(copies.size(), 1u) << c.prefix;
        const std::string copy = copies.front();
        EXPECT_EQ(copy.size(), c.prefix.size() + 16) << copy;
        EXPECT_LE(copy.size(), std::size_t { NAME_MAX }) << copy;
        EXPECT_EQ(readBytes(dir.path() / copy), "old report") << copy;
        EXPECT_TRUE(PrintLine(1, u"new"));
        EXPECT_TRUE(CloseFile(1));
        EXPECT_EQ(readBytes(target), "new\r\n");
        EXPECT_EQ(readBytes(dir / "other.txt"), "new\r\n");
        EXPECT_FALSE(fs::exists(dir.path() / copy)) << copy;
        for (int i = 0; i < c.earlierCopies; ++i)
            EXPECT_EQ(readBytes(dir.path() / earlier[static_cast<std::size_t>(i)]),
                "earlier " + std::to_string(i));
    }
}

// Every save takes a tag of its own for its copy: never one that an earlier save used.
TEST(OpenForOutput, EachCopyOfTheOldContentHasANameOfItsOwn)
{
    ScratchDir dir;
    const auto target = dir / "report.txt";
    std::ofstream(target) << "old report";
    fs::create_hard_link(target, dir / "other.txt");
    std::set<std::string> seen;
    for (int save = 0; save < 4; ++save) {
        ASSERT_TRUE(OpenForOutput(u16(target), 1));
        const auto copies = copiesBeside(dir.path(), ".report.txt.miruteka-backup-");
        ASSERT_EQ(copies.size(), 1u);
        EXPECT_TRUE(seen.insert(copies.front()).second) << copies.front() << " again";
        EXPECT_TRUE(PrintLine(1, u"new"));
        EXPECT_TRUE(CloseFile(1));
    }
}

TEST(OpenForOutput, AFifoWithoutReaderFailsAtOnce)
{
    ScratchDir dir;
    const auto fifo = dir / "fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_FALSE(OpenForOutput(u16(fifo), 1));
    EXPECT_TRUE(fs::is_fifo(fifo));
}

// A report with a second name is written in place; the content it had is put back.
TEST(OpenForOutput, AFailedWriteLeavesTheOldFileAsItWas)
{
    for (const bool twoNames : { false, true }) {
        ScratchDir dir;
        const auto target = dir / "report.txt";
        std::ofstream(target) << "old report";
        std::vector<fs::path> names { "report.txt" };
        if (twoNames) {
            fs::create_hard_link(target, dir / "other.txt");
            names.insert(names.begin(), "other.txt");
        }
        {
            FileSizeLimit limit(64);
            EXPECT_FALSE(save(target, std::u16string(1000, u'x'))) << twoNames;
        }
        for (const auto& name : names)
            EXPECT_EQ(readBytes(dir / name), "old report") << name;
        EXPECT_EQ(entries(dir.path()), names);
    }
}
#endif

} // namespace
} // namespace miruteka
