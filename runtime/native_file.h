// The operating-system side of the file-number table: one branch per platform, chosen at build
// time (native_file_posix.cpp, native_file_windows.cpp). Only this layer calls the system.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace miruteka::native {

#ifdef _WIN32
using Handle = void*;
using SystemPath = std::wstring; // UTF-16, as the system's wide calls take it
#else
using Handle = int;
using SystemPath = std::string; // bytes, UTF-8 as the program writes names
#endif

struct Input {
    Handle handle;
    std::int64_t length;
};

struct Output {
    Handle handle;
    SystemPath target; // where the content ends up
    SystemPath temporary; // the file beside it being written, empty when writing in place
    bool isPipe = false;
};

// A regular file, links followed; anything else is refused without blocking.
std::optional<Input> openInput(std::u16string_view path);
void closeInput(const Input& input);

std::optional<Output> openOutput(std::u16string_view path);
bool writeAll(const Output& output, std::string_view bytes);
// Closes, and moves a temporary into place; false leaves the target as it was.
bool commit(const Output& output);
// Closes and throws away what was written beside the target.
void discard(const Output& output);

// Nothing when the system cannot convert at all, so that no text is silently lost.
std::optional<std::string> toAnsiCodePage(std::u16string_view text);

} // namespace miruteka::native
