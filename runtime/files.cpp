#include "files.h"

#include "native_file.h"

#include <algorithm>
#include <map>
#include <mutex>
#include <new>
#include <optional>
#include <thread>
#include <utility>
#include <variant>

namespace miruteka {

namespace {

struct OutputFile {
    native::Output native;
    std::stop_token stop;
    bool failed = false; // a write went wrong: the content must not replace the target
};

// monostate: a number taken for a file still being opened.
using OpenFile = std::variant<std::monostate, native::Input, OutputFile>;

// File numbers run from 1 to 511; the program itself uses only 1.
constexpr int maxFileNumber = 511;

bool isFileNumber(int fileNumber) { return fileNumber >= 1 && fileNumber <= maxFileNumber; }

// What is open, under each thread's own numbers, in one table for all threads: a thread keeps
// nothing of its own that its end would have to destroy. (A table in each thread's storage was
// destroyed, at the end of a thread under MinGW, in storage already freed.) Only the thread
// that opened an entry uses or removes it, so an entry is used outside the lock, and a write that
// waits holds no other thread. Never destroyed: a thread left stuck in a save may still use it
// while the process ends.
struct Table {
    std::mutex mutex;
    std::map<std::pair<std::thread::id, int>, OpenFile> open;
};

Table& table()
{
    static Table* const instance = new Table;
    return *instance;
}

// What is open under the number on this thread, if anything; nothing is while the table cannot
// be made.
OpenFile* find(int fileNumber) noexcept
{
    try {
        Table& t = table();
        const std::lock_guard lock(t.mutex);
        const auto entry = t.open.find({ std::this_thread::get_id(), fileNumber });
        return entry == t.open.end() ? nullptr : &entry->second;
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

// Takes a number that is free on this thread, before anything is opened under it, so that
// memory running out for the table changes nothing on disk; nothing when it runs out.
OpenFile* take(int fileNumber) noexcept
{
    try {
        Table& t = table();
        const std::lock_guard lock(t.mutex);
        return &t.open.try_emplace({ std::this_thread::get_id(), fileNumber }).first->second;
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

// Frees the number; what it held is destroyed outside the lock.
void remove(int fileNumber)
{
    Table& t = table();
    std::optional<OpenFile> removed;
    {
        const std::lock_guard lock(t.mutex);
        const auto entry = t.open.find({ std::this_thread::get_id(), fileNumber });
        if (entry == t.open.end())
            return;
        removed.emplace(std::move(entry->second));
        t.open.erase(entry);
    }
}

// Writes the text and the line end; throws std::bad_alloc when memory runs out for the
// converter or a piece.
bool printPieces(OutputFile& output, std::u16string_view text)
{
    // A piece at a time, so that a long text is never held a second time in the code page. The
    // code page keeps no state from one character to the next, so the pieces give the bytes of
    // the whole; a piece never ends between the two halves of a surrogate pair.
    constexpr std::size_t pieceSize = 32768;
    native::AnsiConverter converter;
    std::string bytes;
    do {
        std::size_t size = std::min(text.size(), pieceSize);
        if (size < text.size() && text[size - 1] >= 0xD800 && text[size - 1] <= 0xDBFF)
            --size;
        bytes.clear();
        const bool converted = converter.append(text.substr(0, size), bytes);
        text.remove_prefix(size);
        if (text.empty())
            bytes += "\r\n";
        if (!converted || !native::writeAll(output.native, bytes, output.stop))
            return false;
    } while (!text.empty());
    return true;
}

} // namespace

bool OpenForInput(std::u16string_view path, int fileNumber)
{
    if (!isFileNumber(fileNumber) || find(fileNumber))
        return false;
    OpenFile* entry = take(fileNumber);
    if (!entry)
        return false;
    const auto input = native::openInput(path);
    if (!input) {
        remove(fileNumber);
        return false;
    }
    *entry = *input;
    return true;
}

std::optional<std::int64_t> FileLength(int fileNumber)
{
    const OpenFile* entry = isFileNumber(fileNumber) ? find(fileNumber) : nullptr;
    if (const auto* input = entry ? std::get_if<native::Input>(entry) : nullptr)
        return input->length;
    return std::nullopt;
}

std::optional<std::int64_t> MeasureFile(std::u16string_view path)
{
    const auto input = native::openInputInFolder(path);
    if (!input)
        return std::nullopt;
    native::closeInput(*input);
    return input->length;
}

void EndMeasuring() { native::forgetInputFolder(); }

bool OpenForOutput(std::u16string_view path, int fileNumber, std::stop_token stop)
{
    if (!isFileNumber(fileNumber) || find(fileNumber))
        return false;
    // A cancelled save prompt gives the empty name: it names no file, not even the current folder.
    if (path.empty())
        return false;
    OpenFile* entry = take(fileNumber);
    if (!entry)
        return false;
    std::optional<native::Output> output;
    try {
        output = native::openOutput(path, stop);
    } catch (const std::bad_alloc&) {
        // It allocates before it acts, so nothing was made.
    }
    if (!output) {
        remove(fileNumber);
        return false;
    }
    *entry = OutputFile { std::move(*output), std::move(stop) };
    return true;
}

bool WaitForSaves(std::chrono::milliseconds patience) { return native::waitForSaves(patience); }

bool PrintLine(int fileNumber, std::u16string_view text)
{
    OpenFile* entry = isFileNumber(fileNumber) ? find(fileNumber) : nullptr;
    auto* output = entry ? std::get_if<OutputFile>(entry) : nullptr;
    if (!output || output->failed)
        return false;
    try {
        if (printPieces(*output, text))
            return true;
    } catch (const std::bad_alloc&) {
    }
    // Nothing more goes in: CloseFile throws away what was written.
    output->failed = true;
    return false;
}

bool CloseFile(int fileNumber) { return CloseFile(fileNumber, nullptr); }

bool CloseFile(int fileNumber, std::u16string* oldContentLeftAt)
{
    OpenFile* entry = isFileNumber(fileNumber) ? find(fileNumber) : nullptr;
    if (!entry)
        return false;
    bool closed = false;
    if (const auto* input = std::get_if<native::Input>(entry)) {
        native::closeInput(*input);
        closed = true;
    } else if (const auto* output = std::get_if<OutputFile>(entry)) {
        if (output->failed || output->stop.stop_requested())
            native::discard(output->native);
        else
            closed = native::commit(output->native, output->stop, oldContentLeftAt);
    }
    // Only now does the save let the file go.
    remove(fileNumber);
    return closed;
}

#ifndef _WIN32
std::u16string FileNameFromBytes(std::string_view bytes) { return native::fromSystemPath(bytes); }
#endif

std::optional<std::string> ToAnsiCodePage(std::u16string_view text)
{
    std::string bytes;
    if (!native::AnsiConverter().append(text, bytes))
        return std::nullopt;
    return bytes;
}

} // namespace miruteka
