// POSIX names: UTF-8 on disk, UTF-16 in the program, with any byte that is not UTF-8 carried as
// a lone surrogate so that the name opened is the name dropped.
#include "native_names_posix.h"

#include "native_file.h"

namespace miruteka::native {

std::optional<std::string_view> toUtf8(std::u16string_view text, std::span<char> out)
{
    char* at = out.data();
    for (std::size_t i = 0; i < text.size(); ++i) {
        char32_t c = text[i];
        if (c < 0x80) {
            if (c == 0)
                return std::nullopt;
            *at++ = static_cast<char>(c);
            // The rest of an ASCII run in a loop of its own: most of a name is ASCII, and a
            // branch a unit between it and the other forms was mispredicted at every change.
            while (i + 1 < text.size() && text[i + 1] != 0 && text[i + 1] < 0x80)
                *at++ = static_cast<char>(text[++i]);
            continue;
        }
        if (c >= 0xD800 && c <= 0xDBFF) {
            if (i + 1 >= text.size() || text[i + 1] < 0xDC00 || text[i + 1] > 0xDFFF)
                return std::nullopt;
            c = 0x10000 + ((c - 0xD800) << 10) + (text[++i] - 0xDC00);
        } else if (c >= 0xDC00 && c <= 0xDFFF) {
            if (c < 0xDC80 || c > 0xDCFF)
                return std::nullopt;
            *at++ = static_cast<char>(c - 0xDC00);
            continue;
        }
        if (c < 0x800) {
            *at++ = static_cast<char>(0xC0 | (c >> 6));
            *at++ = static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            *at++ = static_cast<char>(0xE0 | (c >> 12));
            *at++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            *at++ = static_cast<char>(0x80 | (c & 0x3F));
        } else {
            *at++ = static_cast<char>(0xF0 | (c >> 18));
            *at++ = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            *at++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            *at++ = static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    *at = '\0';
    return std::string_view(out.data(), static_cast<std::size_t>(at - out.data()));
}

std::u16string fromSystemPath(std::string_view bytes)
{
    std::u16string out;
    out.reserve(bytes.size());
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(bytes[i]); };
    for (std::size_t i = 0; i < bytes.size();) {
        const unsigned char lead = byte(i);
        if (lead < 0x80) {
            out += static_cast<char16_t>(lead);
            ++i;
            continue;
        }
        // The well-formed sequences: the lead byte gives the length and the range of the second
        // byte, which shuts out overlong forms, surrogates and anything beyond U+10FFFF.
        std::size_t length = 0;
        unsigned char low = 0x80;
        unsigned char high = 0xBF;
        if (lead >= 0xC2 && lead <= 0xDF) {
            length = 2;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            length = 3;
            low = lead == 0xE0 ? 0xA0 : low;
            high = lead == 0xED ? 0x9F : high;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            length = 4;
            low = lead == 0xF0 ? 0x90 : low;
            high = lead == 0xF4 ? 0x8F : high;
        }
        bool valid = length != 0 && i + length <= bytes.size() && byte(i + 1) >= low
            && byte(i + 1) <= high;
        for (std::size_t k = 2; valid && k < length; ++k)
            valid = byte(i + k) >= 0x80 && byte(i + k) <= 0xBF;
        if (!valid) {
            out += static_cast<char16_t>(0xDC00 + lead);
            ++i;
            continue;
        }
        char32_t c = lead & (0x7F >> length);
        for (std::size_t k = 1; k < length; ++k)
            c = (c << 6) | (byte(i + k) & 0x3F);
        if (c >= 0x10000) {
            out += static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10));
            out += static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF));
        } else {
            out += static_cast<char16_t>(c);
        }
        i += length;
    }
    return out;
}

} // namespace miruteka::native
