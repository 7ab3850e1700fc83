// POSIX names: the program holds a name as UTF-16, the system as bytes. Shared by the reading
// and the saving halves of the POSIX file layer.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string_view>

namespace miruteka::native {

// The most bytes one unit of a name takes: three (a surrogate pair takes four for two units).
constexpr std::size_t maxBytesPerUnit = 3;

// Writes the name's bytes and a closing NUL into `out`, which has room for the longest form of
// every unit and the NUL, and gives the bytes. A surrogate of U+DC80 to U+DCFF stands for the
// byte that had no UTF-8 form; any other surrogate without its partner, and a NUL, which would
// end the name early, name no file. Written through a pointer: a drop opens each of its files
// by name, and appending byte by byte cost more than the rest of the step.
std::optional<std::string_view> toUtf8(std::u16string_view text, std::span<char> out);

} // namespace miruteka::native
