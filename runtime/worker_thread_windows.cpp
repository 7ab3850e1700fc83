#include "worker_thread.h"

#include <string>
#include <string_view>
#include <windows.h>

namespace miruteka {

void LowerThisThreadsPriority()
{
    ::SetThreadPriority(::GetCurrentThread(), THREAD_PRIORITY_BELOW_NORMAL);
}

void NameThisThread(const char* name)
{
    // Windows 10 1607 and later name threads; looked up so that the program still starts on a
    // system without the call. The names here are ASCII.
    using SetDescription = HRESULT(WINAPI*)(HANDLE, PCWSTR);
    // Through void (*)(), which every function pointer type may be cast to and from.
    static const auto setDescription
        = reinterpret_cast<SetDescription>(reinterpret_cast<void (*)()>(
            ::GetProcAddress(::GetModuleHandleW(L"kernel32.dll"), "SetThreadDescription")));
    if (setDescription == nullptr)
        return;
    const std::string_view ascii(name);
    const std::wstring wide(ascii.begin(), ascii.end());
    setDescription(::GetCurrentThread(), wide.c_str());
}

} // namespace miruteka
