#include "number.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <gtest/gtest.h>
#include <limits>
#include <random>
#include <vector>

namespace miruteka {
namespace {

struct FormatCase {
    double value;
    std::u16string_view text;
};

void PrintTo(const FormatCase& c, std::ostream* out)
{
    *out << std::string(c.text.begin(), c.text.end());
}

class FormatNumberTest : public ::testing::TestWithParam<FormatCase> { };

TEST_P(FormatNumberTest, WritesFifteenSignificantDigits)
{
    EXPECT_EQ(FormatNumber(GetParam().value), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(Table, FormatNumberTest,
    ::testing::Values(
        // The program's own figures: fees, totals, prices.
        FormatCase { 0.3, u"0.3" }, FormatCase { 12, u"12" },
        FormatCase { 0.8999999999999999, u"0.9" }, FormatCase { 3.046875, u"3.046875" },
        FormatCase { 0.00234375, u"0.00234375" }, FormatCase { 2.34, u"2.34" },
        FormatCase { 0.89, u"0.89" }, FormatCase { 0.9, u"0.9" },
        FormatCase { 234.99999999999997, u"235" }, FormatCase { 9.999999999999997, u"10" },
        // Zero in either sign, negatives, no trailing "." or zeros.
        FormatCase { 0.0, u"0" }, FormatCase { -0.0, u"0" }, FormatCase { -1, u"-1" },
        FormatCase { -0.25, u"-0.25" }, FormatCase { 100, u"100" }, FormatCase { 1.5, u"1.5" },
        // Fifteen digits stay plain; beyond them the exponent form takes over.
        FormatCase { 123456789012345, u"123456789012345" }, FormatCase { 1e15, u"1E+15" },
        FormatCase { 1e20, u"1E+20" }, FormatCase { 1e-20, u"1E-20" },
        FormatCase { 0.0001, u"0.0001" }, FormatCase { 0.00001, u"1E-05" },
        FormatCase { 1234567890123456789.0, u"1.23456789012346E+18" },
        FormatCase { 0.1 + 0.2, u"0.3" }, FormatCase { 1.0 / 3, u"0.333333333333333" },
        FormatCase { std::numeric_limits<double>::max(), u"1.79769313486232E+308" },
        FormatCase { std::numeric_limits<double>::denorm_min(), u"4.94065645841247E-324" },
        // A total beyond 2^53 bytes' worth still prints, rounded to 15 digits.
        FormatCase { 3.0 * 1024 * 1024 * 1024 / 128 * 0.3, u"7549747.2" }));

TEST(FormatNumber, EveryFiniteResultReadsBackToTheFifteenDigitValue)
{
    std::mt19937_64 random(20261207);
    std::uniform_int_distribution<std::uint64_t> bits;
    int checked = 0;
    while (checked < 20000) {
        const double value = std::bit_cast<double>(bits(random));
        if (!std::isfinite(value))
            continue;
        ++checked;
        const std::u16string text = FormatNumber(value);
        const auto back = ParseNumber(text);
        ASSERT_TRUE(back.has_value()) << std::string(text.begin(), text.end());
        // Normalising is idempotent: the text of what it reads back as is the same text.
        EXPECT_EQ(FormatNumber(*back), text);
    }
}

// The 15-significant-digit text as the C library writes it.
std::u16string referenceText(double value)
{
    if (value == 0)
        return u"0";
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%.15G", value);
    return std::u16string(buffer, buffer + std::strlen(buffer));
}

// Fees are whole hundredths and take a road of their own; it must agree with the C library on
// every such value, and on the doubles beside them, which are not whole hundredths.
TEST(FormatNumber, WholeHundredthsAndTheirNeighboursWriteTheReferenceText)
{
    std::vector<std::int64_t> hundredths;
    for (std::int64_t k = -20000; k <= 20000; ++k)
        hundredths.push_back(k);
    // Where the digits run out: around every power of ten up to 10^17.
    for (std::int64_t power = 10; power <= 100'000'000'000'000'000; power *= 10) {
        for (const std::int64_t k : { power - 1, power, power + 1, 3 * power - 7 }) {
            hundredths.push_back(k);
            hundredths.push_back(-k);
        }
    }
    std::mt19937_64 random(20260101);
    for (int i = 0; i < 200000; ++i)
        hundredths.push_back(static_cast<std::int64_t>(random() >> (8 + random() % 50)));

    for (const std::int64_t k : hundredths) {
        const double value = static_cast<double>(k) / 100;
        for (const double v :
            { value, std::nextafter(value, -1e300), std::nextafter(value, 1e300) })
            ASSERT_EQ(FormatNumber(v), referenceText(v)) << k << " hundredths";
    }
}

TEST(FormatNumber, ParsedPricesNormalise)
{
    EXPECT_EQ(FormatNumber(*ParseNumber(u"0.30")), u"0.3");
    EXPECT_EQ(FormatNumber(*ParseNumber(u"3")), u"3");
    EXPECT_EQ(FormatNumber(*ParseNumber(u"3.")), u"3");
}

TEST(FormatInteger, WritesPlainDecimal)
{
    const std::pair<std::int16_t, std::u16string_view> cases[] = {
        { 0, u"0" },
        { 1, u"1" },
        { -1, u"-1" },
        { 32767, u"32767" },
        { -32768, u"-32768" },
    };
    for (const auto& [value, text] : cases)
        EXPECT_EQ(FormatInteger(value), text) << value;
}

TEST(Floor, TakesTheWholeNumberNotAbove)
{
    const std::pair<double, double> cases[] = {
        { 234.99999999999997, 234 },
        { 89.99999999999999, 89 },
        { 30, 30 },
        { 28.999999999999996, 28 },
        { 0.234375, 0 },
        { -0.5, -1 },
        { -2, -2 },
        { 1e300, 1e300 },
    };
    for (const auto& [value, floor] : cases)
        EXPECT_EQ(Floor(value), floor) << value;
}

} // namespace
} // namespace miruteka
