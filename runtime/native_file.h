// The operating-system side of the file-number table: one branch per platform, chosen at build
// time (native_*_posix.cpp, native_file_windows.cpp). Only this layer calls the system.
#pragma once

#include "native_save_lock.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>

namespace miruteka::native {

#ifdef _WIN32
using Handle = void*;
using SystemPath = std::wstring; // UTF-16, as the system's wide calls take it
#else
using Handle = int;
using SystemPath = std::string; // bytes as the file system holds them
#endif

struct Input {
    Handle handle;
    std::int64_t length;
};

struct Output {
    Handle handle;
#ifdef _WIN32
    SystemPath target; // where the content ends up
    SystemPath temporary; // the file beside it being written, empty when writing directly
    bool created = false; // a new file made under the target's own name, removed on failure
#else
    enum class Way {
        direct, // a device, FIFO or socket, written as it is
        unnamed, // a file without a name in the target's folder, named once complete
        beside, // a file under a name of its own beside the target, renamed once complete
        created, // a new file under the target's own name, removed on failure
        inPlace, // the existing file itself, once its old content has been copied beside it
    };
    Way way = Way::direct;
    int folder = -1; // the target's folder, open, for all but a direct write
    SystemPath name; // the target's name in that folder
    SystemPath temporary; // the name of the file beside it; for inPlace, of the copy
#endif
    bool isPipe = false;
#ifndef _WIN32
    bool replaces = false; // the target's name held a file when the save began
    int original = -1; // the file being replaced, open: the new one takes what it was
    int backup = -1; // inPlace: the copy of the old content, which a failure puts back
    unsigned mode = 0; // inPlace: the file's mode, whose setuid and setgid bits a write clears
    std::size_t notWrittenBack = 0; // bytes written since the disk was last asked to write them
#endif
    SaveLock lock {}; // no other save touches the target until this one has ended
};

// A regular file, links followed; anything else is refused without blocking.
std::optional<Input> openInput(std::u16string_view path);
// The same, where the system can open a file by its name in a folder held open: the folder of
// the last file this thread opened so, until forgetInputFolder().
std::optional<Input> openInputInFolder(std::u16string_view path);
void forgetInputFolder();
void closeInput(const Input& input);

// Waits first for any other save to the same file to end; gives up when `stop` is requested
// meanwhile. Where memory runs out it throws std::bad_alloc, having made nothing and kept
// nothing: it allocates what it needs before each step that changes anything.
std::optional<Output> openOutput(std::u16string_view path, const std::stop_token& stop);
// Fails once `stop` is requested; a pipe or terminal that takes no more is given up on then, or
// after two seconds without progress.
bool writeAll(Output& output, std::string_view bytes, const std::stop_token& stop);
// Closes, and moves a temporary into place; false leaves the target as it was. `stop` is looked
// at between the steps, up to the one that puts the new content in place (the commit point):
// once it is requested, the target is left as it was. Where the old content could be put back
// under the target's name neither by the system nor by us, `oldContentLeftAt` gets the name it
// lives under now.
bool commit(const Output& output, const std::stop_token& stop, std::u16string* oldContentLeftAt);
// Closes and throws away what was written, putting back what the target held. No stop cuts
// this short: it is what leaves the target whole.
void discard(const Output& output);

#ifndef _WIN32
// The text of a name given as bytes: UTF-8 decoded, and each byte that is not part of valid
// UTF-8 kept as the lone surrogate U+DC00 + byte, which openInput and openOutput turn back.
std::u16string fromSystemPath(std::string_view bytes);
#endif

// Text in the system's ANSI code page. One converter takes a whole text piece by piece, so
// that what it sets up is paid once a text rather than once a piece.
class AnsiConverter {
public:
    AnsiConverter();
    ~AnsiConverter();
    AnsiConverter(const AnsiConverter&) = delete;
    AnsiConverter& operator=(const AnsiConverter&) = delete;

    // Appends the bytes of the text, one "?" for each character the code page cannot
    // represent. False, with nothing appended, when the system cannot convert at all, so that
    // no text is silently lost.
    bool append(std::u16string_view text, std::string& out);

private:
    struct State;
    std::unique_ptr<State> state_;
};

} // namespace miruteka::native
