// The program runs in whatever locale the environment gives it (the toolkit sets it at start),
// and nothing it does may depend on it: names are UTF-8 or their own bytes, numbers are written
// and read with ".", and the report is CP932, in a locale of another encoding or another decimal
// sign as much as in C.
#include "fee_report.h"
#include "files.h"
#include "number.h"
#include "scratch.h"
#include "validate_price.h"

#include <algorithm>
#include <cctype>
#include <clocale>
#include <cstdlib>
#include <gtest/gtest.h>

namespace miruteka {
namespace {

using testing::readBytes;
using testing::ScratchDir;
using testing::u16;

class InLocale : public ::testing::TestWithParam<const char*> {
protected:
    void SetUp() override
    {
        previous_ = std::setlocale(LC_ALL, nullptr);
        if (std::setlocale(LC_ALL, GetParam()))
            return;
        // A check that cannot run fails: a skip would go unnoticed.
        if (std::getenv("MIRUTEKA_LOCALES_MADE"))
            FAIL() << GetParam() << " is missing although scripts/test made it";
        FAIL() << GetParam() << " is missing; scripts/test makes it (localedef)";
    }
    void TearDown() override { std::setlocale(LC_ALL, previous_.c_str()); }

private:
    std::string previous_;
};

TEST_P(InLocale, JapaneseNamesAreMeasuredAndSavedAsInC)
{
    ScratchDir dir;
    const std::u16string a = u16(dir.file("見積もり.bin", 1000));
    const std::u16string b = u16(dir.file("ミルテカ.txt", 300));
    const std::vector<std::u16string> paths { a, b };

    const std::u16string report = BuildFeeReport(paths, u"0.3");
    EXPECT_EQ(report, a + u"   2.34円\r\n" + b + u"   0.7円\r\n\r\nTOTAL 3.046875円");
    ASSERT_TRUE(SaveFeeReport(u16(dir / "料金.txt"), report));
    // The folder, ASCII from the temporary folder, with the system's separator after it.
    const std::string root = (dir.path() / "").string();
    EXPECT_EQ(readBytes(dir / "料金.txt"),
        root + "\x8C\xA9\x90\xCF\x82\xE0\x82\xE8.bin   2.34\x89\x7E\r\n" + root
            + "\x83\x7E\x83\x8B\x83\x65\x83\x4A.txt   0.7\x89\x7E\r\n\r\nTOTAL "
              "3.046875\x89\x7E\r\n");
#ifndef _WIN32
    // A drop's URI gives the name as bytes.
    EXPECT_EQ(FileNameFromBytes("\xE8\xA6\x8B\xE7\xA9\x8D"), u"見積");
#endif
}

TEST_P(InLocale, NumbersAreWrittenAndReadWithAPoint)
{
    EXPECT_EQ(ParseNumber(u"0.3"), 0.3);
    EXPECT_EQ(ParseNumber(u"1e-1"), 0.1);
    EXPECT_EQ(FormatNumber(1234567.5), u"1234567.5");
    EXPECT_EQ(FormatNumber(1e-15), u"1E-15");
    const PriceCheck check = ValidatePrice(u" 1.50 ");
    EXPECT_EQ(check.fieldText, u"1.5");
    EXPECT_TRUE(check.accepted);
    EXPECT_FALSE(ValidatePrice(u"1,5").accepted);
}

// C is what a bare system has; the others differ in encoding (EUC-JP) or decimal sign (",").
INSTANTIATE_TEST_SUITE_P(Locales, InLocale,
    ::testing::Values("C", "C.UTF-8", "ja_JP.UTF-8", "ja_JP.eucJP", "de_DE.UTF-8"),
    [](const ::testing::TestParamInfo<const char*>& info) {
        std::string name = info.param;
        std::replace_if(
            name.begin(), name.end(), [](char c) { return !std::isalnum(c); }, '_');
        return name;
    });

} // namespace
} // namespace miruteka
