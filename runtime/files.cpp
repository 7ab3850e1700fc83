#include "files.h"

#include "native_file.h"

#include <algorithm>
#include <array>
#include <variant>

namespace miruteka {

namespace {

struct OutputFile {
    native::Output native;
    std::stop_token stop;
    bool failed = false; // a write went wrong: the content must not replace the target
};

using OpenFile = std::variant<std::monostate, native::Input, OutputFile>;

// File numbers run from 1 to 511; the program itself uses only 1.
constexpr int maxFileNumber = 511;
thread_local std::array<OpenFile, maxFileNumber + 1> table;

OpenFile* slot(int fileNumber)
{
    if (fileNumber < 1 || fileNumber > maxFileNumber)
        return nullptr;
    return &table[static_cast<std::size_t>(fileNumber)];
}

} // namespace

bool OpenForInput(std::u16string_view path, int fileNumber)
{
    OpenFile* entry = slot(fileNumber);
    if (!entry || !std::holds_alternative<std::monostate>(*entry))
        return false;
    auto input = native::openInput(path);
    if (!input)
        return false;
    *entry = *input;
    return true;
}

std::optional<std::int64_t> FileLength(int fileNumber)
{
    OpenFile* entry = slot(fileNumber);
    if (!entry)
        return std::nullopt;
    if (const auto* input = std::get_if<native::Input>(entry))
        return input->length;
    return std::nullopt;
}

std::optional<std::int64_t> MeasureFile(std::u16string_view path)
{
    const auto input = native::openInput(path);
    if (!input)
        return std::nullopt;
    native::closeInput(*input);
    return input->length;
}

bool OpenForOutput(std::u16string_view path, int fileNumber, std::stop_token stop)
{
    OpenFile* entry = slot(fileNumber);
    if (!entry || !std::holds_alternative<std::monostate>(*entry))
        return false;
    // A cancelled save prompt gives the empty name: it names no file, not even the current folder.
    if (path.empty())
        return false;
    auto output = native::openOutput(path, stop);
    if (!output)
        return false;
    *entry = OutputFile { std::move(*output), std::move(stop) };
    return true;
}

bool WaitForSaves(std::chrono::milliseconds patience) { return native::waitForSaves(patience); }

bool PrintLine(int fileNumber, std::u16string_view text)
{
    OpenFile* entry = slot(fileNumber);
    auto* output = entry ? std::get_if<OutputFile>(entry) : nullptr;
    if (!output || output->failed)
        return false;
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
        if (!converted || !native::writeAll(output->native, bytes, output->stop)) {
            output->failed = true;
            return false;
        }
    } while (!text.empty());
    return true;
}

bool CloseFile(int fileNumber)
{
    OpenFile* entry = slot(fileNumber);
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
            closed = native::commit(output->native);
    }
    *entry = std::monostate {};
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
