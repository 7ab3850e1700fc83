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

namespace {

template <typename Path>
std::u16string buildFeeReport(std::span<const Path> paths, std::u16string_view unitPriceText)
{
    // The price cannot change within one drop, so it is read once; a price that does not read
    // fails every file's line and amount alike.
    const std::optional<double> unitPrice = ParseNumber(unitPriceText);

    std::u16string report;
    std::size_t expected = 32;
    for (const auto& path : paths)
        expected += path.size() + separator.size() + 24;
    report.reserve(expected);

    double total = 0;
    for (const auto& path : paths) {
        if (!OpenForInput(path, reportFile))
            continue;
        if (unitPrice) {
            const std::optional<std::int64_t> length = FileLength(reportFile);
            if (length) {
                const double fee = PacketFee(*unitPrice, *length);
                const double amount = PacketAmount(*unitPrice, *length);
                // An overflowing step is abandoned: neither its line nor its amount counts.
                if (std::isfinite(fee)) {
                    report += path;
                    report += separator;
                    AppendNumber(report, fee);
                    report += currency;
                    report += lineEnd;
                }
                if (std::isfinite(amount + total))
                    total = amount + total;
            }
        }
        CloseFile(reportFile);
    }

    report += lineEnd;
    report += totalLabel;
    AppendNumber(report, total);
    report += currency;
    return report;
}

} // namespace

std::u16string BuildFeeReport(
    std::span<const std::u16string> paths, std::u16string_view unitPriceText)
{
    return buildFeeReport(paths, unitPriceText);
}

std::u16string BuildFeeReport(
    std::span<const std::u16string_view> paths, std::u16string_view unitPriceText)
{
    return buildFeeReport(paths, unitPriceText);
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
