// BuildFeeReport on random lists of real items in a scratch folder: regular files of random
// lengths (sparse, so lengths past 4 GiB cost nothing), folders, missing paths, dangling links,
// link loops, FIFOs, paths through a file, /dev/null, links to earlier files, in random order and
// under awkward names, at random unit prices. The report must hold one line per regular file in
// the order given, with fees and TOTAL recomputed here from the lengths alone.
#include "fee_report.h"
#include "files.h"
#include "fuzz_support.h"
#include "number.h"

#include <algorithm>
#include <bit>
#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

using namespace miruteka;
namespace fs = std::filesystem;

namespace {

fs::path scratch;

void removeScratch()
{
    std::error_code ignored;
    fs::remove_all(scratch, ignored);
}

// Takes the fuzzer's bytes in order; past the end it gives zeros.
class Reader {
public:
    Reader(const std::uint8_t* data, std::size_t size)
        : data_(data)
        , size_(size)
    {
    }
    bool done() const { return at_ >= size_; }
    std::uint8_t byte() { return at_ < size_ ? data_[at_++] : 0; }
    std::uint64_t bytes(int count)
    {
        std::uint64_t value = 0;
        for (int i = 0; i < count; ++i)
            value |= static_cast<std::uint64_t>(byte()) << (8 * i);
        return value;
    }
    std::u16string text(std::size_t length)
    {
        const std::size_t available = std::min(length, size_ - std::min(at_, size_));
        std::u16string text = fuzz::textFrom(data_ + at_, available);
        at_ += available;
        return text;
    }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t at_ = 0;
};

std::u16string priceText(Reader& in)
{
    static const std::u16string_view common[] = { u"0.3", u"0.29", u"0.1", u"1", u"9.999", u"0.01",
        u" 0.30 ", u"5E-324", u"1.79769313486231E+308", u"-0.3", u"0" };
    const std::uint8_t mode = in.byte();
    switch (mode % 4) {
    case 0: // any double, huge and negative ones too
        return FormatNumber(std::bit_cast<double>(in.bytes(8)));
    case 1: // a price the settings dialog could have stored
        return FormatNumber(static_cast<double>(in.bytes(8) >> 11) * 0x1p-53 * 10);
    case 2: // any text at all
        return in.text(in.byte() % 24);
    default:
        return std::u16string(common[(mode / 4) % std::size(common)]);
    }
}

std::u16string name(std::uint8_t variety, std::size_t index)
{
    static const std::u16string_view stems[] = { u"f", u"with space ", u"見積もり", u"\U0001F600",
        u"new\nline", u"C:\\data\\", u"-", u" " };
    const std::string number = std::to_string(index);
    return std::u16string(stems[variety % std::size(stems)]) + fuzz::widen(number);
}

enum Kind {
    Regular1,
    Regular2,
    Regular3,
    Folder,
    Missing,
    Dangling,
    Loop,
    Fifo,
    LinkToEarlier,
    DevNull,
    ThroughFile,
    KindCount
};

struct Item {
    std::u16string path;
    std::optional<std::int64_t> length; // for what opens as a regular file
};

bool makeFile(const fs::path& path, std::int64_t length)
{
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0)
        return false;
    const bool sized = ::ftruncate(fd, length) == 0;
    ::close(fd);
    return sized;
}

std::optional<Item> makeItem(
    Reader& in, const fs::path& dir, std::size_t index, const std::vector<Item>& earlier)
{
    const std::uint8_t kind = in.byte();
    const std::uint8_t variety = in.byte();
    const std::u16string ownName = name(variety, index);
    const fs::path path = dir / ownName;
    switch (kind % KindCount) {
    case Regular1:
    case Regular2:
    case Regular3: {
        // 40 bits of length, shifted down by a random amount so that every magnitude turns up.
        const auto length = static_cast<std::int64_t>(in.bytes(5) >> (2 * (kind >> 4)));
        if (!makeFile(path, length))
            return std::nullopt;
        return Item { path.u16string(), length };
    }
    case Folder:
        ::mkdir(path.c_str(), 0755);
        return Item { path.u16string(), std::nullopt };
    case Missing:
        return Item { path.u16string(), std::nullopt };
    case Dangling:
        ::symlink((dir / "nowhere").c_str(), path.c_str());
        return Item { path.u16string(), std::nullopt };
    case Loop:
        ::symlink(path.c_str(), path.c_str());
        return Item { path.u16string(), std::nullopt };
    case Fifo:
        ::mkfifo(path.c_str(), 0600);
        return Item { path.u16string(), std::nullopt };
    case LinkToEarlier:
        for (auto it = earlier.rbegin(); it != earlier.rend(); ++it) {
            if (it->length && ::symlink(fs::path(it->path).c_str(), path.c_str()) == 0)
                return Item { path.u16string(), it->length };
        }
        return Item { path.u16string(), std::nullopt };
    case DevNull:
        return Item { u"/dev/null", std::nullopt };
    default: // ThroughFile
        for (const auto& item : earlier) {
            if (item.length)
                return Item { item.path + u"/" + ownName, std::nullopt };
        }
        return Item { path.u16string(), std::nullopt };
    }
}

// The report recomputed from the lengths by the arithmetic alone, each step rounded to a double
// in this order; a step that overflows gives no line or adds nothing.
std::u16string expectedReport(const std::vector<Item>& items, const std::optional<double>& price)
{
    std::u16string report;
    double total = 0;
    for (const auto& item : items) {
        if (!item.length || !price)
            continue;
        const double L = static_cast<double>(*item.length);
        const double packets = L / 128;
        const double product = *price * packets;
        const double scaled = product * 100;
        const double fee = std::floor(scaled) / 100;
        if (std::isfinite(fee))
            report += item.path + u"   " + fuzz::widen(fuzz::referenceFormat(fee)) + u"円\r\n";
        const double amount = *price * (L / 128);
        if (std::isfinite(amount + total))
            total = amount + total;
    }
    return report + u"\r\nTOTAL " + fuzz::widen(fuzz::referenceFormat(total)) + u"円";
}

int lowestFreeDescriptor()
{
    const int fd = ::dup(0);
    ::close(fd);
    return fd;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    std::string pattern = (fs::temp_directory_path() / "miruteka-fuzz-XXXXXX").string();
    if (!::mkdtemp(pattern.data()))
        std::abort();
    scratch = pattern;
    std::atexit(removeScratch);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    Reader in(data, size);
    const std::u16string price = priceText(in);
    const fs::path dir = scratch / "drop";
    fs::create_directory(dir);

    std::vector<Item> items;
    while (!in.done() && items.size() < 32) {
        if (auto item = makeItem(in, dir, items.size(), items))
            items.push_back(std::move(*item));
    }
    std::vector<std::u16string> paths;
    for (const auto& item : items)
        paths.push_back(item.path);

    const int freeBefore = lowestFreeDescriptor();
    const std::u16string report = BuildFeeReport(paths, price);
    if (lowestFreeDescriptor() != freeBefore)
        fuzz::fail("a file is left open after the report", price);
    if (CloseFile(1))
        fuzz::fail("file number 1 is left open after the report", price);

    const std::u16string expected = expectedReport(items, fuzz::referenceParse(price));
    if (report != expected) {
        // Shows the first line that differs; the whole reports can be long.
        const auto [got, want]
            = std::mismatch(report.begin(), report.end(), expected.begin(), expected.end());
        const auto lineStart = [](const std::u16string& text, std::u16string::const_iterator at) {
            const auto offset = static_cast<std::size_t>(at - text.begin());
            const auto found = offset == 0 ? std::u16string::npos : text.rfind(u'\n', offset - 1);
            return found == std::u16string::npos ? 0 : found + 1;
        };
        const std::size_t gotLine = lineStart(report, got);
        const std::size_t wantLine = lineStart(expected, want);
        fuzz::fail("the report differs from the one recomputed from the lengths", price,
            std::u16string_view(report).substr(gotLine, report.find(u'\n', gotLine) - gotLine),
            std::u16string_view(expected).substr(
                wantLine, expected.find(u'\n', wantLine) - wantLine));
    }

    std::error_code ignored;
    fs::remove_all(dir, ignored);
    return 0;
}
