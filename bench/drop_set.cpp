#include "drop_set.h"

#include <array>
#include <fcntl.h>
#include <random>
#include <stdexcept>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

namespace miruteka::bench {

namespace {

constexpr std::int64_t maxLength = 10'000'000;

// All of these have a CP932 form, so the report file carries them as Japanese, not as "?".
constexpr std::array<std::string_view, 24> words { "report", "IMG", "data", "backup", "final", "v2",
    "scan", "memo", "draft", "photo", "log", "Q3 summary", "写真", "議事録", "見積書", "請求書",
    "ファイル", "資料", "新しいフォルダー", "パケット料金", "日本語の長いファイル名", "てすと",
    "報告", "ミルテカ" };
constexpr std::array<std::string_view, 5> joins { "", "_", "-", " ", "・" };
constexpr std::array<std::string_view, 6> suffixes { ".txt", ".bin", ".jpg", ".pdf", ".dat", "" };

// Picks from the engine's raw output, whose sequence the standard fixes, so the set is the
// same with every standard library.
template <typename Array> std::string_view pick(std::mt19937_64& random, const Array& items)
{
    return items[random() % items.size()];
}

std::string makeName(std::mt19937_64& random, std::size_t index)
{
    std::string name;
    const auto pieces = 1 + random() % 6;
    for (std::size_t piece = 0; piece < pieces; ++piece) {
        if (piece > 0)
            name += pick(random, joins);
        name += pick(random, words);
    }
    // The index keeps names unique whatever the draw.
    name += '-';
    name += std::to_string(index);
    name += pick(random, suffixes);
    return name;
}

} // namespace

DropSet MakeDropSet(const std::string& folder, std::size_t count)
{
    std::mt19937_64 random(20240401);
    DropSet set;
    set.paths.reserve(count);
    for (std::size_t index = 0; index < count; ++index) {
        std::string path = folder + '/' + makeName(random, index);
        const auto length = static_cast<std::int64_t>(random() % (maxLength + 1));
        const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (fd < 0)
            throw std::runtime_error("cannot create " + path);
        const bool sized = ::ftruncate(fd, length) == 0;
        ::close(fd);
        if (!sized)
            throw std::runtime_error("cannot size " + path);
        set.totalBytes += length;
        set.paths.push_back(std::move(path));
    }
    return set;
}

} // namespace miruteka::bench
