#include "dropped_paths.h"

#include "drop_frame.h"
#include "pooled_task.h"

#include <chrono>
#include <new>
#include <span>

namespace miruteka {

namespace {

// Below this many, a second thread saves less than handing work to it costs.
constexpr qsizetype sharedFrom = 4096;

std::optional<DroppedPaths> makePaths(const QList<QUrl>& urls, qsizetype begin, qsizetype end,
    FileSystems fileSystems, const std::stop_token& stop)
{
    DroppedPaths made;
    made.paths.reserve(std::size_t(end - begin));
    for (qsizetype i = begin; i < end; ++i) {
        if (stop.stop_requested())
            return std::nullopt;
        const QString path = DropFrame::localFilePath(urls[i]);
        if (path.isNull())
            continue;
        made.paths.push_back(path.toStdU16String());
        // Taken by reference: both halves' threads would otherwise count the same file system's
        // owners up and down for every path, on one line of memory.
        const std::shared_ptr<FileSystem>& on = fileSystems.of(made.paths.back());
        if (made.runs.empty() || made.runs.back().second != on)
            made.runs.emplace_back(0, on);
        ++made.runs.back().first;
    }
    return made;
}

} // namespace

void DroppedPaths::addTo(ConcurrentLengths& lengths)
{
    std::span<std::u16string> rest(paths);
    for (const auto& [count, on] : runs) {
        lengths.add(rest.first(count), on);
        rest = rest.subspan(count);
    }
}

std::optional<DroppedPaths> MakeDroppedPaths(const QList<QUrl>& urls,
    const FileSystems& fileSystems, WorkerPool& helpers, std::stop_token stop)
{
    // Making a path from a URL costs a few hundred nanoseconds, tens of milliseconds for a large
    // drop, while the processors have nothing else to do: the measuring starts only once the
    // paths are all made, since at the same priority as the measuring threads a walk making
    // paths beside them would get little of the processors.
    const qsizetype half = urls.size() >= sharedFrom ? urls.size() / 2 : urls.size();
    std::optional<PooledTask<std::optional<DroppedPaths>>> secondHalf;
    if (half < urls.size())
        secondHalf.emplace(helpers, [urls, half, fileSystems, stop](std::stop_token) {
            return makePaths(urls, half, urls.size(), fileSystems, stop);
        });
    std::optional<DroppedPaths> made = makePaths(urls, 0, half, fileSystems, stop);
    if (!secondHalf)
        return made;
    // A half that no thread has taken yet is made here; one taken is waited for, which is never
    // long: it only makes paths, and stops with the walk.
    secondHalf->requestStop();
    while (!secondHalf->waitFor(std::chrono::seconds(1))) { }
    std::optional<DroppedPaths> rest = secondHalf->dropped()
        ? makePaths(urls, half, urls.size(), fileSystems, stop)
        : secondHalf->failed() ? throw std::bad_alloc()
                               : secondHalf->take();
    if (!made || !rest)
        return std::nullopt;
    made->paths.insert(made->paths.end(), std::make_move_iterator(rest->paths.begin()),
        std::make_move_iterator(rest->paths.end()));
    made->runs.insert(made->runs.end(), rest->runs.begin(), rest->runs.end());
    return made;
}

} // namespace miruteka
