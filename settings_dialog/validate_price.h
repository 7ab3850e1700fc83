// The decision behind the settings dialog's OK, kept apart from the dialog so that it runs
// without a window.
#pragma once

#include <string>
#include <string_view>

namespace miruteka {

struct PriceCheck {
    std::u16string fieldText; // what the price field shows afterwards
    bool accepted; // when true, fieldText is the new unit price
};

// Normalises the typed text through ParseNumber and FormatNumber and accepts it when the number
// read back from the normalised text lies strictly between 0 and 10. Text that does not read
// as a number stays as typed.
PriceCheck ValidatePrice(std::u16string_view typed);

} // namespace miruteka
