// ParseNumber on any text: it reads exactly the texts of its grammar, to the value strtod gives
// them, never an infinity or NaN, and whatever it reads writes back as a text it reads again.
#include "fuzz_support.h"
#include "number.h"

#include <bit>

using namespace miruteka;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::u16string text = fuzz::textFrom(data, size);
    const std::optional<double> value = ParseNumber(text);
    const std::optional<double> expected = fuzz::referenceParse(text);

    if (value.has_value() != expected.has_value())
        fuzz::fail(value ? "reads a text outside the grammar, or one that overflows"
                         : "refuses a text of the grammar that strtod reads",
            text, value ? FormatNumber(*value) : u"(refused)",
            expected ? FormatNumber(*expected) : u"(refused)");
    if (!value)
        return 0;
    if (!std::isfinite(*value))
        fuzz::fail("reads a number that is not finite", text);
    // Bit for bit, so that the sign of a zero counts too.
    if (std::bit_cast<std::uint64_t>(*value) != std::bit_cast<std::uint64_t>(*expected))
        fuzz::fail("reads another double than strtod", text, fuzz::widen(std::to_string(*value)),
            fuzz::widen(std::to_string(*expected)));

    const std::u16string written = FormatNumber(*value);
    const std::optional<double> back = ParseNumber(written);
    if (!back)
        fuzz::fail("what it reads is written as a text it refuses", text, written);
    if (FormatNumber(*back) != written)
        fuzz::fail("normalising a normalised text changes it", text, FormatNumber(*back), written);
    return 0;
}
