#include "number.h"

#include <array>
#include <charconv>
#include <cmath>
#include <limits>
#include <string>
#include <system_error>

namespace miruteka {

namespace {

bool isBlank(char16_t c) { return c == u' ' || c == u'\t'; }
bool isDigit(char16_t c) { return c >= u'0' && c <= u'9'; }

// FormatNumber writes the largest double as 1.79769313486232E+308, rounded up past what a double
// holds. That text, and any below it, still reads as the largest double, so that every text
// FormatNumber writes reads back: 0.179769313486232 x 10^309.
constexpr std::string_view largestWrittenDigits = "179769313486232";
constexpr std::int64_t largestWrittenMagnitude = 309;

// The power of ten p that writes the mantissa as 0.d... x 10^p, d its first non-zero digit.
std::int64_t magnitudeOf(std::string_view mantissa)
{
    std::int64_t position = 0;
    bool seenPoint = false;
    bool seenNonZero = false;
    for (char c : mantissa) {
        if (c == '.') {
            seenPoint = true;
            continue;
        }
        seenNonZero = seenNonZero || c != '0';
        if (seenNonZero && !seenPoint)
            ++position;
        if (!seenNonZero && seenPoint)
            --position;
    }
    return position;
}

// Whether 0.d..., the mantissa's significant digits, is at most 0.<bound>.
bool digitsAtMost(std::string_view mantissa, std::string_view bound)
{
    std::size_t matched = 0;
    bool seenNonZero = false;
    for (char c : mantissa) {
        if (c == '.' || (!seenNonZero && c == '0'))
            continue;
        seenNonZero = true;
        if (matched == bound.size()) {
            if (c != '0')
                return false;
            continue;
        }
        if (c != bound[matched])
            return c < bound[matched];
        ++matched;
    }
    return true;
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

    // Check the form first, copying it as ASCII for std::from_chars, which takes no "+". Each
    // character copied stands for one of the text, so the copy never outgrows its reservation.
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
    const std::size_t mantissaLength = ascii.size() - mantissaStart;

    // Only used to tell overflow from underflow, so it may stop growing far beyond both.
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
        const std::string_view mantissa
            = std::string_view(ascii).substr(mantissaStart, mantissaLength);
        const std::int64_t magnitude = exponent + magnitudeOf(mantissa);
        if (magnitude <= 0) // below 0.1, so too small rather than too large
            return negative ? -0.0 : 0.0;
        if (magnitude == largestWrittenMagnitude && digitsAtMost(mantissa, largestWrittenDigits)) {
            const double largest = std::numeric_limits<double>::max();
            return negative ? -largest : largest;
        }
        return std::nullopt;
    }
    if (ec != std::errc() || !std::isfinite(value))
        return std::nullopt;
    return value;
}

namespace {

// The text of k / 100: the digits of the whole part, then those of the hundredths that are not
// trailing zeros.
void appendHundredths(std::u16string& out, std::int64_t k)
{
    if (k < 0)
        out.push_back(u'-');
    const std::int64_t magnitude = k < 0 ? -k : k;
    std::array<char, 20> whole;
    const auto end = std::to_chars(whole.data(), whole.data() + whole.size(), magnitude / 100).ptr;
    out.append(whole.data(), end);
    const auto hundredths = static_cast<int>(magnitude % 100);
    if (hundredths != 0) {
        out.push_back(u'.');
        out.push_back(static_cast<char16_t>(u'0' + hundredths / 10));
        if (hundredths % 10 != 0)
            out.push_back(static_cast<char16_t>(u'0' + hundredths % 10));
    }
}

} // namespace

void AppendNumber(std::u16string& out, double value)
{
    if (value == 0.0) { // also turns -0 into "0"
        out.push_back(u'0');
        return;
    }
    // Every fee is a whole number of hundredths, k / 100, held as the double nearest to it. For
    // |k| below 10^15 that decimal has at most 15 significant digits and the double lies well
    // within half a unit of the last, so the decimal is the text: from integer digits, at a
    // tenth of the cost of the general conversion.
    const double scaled = std::nearbyint(value * 100);
    if (std::fabs(scaled) < 1e15 && scaled / 100 == value) {
        appendHundredths(out, static_cast<std::int64_t>(scaled));
        return;
    }
    // Enough for "-d.dddddddddddddde-ddd".
    std::array<char, 32> buffer;
    const auto result = std::to_chars(
        buffer.data(), buffer.data() + buffer.size(), value, std::chars_format::general, 15);
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
