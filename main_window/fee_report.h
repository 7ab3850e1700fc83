// The fee report: what the dropped files cost at the unit price. Kept apart from the window so
// that it runs without drag and drop, dialogs or a display.
#pragma once

#include "concurrent_lengths.h"

#include <cstdint>
#include <optional>
#include <span>
#include <stop_token>
#include <string>
#include <string_view>

namespace miruteka {

// Fee of one file, cut down (never rounded) to whole hundredths of a yen, and the unrounded
// amount that goes into the total. Each operation rounds to a double, in this order.
double PacketFee(double unitPrice, std::int64_t length);
double PacketAmount(double unitPrice, std::int64_t length);

// The fee report built one item at a time, in the order the items come: one line per path that
// opens as a regular file ("path   fee円" CR LF), then CR LF and "TOTAL total円". An item that
// cannot be measured gives no line and adds nothing; a unit price that does not read as a
// number gives no lines and a total of 0.
class FeeReport {
public:
    explicit FeeReport(std::u16string_view unitPriceText);

    // Room for the lines of this many items whose paths have this many units in all, so that
    // the text is not copied to grow on the way.
    void reserve(std::size_t items, std::size_t pathUnits);
    // Opens the path, and gives it its line and its amount when it is a regular file.
    void add(std::u16string_view path);
    // Gives the path its line and its amount from a length measured elsewhere; a path that was
    // no regular file (no length) gives nothing.
    void add(std::u16string_view path, std::optional<std::int64_t> length);
    // The text with the closing after the last line.
    std::u16string finish() &&;

private:
    std::optional<double> unitPrice_;
    std::u16string text_;
    double total_ = 0;
};

// The report of the paths, in the given order, their lengths measured many at a time.
std::u16string BuildFeeReport(
    std::span<const std::u16string> paths, std::u16string_view unitPriceText);

// The report of the paths being measured, taking each length in the paths' order as it comes,
// on the calling thread; nothing when the measuring is stopped first. Throws std::bad_alloc when
// the text, or the measuring, runs out of memory.
std::optional<std::u16string> BuildFeeReport(
    const ConcurrentLengths& lengths, std::u16string_view unitPriceText);

// Writes the report and a final CR LF to the path. True only when the report is in place in
// full; an existing file keeps its old content otherwise, as it does when `stop` is requested
// before the report is in place.
// `oldReportLeftAt`, when given, names where the old report lives on when a failure left it
// under another name, as CloseFile tells it.
bool SaveFeeReport(std::u16string_view path, std::u16string_view report, std::stop_token stop = {},
    std::u16string* oldReportLeftAt = nullptr);

} // namespace miruteka
