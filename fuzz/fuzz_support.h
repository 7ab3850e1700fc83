// What the fuzz targets share: turning the fuzzer's bytes into 16-bit text, reference
// readings and writings of numbers from the C library, and stopping loudly on a broken property.
#pragma once

#include <cerrno>
#include <cfenv>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
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

inline std::u16string widen(std::string_view ascii)
{
    return { ascii.begin(), ascii.end() };
}

// The number text the program is meant to write: "%.15G" in the C locale, the locale these
// targets run in, with negative zero written as "0"; where rounding to nearest would carry the
// text past the largest double, it is rounded toward zero instead (glibc's printf follows the
// rounding mode).
inline std::string referenceFormat(double value)
{
    if (value == 0)
        return "0";
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%.15G", value);
    if (std::isfinite(value) && std::isinf(std::strtod(buffer, nullptr))) {
        std::fesetround(FE_TOWARDZERO);
        std::snprintf(buffer, sizeof buffer, "%.15G", value);
        std::fesetround(FE_TONEAREST);
    }
    return buffer;
}

// The reading the program is meant to do, from the grammar and strtod: blanks (space, tab),
// sign, digits with at most one "." and at least one digit, optional exponent, blanks; refused
// when strtod overflows. Underflow reads as what strtod gives, zero of the same sign at worst.
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
    if (stop != ascii.c_str() + ascii.size() || std::isinf(value))
        return std::nullopt;
    return value;
}

} // namespace miruteka::fuzz
