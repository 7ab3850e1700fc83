// FormatNumber on any double: the text of "%.15G" (negative zero as "0"), which ParseNumber
// reads back to the double nearest that decimal; no number text for infinities or NaN.
#include "fuzz_support.h"
#include "number.h"

#include <bit>
#include <cstring>

using namespace miruteka;

namespace {

void check(double value)
{
    const std::u16string text = FormatNumber(value);
    std::u16string appended = u"TOTAL ";
    AppendNumber(appended, value);
    if (appended != u"TOTAL " + text)
        fuzz::fail("AppendNumber appends another text than FormatNumber gives", text, appended);

    // For messages: every digit of the double, so that a finding can be replayed.
    const auto valueText = [value] {
        char digits[32];
        std::snprintf(digits, sizeof digits, "%.17G", value);
        return fuzz::widen(digits);
    };
    if (!std::isfinite(value)) {
        if (ParseNumber(text))
            fuzz::fail("an infinity or NaN is written as a readable number", valueText(), text);
        return;
    }
    const std::string expected = fuzz::referenceFormat(value);
    if (text != fuzz::widen(expected))
        fuzz::fail("not the 15-significant-digit text", valueText(), text, fuzz::widen(expected));

    const std::optional<double> back = ParseNumber(text);
    if (!back)
        fuzz::fail("the text of a finite double does not read back", valueText(), text);
    if (*back != fuzz::referenceParse(fuzz::widen(expected)))
        fuzz::fail("the text reads back to another double than its decimal", valueText(), text);
    if (FormatNumber(*back) != text)
        fuzz::fail("normalising a normalised text changes it", text, FormatNumber(*back));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    // A leading "#" makes the rest a decimal text for strtod, so that the corpus can hold the
    // doubles near rounding boundaries by name; they are checked with their neighbours.
    if (size > 0 && data[0] == '#') {
        const std::string text(reinterpret_cast<const char*>(data) + 1, size - 1);
        const double value = std::strtod(text.c_str(), nullptr);
        check(value);
        check(std::nextafter(value, -INFINITY));
        check(std::nextafter(value, INFINITY));
        return 0;
    }
    for (std::size_t i = 0; i + sizeof(double) <= size; i += sizeof(double)) {
        std::uint64_t bits;
        std::memcpy(&bits, data + i, sizeof bits);
        check(std::bit_cast<double>(bits));
    }
    return 0;
}
