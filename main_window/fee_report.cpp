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
    // Room for every line, so that the text is never copied to grow.
    std::size_t expected = 32;
    for (const auto& path : paths)
        expected += path.size() + separator.size() + 24;
    report.reserve(expected);
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
