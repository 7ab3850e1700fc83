// What the fuzz targets share: turning the fuzzer's bytes into 16-bit text, reference
// readings and writings of numbers from the C library, and stopping loudly on a broken property.
#pragma once

#include <cerrno>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <optional>
#include <string>
#include <string_view>

namespace miruteka::fuzz {

// Bytes below 0xFF stand for themselves, so that ASCII number texts are easy for the fuzzer to
// reach; 0xFF and the two bytes after it give any 16-bit unit, lone surrogates included.
inline std::u16string textFrom(const std::uint8_t* data, std::size_t size)
{
    std::u16string text;
    text.reserve(size);
    for (std::size_t i = 0; i < size; ++i) {
        if (data[i] == 0xFF && i + 2 < size) {
            text.push_back(static_cast<char16_t>(data[i + 1] << 8 | data[i + 2]));
            i += 2;
        } else {
            text.push_back(data[i]);
        }
    }
    return text;
}

// For messages only: ASCII as it is, anything else as \uXXXX.
inline std::string printable(std::u16string_view text)
{
    std::string out;
    for (const char16_t c : text) {
        if (c >= 0x20 && c < 0x7F) {
            out.push_back(static_cast<char>(c));
        } else {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\u%04X", static_cast<unsigned>(c));
            out += escape;
        }
    }
    return out;
}

[[noreturn]] inline void fail(const char* property, std::u16string_view input,
    std::u16string_view got = {}, std::u16string_view expected = {})
{
    std::fprintf(stderr,
        "property broken: %s\n  input:    \"%s\"\n  got:      \"%s\"\n  expected: \"%s\"\n",
        property, printable(input).c_str(), printable(got).c_str(), printable(expected).c_str());
    std::abort();
}

inline std::u16string widen(std::string_view ascii) { return { ascii.begin(), ascii.end() }; }

// The number text the program is meant to write: "%.15G" in the C locale, the locale these
// targets run in, with negative zero written as "0".
inline std::string referenceFormat(double value)
{
    if (value == 0)
        return "0";
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%.15G", value);
    return buffer;
}

// Whether the decimal text, of the grammar below and unsigned, is at most 1.79769313486232E+308:
// its significant digits as 0.d... and the power of ten that goes with them, compared as such.
inline bool atMostLargestWritten(std::string_view text)
{
    const std::size_t e = text.find_first_of("eE");
    const std::string_view mantissa = text.substr(0, e);
    long long power = 0;
    if (e != std::string_view::npos) {
        const std::string_view exponent = text.substr(e + 1);
        const bool negative = !exponent.empty() && exponent[0] == '-';
        for (const char c : exponent) {
            if (c >= '0' && c <= '9' && power < 1'000'000'000)
                power = power * 10 + (c - '0');
        }
        if (negative)
            power = -power;
    }
    std::string digits;
    bool point = false;
    for (const char c : mantissa) {
        if (c == '.') {
            point = true;
        } else if (digits.empty() && c == '0') {
            if (point)
                --power; // a zero after the point and before any significant digit
        } else {
            digits.push_back(c);
            if (!point)
                ++power;
        }
    }
    while (!digits.empty() && digits.back() == '0')
        digits.pop_back();
    if (digits.empty())
        return true;
    return power < 309 || (power == 309 && digits <= "179769313486232");
}

// The reading the program is meant to do, from the grammar and strtod: blanks (space, tab),
// sign, digits with at most one "." and at least one digit, optional exponent, blanks. Where
// strtod overflows, the text is refused unless it is at most FormatNumber's text of the largest
// double, which reads as that double. Underflow reads as what strtod gives.
inline std::optional<double> referenceParse(std::u16string_view text)
{
    std::size_t begin = 0;
    std::size_t end = text.size();
    while (begin < end && (text[begin] == u' ' || text[begin] == u'\t'))
        ++begin;
    while (end > begin && (text[end - 1] == u' ' || text[end - 1] == u'\t'))
        --end;
    const auto digit = [&](std::size_t i) { return i < end && text[i] >= u'0' && text[i] <= u'9'; };
    std::size_t i = begin;
    if (i < end && (text[i] == u'+' || text[i] == u'-'))
        ++i;
    std::size_t digits = 0;
    for (; digit(i); ++i)
        ++digits;
    if (i < end && text[i] == u'.')
        for (++i; digit(i); ++i)
            ++digits;
    if (digits == 0)
        return std::nullopt;
    if (i < end && (text[i] == u'e' || text[i] == u'E')) {
        ++i;
        if (i < end && (text[i] == u'+' || text[i] == u'-'))
            ++i;
        if (!digit(i))
            return std::nullopt;
        while (digit(i))
            ++i;
    }
    if (i != end)
        return std::nullopt;

    const std::string ascii(text.begin() + static_cast<std::ptrdiff_t>(begin),
        text.begin() + static_cast<std::ptrdiff_t>(end));
    char* stop = nullptr;
    errno = 0;
    const double value = std::strtod(ascii.c_str(), &stop);
    if (stop != ascii.c_str() + ascii.size())
        return std::nullopt;
    if (std::isinf(value)) {
        const bool negative = ascii[0] == '-';
        const std::string_view unsigned_
            = std::string_view(ascii).substr(ascii[0] == '-' || ascii[0] == '+');
        if (!atMostLargestWritten(unsigned_))
            return std::nullopt;
        return negative ? -std::numeric_limits<double>::max() : std::numeric_limits<double>::max();
    }
    return value;
}

} // namespace miruteka::fuzz
