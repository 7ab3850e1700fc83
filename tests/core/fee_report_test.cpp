#include "fee_report.h"
#include "files.h"
#include "number.h"
#include "scratch.h"

#include <gtest/gtest.h>
#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace miruteka {
namespace {

using testing::readBytes;
using testing::ScratchDir;
using testing::u16;
using testing::WorkingDirectory;
namespace fs = std::filesystem;

struct FeeCase {
    std::u16string_view price;
    std::int64_t length;
    std::u16string_view fee; // as the file line shows it
    std::u16string_view total; // TOTAL of this file alone
};

std::string ascii(std::u16string_view text) { return { text.begin(), text.end() }; }

void PrintTo(const FeeCase& c, std::ostream* out)
{
    *out << ascii(c.price) << " x " << c.length << " bytes";
}

class FeeTest : public ::testing::TestWithParam<FeeCase> { };

// The fee is the product cut down to hundredths on the double result, the TOTAL the unrounded
// amount; both as the report shows them.
TEST_P(FeeTest, OneFileReport)
{
    const auto& c = GetParam();
    ScratchDir dir;
    const std::vector<std::u16string> paths { u16(
        dir.file("f", static_cast<std::uintmax_t>(c.length))) };
    const std::u16string expected = paths[0] + u"   " + std::u16string(c.fee) + u"円\r\n\r\nTOTAL "
        + std::u16string(c.total) + u"円";
    EXPECT_EQ(BuildFeeReport(paths, c.price), expected);
}

INSTANTIATE_TEST_SUITE_P(Table, FeeTest,
    ::testing::Values(FeeCase { u"0.3", 0, u"0", u"0" }, FeeCase { u"0.3", 1, u"0", u"0.00234375" },
        FeeCase { u"0.3", 127, u"0.29", u"0.29765625" }, FeeCase { u"0.3", 128, u"0.3", u"0.3" },
        FeeCase { u"0.3", 129, u"0.3", u"0.30234375" },
        // 89.99999999999999 when scaled: cut to 0.89, while the total shows 0.9.
        FeeCase { u"0.3", 384, u"0.89", u"0.9" }, FeeCase { u"0.3", 1000, u"2.34", u"2.34375" },
        // 28.999999999999996 when scaled.
        FeeCase { u"0.29", 128, u"0.28", u"0.29" },
        // The price text is read as the user left it.
        FeeCase { u" 0.30 ", 128, u"0.3", u"0.3" },
        FeeCase { u"9.999", 10'000'000, u"781171.87", u"781171.875" },
        // Lengths past 2^31 count in full instead of wrapping.
        FeeCase { u"0.3", 2147483647, u"5033164.79", u"5033164.79765625" },
        FeeCase { u"0.3", 2147483648, u"5033164.8", u"5033164.8" },
        FeeCase { u"0.3", 3221225472, u"7549747.19", u"7549747.2" }));

TEST(FeeReport, ScalingThePacketsFirstWouldGiveOtherFees)
{
    // P × (packets × 100) would give 0.9 here; the product must come first.
    EXPECT_EQ(PacketFee(0.3, 384), 0.89);
    EXPECT_EQ(PacketAmount(0.3, 384) + 0.0, 0.8999999999999999);
}

#ifndef _WIN32 // backslashes in names, FIFOs, links, /dev; windows_test.cpp has the Windows side
TEST(FeeReport, WorkedExampleIsSixtySevenBytes)
{
    ScratchDir dir;
    WorkingDirectory here(dir.path());
    // On POSIX a backslash is an ordinary character, so these are names in the current folder.
    dir.file("C:\\data\\a.bin", 1000);
    dir.file("C:\\data\\b.txt", 300);
    const std::vector<std::u16string> paths { u"C:\\data\\a.bin", u"C:\\data\\b.txt" };

    const std::u16string report = BuildFeeReport(paths, u"0.3");
    ASSERT_TRUE(SaveFeeReport(u"report.txt", report));
    const std::string expected = "C:\\data\\a.bin   2.34\x89\x7E\r\n"
                                 "C:\\data\\b.txt   0.7\x89\x7E\r\n"
                                 "\r\n"
                                 "TOTAL 3.046875\x89\x7E\r\n";
    EXPECT_EQ(expected.size(), 67u);
    EXPECT_EQ(readBytes("report.txt"), expected);
}

// A terabyte, sparse: measured exactly from its length. Reading its content would take far
// longer than the test may run.
TEST(FeeReport, ATerabyteIsMeasuredWithoutBeingRead)
{
    ScratchDir dir;
    const std::vector<std::u16string> paths { u16(dir.file("huge", std::uintmax_t { 1 } << 40)) };
    EXPECT_EQ(
        BuildFeeReport(paths, u"0.3"), paths[0] + u"   2576980377.6円\r\n\r\nTOTAL 2576980377.6円");
}

TEST(FeeReport, ItemsThatCannotBeMeasuredGiveNoLineAndTheRestKeepTheirOrder)
{
    ScratchDir dir;
    const auto b = u16(dir.file("b", 128));
    const auto a = u16(dir.file("a", 1000));
    fs::create_directory(dir / "folder");
    fs::create_symlink(dir / "nowhere", dir / "dangling");
    ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
    const auto zero = u16(dir.file("empty", 0));

    const std::vector<std::u16string> paths { b, u16(dir / "folder"), u16(dir / "missing"), a,
        u16(dir / "dangling"), u16(dir / "fifo"), u"/dev/null", zero, b };
    EXPECT_EQ(BuildFeeReport(paths, u"0.3"),
        b + u"   0.3円\r\n" + a + u"   2.34円\r\n" + zero + u"   0円\r\n" + b
            + u"   0.3円\r\n\r\nTOTAL 2.94375円");
}
#endif

TEST(FeeReport, APriceThatDoesNotReadGivesOnlyTheClosing)
{
    ScratchDir dir;
    const std::vector<std::u16string> paths { u16(dir.file("a", 1000)) };
    for (const std::u16string_view price : { u"", u"abc", u"０．３", u"1e400" })
        EXPECT_EQ(BuildFeeReport(paths, price), u"\r\nTOTAL 0円");
}

TEST(FeeReport, AnEmptyDropStillWritesThirteenBytes)
{
    ScratchDir dir;
    ASSERT_TRUE(
        SaveFeeReport(u16(dir / "r.txt"), BuildFeeReport(std::vector<std::u16string> {}, u"0.3")));
    EXPECT_EQ(readBytes(dir / "r.txt"), std::string("\r\nTOTAL 0\x89\x7E\r\n"));
    EXPECT_EQ(fs::file_size(dir / "r.txt"), 13u);
}

TEST(FeeReport, TheTotalAddsUnroundedAmountsInOrder)
{
    ScratchDir dir;
    std::vector<std::u16string> paths;
    double expected = 0;
    for (std::int64_t length : { 1, 127, 129, 384, 1000, 300, 77777 }) {
        paths.push_back(u16(dir.file(std::to_string(length), static_cast<std::uintmax_t>(length))));
        expected = 0.3 * (static_cast<double>(length) / 128) + expected;
    }
    const std::u16string report = BuildFeeReport(paths, u"0.3");
    const auto totalAt = report.rfind(u"TOTAL ");
    ASSERT_NE(totalAt, std::u16string::npos);
    EXPECT_EQ(report.substr(totalAt), u"TOTAL " + FormatNumber(expected) + u"円");
}

// A cancelled prompt gives the empty name, which opens nothing: no file is made in the current
// folder, not even for a moment, and file number 1 stays free for the next save.
TEST(SaveFeeReport, ACancelledPromptWritesNothing)
{
    ScratchDir dir;
    WorkingDirectory here(dir.path());
    const std::u16string report = u"\r\nTOTAL 0円";
    EXPECT_FALSE(OpenForOutput(u"", 1));
    EXPECT_FALSE(CloseFile(1)) << "the empty name opened something";
    EXPECT_FALSE(SaveFeeReport(u"", report));
    EXPECT_TRUE(fs::is_empty(dir.path()));
    EXPECT_TRUE(SaveFeeReport(u"next.txt", report));
}

} // namespace
} // namespace miruteka
