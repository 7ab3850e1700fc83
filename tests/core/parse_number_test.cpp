#include "number.h"

#include <cmath>
#include <gtest/gtest.h>
#include <iomanip>
#include <limits>
#include <string>

namespace miruteka {
namespace {

using namespace std::string_view_literals;

constexpr double largest = std::numeric_limits<double>::max();

// Shows a text as ASCII, with every other character as its code.
std::string printable(std::u16string_view text)
{
    std::ostringstream out;
    for (char16_t c : text) {
        if (c >= 0x21 && c < 0x7F)
            out << static_cast<char>(c);
        else
            out << "\\u" << std::hex << std::setw(4) << std::setfill('0') << static_cast<int>(c);
    }
    return "\"" + out.str() + "\"";
}

struct ParseCase {
    std::u16string_view text;
    std::optional<double> value; // none when the text is refused
};

void PrintTo(const ParseCase& c, std::ostream* out) { *out << printable(c.text); }

void expectReads(std::u16string_view text, std::optional<double> expected)
{
    const std::optional<double> read = ParseNumber(text);
    ASSERT_EQ(read.has_value(), expected.has_value()) << (read ? *read : 0.0);
    if (expected) {
        EXPECT_EQ(*read, *expected);
        EXPECT_EQ(std::signbit(*read), std::signbit(*expected));
    }
}

class ParseNumberTest : public ::testing::TestWithParam<ParseCase> { };

TEST_P(ParseNumberTest, ReadsOrRefuses) { expectReads(GetParam().text, GetParam().value); }

INSTANTIATE_TEST_SUITE_P(Plain, ParseNumberTest,
    ::testing::Values(ParseCase { u"0.3", 0.3 }, ParseCase { u"0.30", 0.3 }, ParseCase { u"3", 3 },
        ParseCase { u"09.990", 9.99 }, ParseCase { u"9.999999999999997", 9.999999999999997 },
        ParseCase { u"+1.5", 1.5 }, ParseCase { u"-1", -1 }, ParseCase { u"0", 0.0 },
        ParseCase { u"-0", -0.0 }, ParseCase { u"-0.0", -0.0 },
        // A digit on either side of the point will do.
        ParseCase { u".5", 0.5 }, ParseCase { u"5.", 5 }, ParseCase { u"-.5", -0.5 },
        ParseCase { u"+5.", 5 }, ParseCase { u"0000", 0.0 }));

INSTANTIATE_TEST_SUITE_P(Blanks, ParseNumberTest,
    ::testing::Values(ParseCase { u" 0.30 ", 0.3 }, ParseCase { u"\t0.3\t", 0.3 },
        ParseCase { u" \t 1 \t ", 1 },
        // Blanks are spaces and tabs at either end, nothing else and nowhere else.
        ParseCase { u"\n0.3", std::nullopt }, ParseCase { u"0.3\r\n", std::nullopt },
        ParseCase { u"\u00A00.3", std::nullopt }, ParseCase { u"\u30000.3", std::nullopt },
        ParseCase { u"- 1", std::nullopt }, ParseCase { u"1 000", std::nullopt },
        ParseCase { u"1 e5", std::nullopt }, ParseCase { u"0.3\0"sv, std::nullopt }));

INSTANTIATE_TEST_SUITE_P(Exponents, ParseNumberTest,
    ::testing::Values(ParseCase { u"1e3", 1000 }, ParseCase { u"1E3", 1000 },
        ParseCase { u"1e+3", 1000 }, ParseCase { u"1e-3", 0.001 }, ParseCase { u"1e0003", 1000 },
        ParseCase { u".5e1", 5 }, ParseCase { u"5.e-1", 0.5 }, ParseCase { u"-2.5E-05", -2.5e-5 },
        // What FormatNumber writes at the ends of its range.
        ParseCase { u"1E+15", 1e15 }, ParseCase { u"1.23456789012346E+18", 1.23456789012346e18 },
        ParseCase { u"4.94065645841247E-324", std::numeric_limits<double>::denorm_min() },
        ParseCase { u"1e", std::nullopt }, ParseCase { u"1e+", std::nullopt },
        ParseCase { u"e5", std::nullopt }, ParseCase { u".e5", std::nullopt },
        ParseCase { u"1e3.5", std::nullopt }, ParseCase { u"1e+-3", std::nullopt },
        ParseCase { u"1d3", std::nullopt }, ParseCase { u"0x1p3", std::nullopt }));

INSTANTIATE_TEST_SUITE_P(Range, ParseNumberTest,
    ::testing::Values(ParseCase { u"1.7976931348623157e308", largest },
        // FormatNumber's text for the largest double lies above it, yet must read back as it.
        ParseCase { u"1.79769313486232E+308", largest },
        ParseCase { u"-1.79769313486232E+308", -largest },
        ParseCase { u"179769313486232000e291", largest },
        ParseCase { u"0.0179769313486232e310", largest },
        ParseCase { u"1.797693134862320001e308", std::nullopt },
        ParseCase { u"1.79769313486233E+308", std::nullopt },
        ParseCase { u"1.8e308", std::nullopt }, ParseCase { u"1e309", std::nullopt },
        ParseCase { u"-1e309", std::nullopt }, ParseCase { u"1e999999999999", std::nullopt },
        // Too small for a double: zero, keeping the sign.
        ParseCase { u"1e-400", 0.0 }, ParseCase { u"-1e-400", -0.0 }, ParseCase { u"2e-324", 0.0 },
        ParseCase { u"0.0001e-999999999999", 0.0 }, ParseCase { u"0e999999999", 0.0 }));

INSTANTIATE_TEST_SUITE_P(Refused, ParseNumberTest,
    ::testing::Values(ParseCase { u"", std::nullopt }, ParseCase { u" ", std::nullopt },
        ParseCase { u"\t \t", std::nullopt }, ParseCase { u".", std::nullopt },
        ParseCase { u"+", std::nullopt }, ParseCase { u"-", std::nullopt },
        ParseCase { u"+-1", std::nullopt }, ParseCase { u"--1", std::nullopt },
        ParseCase { u"1.2.3", std::nullopt }, ParseCase { u"1,000", std::nullopt },
        ParseCase { u"0,3", std::nullopt }, ParseCase { u"1_000", std::nullopt },
        ParseCase { u"1'000", std::nullopt }, ParseCase { u"0x10", std::nullopt },
        ParseCase { u"inf", std::nullopt }, ParseCase { u"-inf", std::nullopt },
        ParseCase { u"infinity", std::nullopt }, ParseCase { u"nan", std::nullopt },
        ParseCase { u"NaN", std::nullopt }, ParseCase { u"abc", std::nullopt },
        ParseCase { u"0.3abc", std::nullopt }, ParseCase { u"\u00BD", std::nullopt },
        // Full-width and other scripts' digits: the message asks for half-width ones.
        ParseCase { u"０．３", std::nullopt }, ParseCase { u"0．3", std::nullopt },
        ParseCase { u"３", std::nullopt }, ParseCase { u"\u0663", std::nullopt },
        ParseCase { u"1\uFF45"
                    u"3",
            std::nullopt },
        ParseCase { u"\uFF0B1", std::nullopt },
        // A low surrogate whose low byte is an ASCII digit.
        ParseCase { u"\xDC31", std::nullopt }));

// Texts of millions of characters: read in one pass, and still rounded correctly.
TEST(ParseNumber, ReadsVeryLongTexts)
{
    constexpr std::size_t million = 1'000'000;
    const std::u16string zeros(million, u'0');
    // Exactly halfway between 1 and the next double, so one further digit decides.
    const std::u16string halfway = u"1.00000000000000011102230246251565404236316680908203125";
    const std::pair<std::u16string, std::optional<double>> cases[] = {
        { std::u16string(million, u'1'), std::nullopt },
        { std::u16string(million, u'1') + u"x", std::nullopt },
        { u"0.3" + zeros, 0.3 },
        { u"0.3" + zeros + u"1", 0.3 },
        { halfway, 1.0 },
        { halfway + zeros + u"1", 1.0000000000000002 },
        { u"1" + zeros + u"e-1000000", 1.0 },
        { u"0." + zeros + u"1", 0.0 },
        { u"0." + zeros + u"3e1000000", 0.3 },
        { std::u16string(million, u' ') + u"0.3" + std::u16string(million, u'\t'), 0.3 },
        { std::u16string(million, u' '), std::nullopt },
        { u"1e" + zeros + u"5", 1e5 },
        { u"1e-" + std::u16string(million, u'9'), 0.0 },
        { u"1e" + std::u16string(million, u'9'), std::nullopt },
        { u"1.79769313486232" + zeros + u"E+308", largest },
        { u"1.79769313486232" + zeros + u"1E+308", std::nullopt },
    };
    for (const auto& [text, value] : cases) {
        SCOPED_TRACE(printable(std::u16string_view(text).substr(0, 60)));
        expectReads(text, value);
    }
}

} // namespace
} // namespace miruteka
