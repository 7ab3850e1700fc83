// Files under file numbers. The program's logic opens, measures, writes and closes files by a
// small number, and keeps at most one open at a time; the table behind the numbers lives here.
// Each thread has numbers of its own, so that a save left stuck on one thread never holds the
// number for the next. Every operation reports failure through its result and never throws.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>

namespace miruteka {

// Opens an existing regular file (links followed) for reading its length. Folders, missing
// paths, dangling links, FIFOs, sockets and devices fail, and opening never blocks.
bool OpenForInput(std::u16string_view path, int fileNumber);

// Length in bytes of the file open for input under the number.
std::optional<std::int64_t> FileLength(int fileNumber);

// The length of what OpenForInput would open, opened and closed again without a file number,
// so that many files can be measured at once from any thread. Where the system allows, the
// thread keeps the file's folder open for the next file, until EndMeasuring().
std::optional<std::int64_t> MeasureFile(std::u16string_view path);
// Lets go of the folder that MeasureFile keeps open on the calling thread, which would keep a
// removable disk from being ejected.
void EndMeasuring();

// Opens the path for writing a new content. Where the target is a regular file or does not
// exist yet, the content goes to a new file beside it that CloseFile puts in its place in one
// step, so the old content survives any failure or a kill. A file that is replaced keeps who may
// use it: the new file is readable by the user alone until it has the old one's owner, group,
// permissions, ACL and extended attributes. Where it cannot have them (POSIX: another owner or
// group, other names of the file), the content goes into the existing file, but only once a
// copy of its old content is on disk beside it, which a failure puts back. Where nothing can be
// made beside it, opening fails. A name where nothing existed may take the content itself, and
// is removed again when it fails. A link is followed to the file it stands for, and fails when
// that cannot be found. A device or other special file is written directly, never replaced, and
// never blocks the caller. Fails on an empty or unusable path, and on an existing file that the
// user may not write, even where the folder would let it be replaced. Saves to one file (by any
// of its names, or to one name not yet taken) never overlap, in any thread: opening waits until
// an earlier save has ended, or gives up when `stop` is requested meanwhile, as it does while it
// copies the old content of a file to be written in place, which it leaves untouched. Once `stop`
// is requested, no more is written (a write waiting on a pipe or a terminal gives up within a
// fraction of a second) and CloseFile throws the content away, putting back to its end whatever
// the file held, so that it is whole again.
bool OpenForOutput(std::u16string_view path, int fileNumber, std::stop_token stop = {});

// Waits until no save is under way, from OpenForOutput to the end of its CloseFile, as long as
// the saves under way move on at least once in `patience`. True when none is left; false when
// those left are stuck, in a file system that no longer answers. The end of the process (exit,
// or a return from main) waits so by itself, with a patience of five seconds.
bool WaitForSaves(std::chrono::milliseconds patience);

// Appends the text and CR LF in the system's ANSI code page (CP932 on POSIX systems); a
// character the code page cannot represent becomes one "?".
bool PrintLine(int fileNumber, std::u16string_view text);

// Closes what is open under the number. True when something was open and, for output,
// everything written has reached its place; on false an output target keeps what it had.
bool CloseFile(int fileNumber);
// The same; where a report that was to be replaced could not be put back under its own name
// after a failure (Windows, when the system moved it aside and the name could not be given back),
// `oldContentLeftAt` gets the name its old content lives under now.
bool CloseFile(int fileNumber, std::u16string* oldContentLeftAt);

#ifndef _WIN32
// The path for a file name given as bytes, as a drop's URI gives them: UTF-8 is decoded, and
// each byte that is not part of valid UTF-8 becomes the lone surrogate U+DC00 + byte. The file
// operations turn it back into the same byte, so that the file named is the file opened;
// PrintLine writes it as one "?".
std::u16string FileNameFromBytes(std::string_view bytes);
#endif

// The bytes PrintLine writes for a text, without the line end; nothing when the system has no
// converter for its code page.
std::optional<std::string> ToAnsiCodePage(std::u16string_view text);

} // namespace miruteka
