#include "platform_choice.h"

#include <algorithm>
#include <cctype>
#include <string>

namespace miruteka {

namespace {

bool isSet(const char* value) { return value && *value; }

// XDG_CURRENT_DESKTOP is a list such as "ubuntu:GNOME"; any mention of GNOME counts, as Qt 5's
// own test did.
bool namesGnome(const char* desktops)
{
    if (!desktops)
        return false;
    std::string lower(desktops);
    std::transform(lower.begin(), lower.end(), lower.begin(),
        [](unsigned char c) { return char(std::tolower(c)); });
    return lower.find("gnome") != std::string::npos;
}

} // namespace

std::string_view ChoosePlatform(const EnvironmentLookup& environment)
{
    if (isSet(environment("QT_QPA_PLATFORM")))
        return {};
    const char* session = environment("XDG_SESSION_TYPE");
    const bool wayland = isSet(environment("WAYLAND_DISPLAY"))
        || (session && std::string_view(session) == "wayland");
    const bool gnome = namesGnome(environment("XDG_CURRENT_DESKTOP"))
        || namesGnome(environment("XDG_SESSION_DESKTOP"));
    if (!wayland || !gnome || !isSet(environment("DISPLAY")))
        return {};
    // Wayland stays the fallback: without it a GNOME whose X server cannot be reached would get
    // no window at all.
    return "xcb;wayland";
}

} // namespace miruteka
