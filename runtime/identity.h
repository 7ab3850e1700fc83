// The application's identity, as the about box and the window captions show it.
#pragma once

#include <cstdint>
#include <string>

namespace miruteka {

std::u16string AppTitle();
std::int16_t AppMajor();
std::int16_t AppMinor();

} // namespace miruteka
