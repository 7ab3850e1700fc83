#include "files.h"

#include "native_file.h"

#include <array>
#include <variant>

namespace miruteka {

namespace {

struct OutputFile {
    native::Output native;
    bool failed = false; // a write went wrong: the content must not replace the target
};

using OpenFile = std::variant<std::monostate, native::Input, OutputFile>;

// File numbers run from 1 to 511; the program itself uses only 1.
constexpr int maxFileNumber = 511;
std::array<OpenFile, maxFileNumber + 1> table;

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

bool OpenForOutput(std::u16string_view path, int fileNumber)
{
    OpenFile* entry = slot(fileNumber);
    if (!entry || !std::holds_alternative<std::monostate>(*entry) || path.empty())
        return false;
    auto output = native::openOutput(path);
    if (!output)
        return false;
    *entry = OutputFile { *output };
    return true;
}

bool PrintLine(int fileNumber, std::u16string_view text)
{
    OpenFile* entry = slot(fileNumber);
    auto* output = entry ? std::get_if<OutputFile>(entry) : nullptr;
    if (!output || output->failed)
        return false;
    std::string bytes = native::toAnsiCodePage(text);
    bytes += "\r\n";
    if (!native::writeAll(output->native, bytes)) {
        output->failed = true;
        return false;
    }
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
        if (output->failed)
            native::discard(output->native);
        else
            closed = native::commit(output->native);
    }
    *entry = std::monostate {};
    return closed;
}

std::string ToAnsiCodePage(std::u16string_view text) { return native::toAnsiCodePage(text); }

} // namespace miruteka
