// The process-wide table of files being saved.
#include "native_save_lock.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <set>

namespace miruteka::native {

namespace {

struct Table {
    std::mutex mutex;
    std::condition_variable_any changed;
    std::set<std::string> held;
    std::atomic<unsigned long long> progress { 0 };
};

// Never destroyed: a save left stuck in a file system may still let its keys go while the
// process ends.
Table& table()
{
    static Table* const instance = new Table;
    return *instance;
}

// A save under way at the end of the process is waited for as long as it moves on (every step
// counts: taking the file, each piece written or copied, each step of its commit): stopped or
// not, it then ends with the file whole, its new content or its old one put back. One stuck in
// a system call that never returns is left behind.
constexpr std::chrono::seconds exitPatience { 5 };

void waitAtExit() { waitForSaves(exitPatience); }

} // namespace

std::optional<SaveLock> SaveLock::acquire(
    std::vector<std::string> keys, const std::stop_token& stop)
{
    static std::once_flag exitWait;
    std::call_once(exitWait, [] { std::atexit(waitAtExit); });
    std::sort(keys.begin(), keys.end());
    keys.erase(std::unique(keys.begin(), keys.end()), keys.end());
    // The table's entries are made here, so that taking them allocates nothing: memory that runs
    // out can never leave some keys held.
    std::set<std::string> entries(keys.begin(), keys.end());
    Table& t = table();
    std::unique_lock lock(t.mutex);
    const bool free = t.changed.wait(lock, stop, [&] {
        return std::none_of(
            keys.begin(), keys.end(), [&](const std::string& key) { return t.held.contains(key); });
    });
    if (!free)
        return std::nullopt;
    t.held.merge(entries);
    t.progress.fetch_add(1, std::memory_order_relaxed);
    return SaveLock(std::move(keys));
}

SaveLock::SaveLock(SaveLock&& other) noexcept
    : keys_(std::move(other.keys_))
{
    other.keys_.clear();
}

SaveLock& SaveLock::operator=(SaveLock&& other) noexcept
{
    if (this != &other) {
        release();
        keys_ = std::move(other.keys_);
        other.keys_.clear();
    }
    return *this;
}

SaveLock::~SaveLock() { release(); }

void SaveLock::release()
{
    if (keys_.empty())
        return;
    Table& t = table();
    {
        const std::lock_guard lock(t.mutex);
        for (const auto& key : keys_)
            t.held.erase(key);
    }
    keys_.clear();
    t.changed.notify_all();
}

void noteSaveProgress() noexcept { table().progress.fetch_add(1, std::memory_order_relaxed); }

bool waitForSaves(std::chrono::milliseconds patience)
{
    Table& t = table();
    std::unique_lock lock(t.mutex);
    for (;;) {
        const auto before = t.progress.load(std::memory_order_relaxed);
        if (t.changed.wait_for(lock, patience, [&] { return t.held.empty(); }))
            return true;
        if (t.progress.load(std::memory_order_relaxed) == before)
            return false;
    }
}

} // namespace miruteka::native
