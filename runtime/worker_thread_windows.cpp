#include "worker_thread.h"

#include <algorithm>
#include <iterator>
#include <string_view>
#include <windows.h>

namespace miruteka {

void LowerThisThreadsPriority()
{
    ::SetThreadPriority(::GetCurrentThread(), THREAD_PRIORITY_BELOW_NORMAL);
}

void NameThisThread(const char* name) noexcept
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
    // Widened in place: naming allocates nothing, so it cannot fail a thread as it starts.
    wchar_t wide[64] {};
    const std::string_view ascii = std::string_view(name).substr(0, std::size(wide) - 1);
    std::copy(ascii.begin(), ascii.end(), wide);
    setDescription(::GetCurrentThread(), wide);
}

} // namespace miruteka
