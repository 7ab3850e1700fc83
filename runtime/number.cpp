#include "number.h"

#include <array>
#include <charconv>
#include <cmath>
#include <string>
#include <system_error>

namespace miruteka {

namespace {

bool isBlank(char16_t c) { return c == u' ' || c == u'\t'; }
bool isDigit(char16_t c) { return c >= u'0' && c <= u'9'; }

// Decimal exponent of the first non-zero digit, used only to tell overflow from underflow
// when std::from_chars reports the value out of range.
bool magnitudeIsLarge(std::string_view mantissa, std::int64_t exponent)
{
    std::int64_t position = 0; // digits before the point, relative to the first non-zero digit
    bool seenPoint = false;
    bool seenNonZero = false;
    for (char c : mantissa) {
        if (c == '.') {
            seenPoint = true;
            continue;
        }
        if (!seenNonZero && c != '0')
            seenNonZero = true;
        if (seenNonZero && !seenPoint)
            ++position;
        if (!seenNonZero && seenPoint)
            --position;
    }
    return exponent + position > 0;
}

} // namespace

std::optional<double> ParseNumber(std::u16string_view text)
{
    std::size_t begin = 0;
    std::size_t end = text.size();
    while (begin < end && isBlank(text[begin]))
        ++begin;
    while (end > begin && isBlank(text[end - 1]))
        --end;

    // Check the form first, copying it as ASCII for std::from_chars, which takes no "+".
    std::string ascii;
    ascii.reserve(end - begin);
    std::size_t i = begin;
    bool negative = false;
    if (i < end && (text[i] == u'+' || text[i] == u'-')) {
        negative = text[i] == u'-';
        ++i;
    }
    if (negative)
        ascii.push_back('-');
    const std::size_t mantissaStart = ascii.size();
    std::size_t digits = 0;
    bool point = false;
    for (; i < end; ++i) {
        const char16_t c = text[i];
        if (isDigit(c)) {
            ++digits;
        } else if (c == u'.' && !point) {
            point = true;
        } else {
            break;
        }
        ascii.push_back(static_cast<char>(c));
    }
    if (digits == 0)
        return std::nullopt;
    const std::string_view mantissa = std::string_view(ascii).substr(mantissaStart);

    std::int64_t exponent = 0;
    if (i < end && (text[i] == u'e' || text[i] == u'E')) {
        ascii.push_back('e');
        ++i;
        bool exponentNegative = false;
        if (i < end && (text[i] == u'+' || text[i] == u'-')) {
            exponentNegative = text[i] == u'-';
            ascii.push_back(static_cast<char>(text[i]));
            ++i;
        }
        std::size_t exponentDigits = 0;
        for (; i < end && isDigit(text[i]); ++i, ++exponentDigits) {
            ascii.push_back(static_cast<char>(text[i]));
            if (exponent < 1'000'000'000)
                exponent = exponent * 10 + (text[i] - u'0');
        }
        if (exponentDigits == 0)
            return std::nullopt;
        if (exponentNegative)
            exponent = -exponent;
    }
    if (i != end)
        return std::nullopt;

    double value = 0.0;
    const char* first = ascii.data();
    const char* last = ascii.data() + ascii.size();
    const auto [ptr, ec] = std::from_chars(first, last, value, std::chars_format::general);
    if (ptr != last)
        return std::nullopt;
    if (ec == std::errc::result_out_of_range) {
        if (magnitudeIsLarge(std::string_view(ascii).substr(mantissaStart, mantissa.size()),
                exponent))
            return std::nullopt;
        return negative ? -0.0 : 0.0;
    }
    if (ec != std::errc() || !std::isfinite(value))
        return std::nullopt;
    return value;
}

void AppendNumber(std::u16string& out, double value)
{
    if (value == 0.0) { // also turns -0 into "0"
        out.push_back(u'0');
        return;
    }
    // Enough for "-d.dddddddddddddde-ddd".
    std::array<char, 32> buffer;
    const auto result = std::to_chars(buffer.data(), buffer.data() + buffer.size(), value,
        std::chars_format::general, 15);
    for (const char* p = buffer.data(); p != result.ptr; ++p)
        out.push_back(*p == 'e' ? u'E' : static_cast<char16_t>(*p));
}

std::u16string FormatNumber(double value)
{
    std::u16string text;
    AppendNumber(text, value);
    return text;
}

std::u16string FormatInteger(std::int16_t value)
{
    std::array<char, 8> buffer;
    const auto result = std::to_chars(buffer.data(), buffer.data() + buffer.size(), value);
    return std::u16string(buffer.data(), result.ptr);
}

double Floor(double value) { return std::floor(value); }

} // namespace miruteka
