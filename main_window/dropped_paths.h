// A drop's local files as paths, each with the file system it lies on, in the dropped order: what
// the walk hands to the measuring.
#pragma once

#include "concurrent_lengths.h"
#include "file_systems.h"

#include <QList>
#include <QUrl>
#include <memory>
#include <optional>
#include <stop_token>
#include <utility>
#include <vector>

namespace miruteka {

class WorkerPool;

struct DroppedPaths {
    ConcurrentLengths::Paths paths;
    // How many paths in a row lie on one file system.
    std::vector<std::pair<std::size_t, std::shared_ptr<FileSystem>>> runs;

    // Hands the paths over, run by run; they are moved out.
    void addTo(ConcurrentLengths& lengths);
};

// Makes the paths of the URLs that name local files, with their file systems as `fileSystems`
// finds them. A large drop's second half is made at the same time on a thread of `helpers`,
// when one is free at once; nothing when `stop` is requested first.
std::optional<DroppedPaths> MakeDroppedPaths(const QList<QUrl>& urls,
    const FileSystems& fileSystems, WorkerPool& helpers, std::stop_token stop);

} // namespace miruteka
