// Saves to one file go one at a time, process-wide, and whoever ends the process can wait for
// the saves still under way. A save names the file by keys of the platform's making: the file's
// identity where it exists, the folder's identity and the name where it is still to be made.
#pragma once

#include <chrono>
#include <optional>
#include <stop_token>
#include <string>
#include <vector>

namespace miruteka::native {

class SaveLock {
public:
    // Waits until no other save holds any of the keys, then holds them all; nothing when `stop`
    // is requested first. All at once, so that two saves can never each hold a key the other waits
    // for. Where memory runs out it throws std::bad_alloc before it holds any.
    static std::optional<SaveLock> acquire(
        std::vector<std::string> keys, const std::stop_token& stop);

    SaveLock() = default;
    SaveLock(SaveLock&& other) noexcept;
    SaveLock& operator=(SaveLock&& other) noexcept;
    SaveLock(const SaveLock&) = delete;
    SaveLock& operator=(const SaveLock&) = delete;
    ~SaveLock();

    bool held() const { return !keys_.empty(); }
    // Lets the keys go before the lock itself goes.
    void release();

private:
    explicit SaveLock(std::vector<std::string> keys)
        : keys_(std::move(keys))
    {
    }
    std::vector<std::string> keys_;
};

// A save moved on (opened, wrote or copied a piece, took a step of its commit): whoever waits
// for saves keeps waiting while they do.
void noteSaveProgress() noexcept;

// Waits until no save holds a lock, as long as some save moves on at least once in `patience`.
// True when none is left; false when the ones left are stuck.
bool waitForSaves(std::chrono::milliseconds patience);

} // namespace miruteka::native
