#include "fee_report.h"

#include "files.h"
#include "number.h"

#include <cmath>
#include <new>

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
    add(path, FileLength(reportFile));
    CloseFile(reportFile);
}

void FeeReport::add(std::u16string_view path, std::optional<std::int64_t> length)
{
    if (!unitPrice_ || !length)
        return;
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
    const ConcurrentLengths lengths(
        std::make_shared<const ConcurrentLengths::Paths>(paths.begin(), paths.end()));
    return BuildFeeReport(lengths, unitPriceText).value();
}

std::optional<std::u16string> BuildFeeReport(
    const ConcurrentLengths& lengths, std::u16string_view unitPriceText)
{
    FeeReport report(unitPriceText);
    // Whatever paths are known now set the room; more may come while the lengths do.
    std::size_t pathUnits = 0;
    const std::size_t known = lengths.size();
    for (std::size_t i = 0; i < known; ++i)
        pathUnits += lengths.path(i).size();
    report.reserve(known, pathUnits);
    for (std::size_t i = 0;; ++i) {
        const ConcurrentLengths::Length length = lengths.wait(i);
        if (length.outcome == ConcurrentLengths::Outcome::end)
            break;
        if (length.outcome == ConcurrentLengths::Outcome::cancelled)
            return std::nullopt;
        if (length.outcome == ConcurrentLengths::Outcome::failed)
            throw std::bad_alloc();
        report.add(lengths.path(i),
            length.outcome == ConcurrentLengths::Outcome::measured
                ? std::optional<std::int64_t>(length.bytes)
                : std::nullopt);
    }
    return std::move(report).finish();
}

bool SaveFeeReport(std::u16string_view path, std::u16string_view report, std::stop_token stop,
    std::u16string* oldReportLeftAt)
{
    if (!OpenForOutput(path, reportFile, std::move(stop)))
        return false;
    const bool printed = PrintLine(reportFile, report);
    const bool closed = CloseFile(reportFile, oldReportLeftAt);
    return printed && closed;
}

} // namespace miruteka
