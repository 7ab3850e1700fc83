// Windows: what names a file for the lock that keeps saves to it apart, and the file a name
// stands for.
#pragma once

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <string>
#include <vector>
#include <windows.h>

namespace miruteka::native {

// The file a link or a relative or short name stands for, so that the file is replaced and the
// link stays a link; the fallback where the system cannot tell.
std::wstring finalPath(HANDLE handle, const std::wstring& fallback);

// What no other save may touch meanwhile: the name in its folder, which a new file may be about
// to take, and the file the name holds, under whichever of its names it is saved. What cannot
// be told apart so is kept apart by its name as given.
std::vector<std::string> lockKeys(const std::wstring& name);

} // namespace miruteka::native
