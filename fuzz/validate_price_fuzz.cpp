// ValidatePrice on any typed text: it accepts a text only if the field then holds t with
// 0 < ParseNumber(t) < 10 and FormatNumber(ParseNumber(t)) == t; an unreadable text stays as
// typed; and a second OK on the field it left changes nothing.
#include "fuzz_support.h"
#include "number.h"
#include "validate_price.h"

using namespace miruteka;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::u16string typed = fuzz::textFrom(data, size);
    const PriceCheck check = ValidatePrice(typed);

    const std::optional<double> first = ParseNumber(typed);
    if (!first) {
        if (check.accepted || check.fieldText != typed)
            fuzz::fail("an unreadable text is changed or accepted", typed, check.fieldText);
    } else if (check.fieldText != FormatNumber(*first)) {
        fuzz::fail("the field does not show the normalised text", typed, check.fieldText,
            FormatNumber(*first));
    }

    // The range is judged on the text as the field shows it, read independently.
    const std::optional<double> shown = fuzz::referenceParse(check.fieldText);
    const bool inRange = shown && *shown > 0.0 && *shown < 10.0;
    if (check.accepted && !(inRange && FormatNumber(*shown) == check.fieldText))
        fuzz::fail("accepts a price that is not a normalised number between 0 and 10", typed,
            check.fieldText);
    if (first && !check.accepted && inRange)
        fuzz::fail("refuses a normalised number between 0 and 10", typed, check.fieldText);

    const PriceCheck again = ValidatePrice(check.fieldText);
    if (again.fieldText != check.fieldText || again.accepted != check.accepted)
        fuzz::fail(
            "a second OK on the field changes the outcome", check.fieldText, again.fieldText);
    return 0;
}
