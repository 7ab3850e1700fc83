#include "validate_price.h"

#include "number.h"

namespace miruteka {

PriceCheck ValidatePrice(std::u16string_view typed)
{
    const auto first = ParseNumber(typed);
    if (!first)
        return { std::u16string(typed), false };
    std::u16string normalised = FormatNumber(*first);
    // The range is judged on what the normalised text reads back as: with 15 digits kept,
    // 9.999999999999997 becomes "10" and must be refused.
    const auto value = ParseNumber(normalised);
    const bool accepted = value && *value > 0.0 && *value < 10.0;
    return { std::move(normalised), accepted };
}

} // namespace miruteka
