// Number text: the conversions between doubles and the text the user sees and types.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace miruteka {

// Reads a decimal number: optional blanks (space, tab), an optional sign, digits with at most
// one "." and at least one digit (".5" and "5." read), an optional exponent ("e" or "E",
// optional sign, digits), optional blanks. Everything else is refused: full-width digits, group
// separators, hexadecimal, "inf", "nan", empty or blank text, and magnitudes beyond the range of
// a double, except that up to 1.79769313486232E+308, FormatNumber's text for the largest double,
// reads as that double. A magnitude too small for a double reads as zero of the same sign. Takes
// time linear in the length of the text; the result never depends on the locale.
std::optional<double> ParseNumber(std::u16string_view text);

// The value rounded to 15 significant digits, without trailing zeros or a trailing ".".
// Very large or small magnitudes take an exponent ("1E+20", "1E-05"); negative zero is "0".
// Every finite result reads back through ParseNumber.
std::u16string FormatNumber(double value);

// Same text as FormatNumber, appended to `out` without a temporary string.
void AppendNumber(std::u16string& out, double value);

std::u16string FormatInteger(std::int16_t value);

double Floor(double value);

} // namespace miruteka
