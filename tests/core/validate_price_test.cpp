#include "validate_price.h"

#include <gtest/gtest.h>
#include <string>

namespace miruteka {
namespace {

struct PriceCase {
    std::u16string_view typed;
    std::u16string_view field; // the price field afterwards
    bool accepted;
};

void PrintTo(const PriceCase& c, std::ostream* out)
{
    *out << '"';
    for (char16_t ch : c.typed)
        *out << (ch >= 0x20 && ch < 0x7F ? static_cast<char>(ch) : '?');
    *out << '"';
}

class ValidatePriceTest : public ::testing::TestWithParam<PriceCase> { };

TEST_P(ValidatePriceTest, NormalisesThenJudgesTheReadBack)
{
    const PriceCase& c = GetParam();
    const PriceCheck check = ValidatePrice(c.typed);
    EXPECT_EQ(check.fieldText, c.field);
    EXPECT_EQ(check.accepted, c.accepted);
}

// What OK makes of the field, the unit price being 0.3 before.
INSTANTIATE_TEST_SUITE_P(Table, ValidatePriceTest,
    ::testing::Values(PriceCase { u"0.3", u"0.3", true }, PriceCase { u"0.30", u"0.3", true },
        PriceCase { u" 0.30 ", u"0.3", true }, PriceCase { u"9.999", u"9.999", true },
        PriceCase { u"09.990", u"9.99", true }, PriceCase { u"10", u"10", false },
        PriceCase { u"0", u"0", false }, PriceCase { u"-1", u"-1", false },
        // Below 10 as typed, but its 15-digit text "10" reads back as 10.
        PriceCase { u"9.999999999999997", u"10", false }, PriceCase { u"abc", u"abc", false },
        PriceCase { u"", u"", false }));

INSTANTIATE_TEST_SUITE_P(Forms, ValidatePriceTest,
    ::testing::Values(PriceCase { u" 1.50 ", u"1.5", true }, PriceCase { u".5", u"0.5", true },
        PriceCase { u"5.", u"5", true }, PriceCase { u"+1.5", u"1.5", true },
        PriceCase { u"1e-1", u"0.1", true }, PriceCase { u"5E0", u"5", true },
        PriceCase { u"\t2\t", u"2", true }, PriceCase { u"1e1", u"10", false },
        // The smallest prices keep their exponent form, which still reads back.
        PriceCase { u"0.000000000000001", u"1E-15", true },
        PriceCase { u"1e-300", u"1E-300", true },
        // Rounded to zero, by 15 digits or by the double itself: refused as 0.
        PriceCase { u"1e-400", u"0", false }, PriceCase { u"-0", u"0", false },
        PriceCase { u"-0.3", u"-0.3", false },
        PriceCase { u"9.99999999999999", u"9.99999999999999", true },
        PriceCase { u"9.999999999999994", u"9.99999999999999", true }));

// Text that does not read stays as typed, however close it comes to a number.
INSTANTIATE_TEST_SUITE_P(Unread, ValidatePriceTest,
    ::testing::Values(PriceCase { u"０．３", u"０．３", false },
        PriceCase { u"0．3", u"0．3", false }, PriceCase { u"0,3", u"0,3", false },
        PriceCase { u"1 000", u"1 000", false }, PriceCase { u"0.3円", u"0.3円", false },
        PriceCase { u"1e309", u"1e309", false }, PriceCase { u"nan", u"nan", false },
        PriceCase { u"inf", u"inf", false }, PriceCase { u"  ", u"  ", false },
        PriceCase { u"0x1", u"0x1", false }));

TEST(ValidatePrice, AMillionCharacters)
{
    const std::u16string ones(1'000'000, u'1');
    const PriceCheck tooLarge = ValidatePrice(ones);
    EXPECT_EQ(tooLarge.fieldText, ones);
    EXPECT_FALSE(tooLarge.accepted);

    const PriceCheck padded = ValidatePrice(u"0.3" + std::u16string(1'000'000, u'0'));
    EXPECT_EQ(padded.fieldText, u"0.3");
    EXPECT_TRUE(padded.accepted);
}

} // namespace
} // namespace miruteka
