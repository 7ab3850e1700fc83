#include "file_systems.h"

#include <algorithm>
#include <map>
#include <mutex>

namespace miruteka {

namespace {

bool isSeparator(char16_t unit)
{
#ifdef _WIN32
    return unit == u'\\' || unit == u'/';
#else
    return unit == u'/';
#endif
}

// A mount point covers a path that is it, or goes on below it.
bool covers(std::u16string_view point, std::u16string_view path)
{
    if (!path.starts_with(point))
        return false;
    return path.size() == point.size() || (!point.empty() && isSeparator(point.back()))
        || isSeparator(path[point.size()]);
}

std::u16string_view folderOf(std::u16string_view path)
{
    const auto last = std::find_if(path.rbegin(), path.rend(), isSeparator);
    return path.substr(0, static_cast<std::size_t>(path.rend() - last));
}

} // namespace

FileSystem::FileSystem(std::u16string name, bool remote)
    : name_(std::move(name))
    , remote_(remote)
    , shares_ { std::make_shared<ThreadShare>(lengthRequestsInFlight), [remote] {
                   // Created once for the process, and shared by every file system of its kind.
                   static const auto local = std::make_shared<ThreadShare>(localMeasuringThreads);
                   static const auto others = std::make_shared<ThreadShare>(remoteMeasuringThreads);
                   return remote ? others : local;
               }() }
{
}

void FileSystem::requestStarted()
{
    // The silence is counted from the first request that finds none in flight.
    if (inFlight_.fetch_add(1) == 0)
        lastAnswer_.store(Clock::now().time_since_epoch().count());
}

void FileSystem::requestAnswered()
{
    answeredAndAskedAgain();
    inFlight_.fetch_sub(1);
}

void FileSystem::answeredAndAskedAgain()
{
    lastAnswer_.store(Clock::now().time_since_epoch().count(), std::memory_order_relaxed);
}

FileSystem::Clock::duration FileSystem::silentFor(Clock::time_point now) const
{
    if (inFlight_.load() == 0)
        return {};
    const Clock::duration since = now - Clock::time_point(Clock::duration(lastAnswer_.load()));
    return std::max(since, Clock::duration::zero());
}

std::shared_ptr<FileSystem> FileSystemNamed(const std::u16string& name, bool remote)
{
    static auto* const mutex = new std::mutex;
    static auto* const known
        = new std::map<std::pair<std::u16string, bool>, std::shared_ptr<FileSystem>>;
    const std::lock_guard lock(*mutex);
    auto& found = (*known)[{ name, remote }];
    if (!found)
        found = std::make_shared<FileSystem>(name, remote);
    return found;
}

FileSystems FileSystems::read() { return FileSystems(native::readMounts()); }

FileSystems::FileSystems(std::vector<Mount> mounts)
    : mounts_(std::move(mounts))
{
    // The longest point that covers a path is the mount it is on; of one point mounted twice,
    // the later mount hides the earlier.
    std::reverse(mounts_.begin(), mounts_.end());
    std::stable_sort(mounts_.begin(), mounts_.end(),
        [](const Mount& a, const Mount& b) { return a.point.size() > b.point.size(); });
    const auto repeated = std::unique(mounts_.begin(), mounts_.end(),
        [](const Mount& a, const Mount& b) { return a.point == b.point; });
    mounts_.erase(repeated, mounts_.end());
}

const std::shared_ptr<FileSystem>& FileSystems::of(std::u16string_view path)
{
    // A drop's files mostly share a folder; a mount point is never met below a folder's name.
    const std::u16string_view folder = folderOf(path);
    if (lastFound_ && folder == lastFolder_ && !folder.empty())
        return lastFound_;
    lastFound_ = find(path);
    lastFolder_.assign(folder);
    return lastFound_;
}

std::shared_ptr<FileSystem> FileSystems::find(std::u16string_view path) const
{
    const auto mount = std::find_if(mounts_.begin(), mounts_.end(),
        [&](const Mount& candidate) { return covers(candidate.point, path); });
    const Mount found = mount != mounts_.end() ? *mount : native::mountOfPath(path);
    return FileSystemNamed(found.point, found.remote);
}

} // namespace miruteka
