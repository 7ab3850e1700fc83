// POSIX: text files are CP932, through the C library's iconv.
#include "native_file.h"

#include <array>
#include <bit>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <iconv.h>

namespace miruteka::native {

namespace {

// Converts the units with iconv into `at`, which has room for two bytes a unit, as CP932 takes
// at most two a character; one "?" for each character without a CP932 form, a surrogate pair
// being one character. Gives the end of the bytes, or null when iconv fails otherwise.
char* convertToCp932(iconv_t converter, std::u16string_view text, char* at)
{
    char* in = const_cast<char*>(reinterpret_cast<const char*>(text.data()));
    std::size_t inLeft = text.size() * sizeof(char16_t);
    std::size_t outLeft = text.size() * 2;
    while (inLeft > 0) {
        if (::iconv(converter, &in, &inLeft, &at, &outLeft) != static_cast<std::size_t>(-1))
            break;
        if (errno != EILSEQ && errno != EINVAL)
            return nullptr;
        const auto* unit = reinterpret_cast<const char16_t*>(in);
        std::size_t skip = 1;
        if (inLeft >= 4 && unit[0] >= 0xD800 && unit[0] <= 0xDBFF && unit[1] >= 0xDC00
            && unit[1] <= 0xDFFF)
            skip = 2;
        in += skip * sizeof(char16_t);
        inLeft -= skip * sizeof(char16_t);
        *at++ = '?';
        --outLeft;
        ::iconv(converter, nullptr, nullptr, nullptr, nullptr);
    }
    return at;
}

} // namespace

// CP932 keeps no state from one character to the next, and a report uses the same few hundred
// characters over and over: iconv is asked once for each character a converter meets, and its
// answer is looked up after. Given a whole text, iconv takes every character through UCS-4 in
// two steps, at more than twice the cost.
struct AnsiConverter::State {
    struct Bytes {
        std::array<char, 2> bytes;
        std::uint8_t size; // 0 until iconv has been asked
    };

    iconv_t converter;
    std::array<Bytes, 0x10000> byUnit {}; // the surrogates' entries stay empty
};

AnsiConverter::AnsiConverter()
{
    static const char* const utf16
        = std::endian::native == std::endian::little ? "UTF-16LE" : "UTF-16BE";
    // The table first: memory that runs out for it then leaves no converter open.
    auto state = std::make_unique<State>();
    const iconv_t converter = ::iconv_open("CP932", utf16);
    if (converter == reinterpret_cast<iconv_t>(-1))
        return;
    state->converter = converter;
    state_ = std::move(state);
}

AnsiConverter::~AnsiConverter()
{
    if (state_)
        ::iconv_close(state_->converter);
}

bool AnsiConverter::append(std::u16string_view text, std::string& out)
{
    if (!state_)
        return false;
    State& state = *state_;
    const std::size_t before = out.size();
    out.resize(before + text.size() * 2);
    char* at = out.data() + before;
    for (std::size_t i = 0; i < text.size(); ++i) {
        State::Bytes& known = state.byUnit[text[i]];
        if (known.size == 0) {
            const char16_t unit = text[i];
            if (unit >= 0xD800 && unit <= 0xDFFF) {
                // A pair, or a surrogate alone: rare enough to go to iconv each time.
                const bool pair = unit <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00
                    && text[i + 1] <= 0xDFFF;
                const std::size_t size = pair ? 2 : 1;
                at = convertToCp932(state.converter, text.substr(i, size), at);
                if (!at) {
                    out.resize(before);
                    return false;
                }
                i += size - 1;
                continue;
            }
            const char* end
                = convertToCp932(state.converter, text.substr(i, 1), known.bytes.data());
            if (!end) {
                out.resize(before);
                return false;
            }
            known.size = static_cast<std::uint8_t>(end - known.bytes.data());
        }
        // Both bytes go, there being room for two a unit; a second that is not the
        // character's own is overwritten by what follows.
        std::memcpy(at, known.bytes.data(), 2);
        at += known.size;
    }
    out.resize(static_cast<std::size_t>(at - out.data()));
    return true;
}

} // namespace miruteka::native
