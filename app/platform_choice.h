// Which of Qt's platform plugins the program asks for at start, before Qt picks one itself.
#pragma once

#include <functional>
#include <string_view>

namespace miruteka {

// Reads an environment variable: nullptr when it is not set.
using EnvironmentLookup = std::function<const char*(const char*)>;

// The value for QT_QPA_PLATFORM, or empty to leave Qt's own choice. On a GNOME desktop running
// Wayland with an X server at hand (XWayland), X11 first: GNOME's compositor draws no title bar
// for Wayland windows, and the one Qt 6.4 draws instead cuts this narrow window's title and adds
// buttons that a fixed-size window must not have; the compositor's own X11 title bar fits it.
// Whatever the user set in QT_QPA_PLATFORM stands.
std::string_view ChoosePlatform(const EnvironmentLookup& environment);

} // namespace miruteka
