// Windows: the call that puts a complete report in the old one's place, reached through a
// pointer so that the tests can make it fail as the system may.
#pragma once

namespace miruteka::native {

// ReplaceFileW's own signature, without <windows.h>.
using ReplaceFileFunction = int (*)(const wchar_t* replaced, const wchar_t* replacement,
    const wchar_t* backup, unsigned long flags, void* exclude, void* reserved);

// ReplaceFileW itself, unless a test has put a stand-in here.
extern ReplaceFileFunction replaceFile;

} // namespace miruteka::native
