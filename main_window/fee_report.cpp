#include "fee_report.h"

#include "files.h"
#include "number.h"

#include <cmath>

namespace miruteka {

namespace {
constexpr double packetSize = 128;
constexpr double hundredths = 100;
constexpr int reportFile = 1;
constexpr std::u16string_view separator = u"   ";
constexpr std::u16string_view currency = u"円";
constexpr std::u16string_view totalLabel = u"TOTAL ";
constexpr std::u16string_view lineEnd = u"\r\n";
} // namespace

double PacketFee(double unitPrice, std::int64_t length)
{
    const double packets = static_cast<double>(length) / packetSize;
    const double product = unitPrice * packets;
    const double scaled = product * hundredths;
    return Floor(scaled) / hundredths;
}

double PacketAmount(double unitPrice, std::int64_t length)
{
    return unitPrice * (static_cast<double>(length) / packetSize);
}

FeeReport::FeeReport(std::u16string_view unitPriceText)
    // The price cannot change within one drop, so it is read once; a price that does not read
    // fails every file's line and amount alike.
    : unitPrice_(ParseNumber(unitPriceText))
{
}

void FeeReport::add(std::u16string_view path)
{
    if (!OpenForInput(path, reportFile))
        return;
    if (unitPrice_) {
        const std::optional<std::int64_t> length = FileLength(reportFile);
        if (length) {
            const double fee = PacketFee(*unitPrice_, *length);
            const double amount = PacketAmount(*unitPrice_, *length);
            // An overflowing step is abandoned: neither its line nor its amount counts.
            if (std::isfinite(fee)) {
                text_ += path;
                text_ += separator;
                AppendNumber(text_, fee);
                text_ += currency;
                text_ += lineEnd;
            }
            if (std::isfinite(amount + total_))
                total_ = amount + total_;
        }
    }
    CloseFile(reportFile);
}

void FeeReport::reserve(std::size_t items, std::size_t pathUnits)
{
    // A line takes the separator, a fee of at most 20 units, "円" and CR LF beside its path.
    constexpr std::size_t lineBesidesPath = separator.size() + 24;
    constexpr std::size_t closing = 32;
    text_.reserve(closing + items * lineBesidesPath + pathUnits);
}

std::u16string FeeReport::finish() &&
{
    text_ += lineEnd;
    text_ += totalLabel;
    AppendNumber(text_, total_);
    text_ += currency;
    return std::move(text_);
}

std::u16string BuildFeeReport(
    std::span<const std::u16string> paths, std::u16string_view unitPriceText)
{
    FeeReport report(unitPriceText);
    std::size_t pathUnits = 0;
    for (const auto& path : paths)
        pathUnits += path.size();
    report.reserve(paths.size(), pathUnits);
    for (const auto& path : paths)
        report.add(path);
    return std::move(report).finish();
}

bool SaveFeeReport(std::u16string_view path, std::u16string_view report)
{
    if (!OpenForOutput(path, reportFile))
        return false;
    const bool printed = PrintLine(reportFile, report);
    const bool closed = CloseFile(reportFile);
    return printed && closed;
}

} // namespace miruteka
