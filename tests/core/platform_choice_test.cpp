#include "platform_choice.h"

#include <gtest/gtest.h>
#include <map>
#include <string>

namespace miruteka {
namespace {

struct PlatformCase {
    const char* name;
    std::map<std::string, std::string> environment;
    std::string_view platform; // empty: Qt's own choice
};

void PrintTo(const PlatformCase& c, std::ostream* out) { *out << c.name; }

class ChoosePlatformTest : public ::testing::TestWithParam<PlatformCase> { };

TEST_P(ChoosePlatformTest, TakesX11OnlyOnGnomeUnderWaylandWithAnXServer)
{
    const auto& environment = GetParam().environment;
    const auto lookup = [&](const char* name) -> const char* {
        const auto found = environment.find(name);
        return found == environment.end() ? nullptr : found->second.c_str();
    };
    EXPECT_EQ(ChoosePlatform(lookup), GetParam().platform);
}

const std::map<std::string, std::string> gnomeOnWayland = { { "WAYLAND_DISPLAY", "wayland-0" },
    { "DISPLAY", ":0" }, { "XDG_CURRENT_DESKTOP", "GNOME" }, { "XDG_SESSION_TYPE", "wayland" } };

std::map<std::string, std::string> with(
    std::map<std::string, std::string> environment, const std::string& name, const char* value)
{
    if (value)
        environment[name] = value;
    else
        environment.erase(name);
    return environment;
}

INSTANTIATE_TEST_SUITE_P(Table, ChoosePlatformTest,
    ::testing::Values(PlatformCase { "GnomeOnWayland", gnomeOnWayland, "xcb;wayland" },
        // Ubuntu's and others' lists, in any case, and the session's own name.
        PlatformCase { "UbuntuList", with(gnomeOnWayland, "XDG_CURRENT_DESKTOP", "ubuntu:GNOME"),
            "xcb;wayland" },
        PlatformCase { "SessionDesktopOnly",
            with(with(gnomeOnWayland, "XDG_CURRENT_DESKTOP", nullptr), "XDG_SESSION_DESKTOP",
                "gnome"),
            "xcb;wayland" },
        PlatformCase { "SessionTypeWithoutSocketName",
            with(gnomeOnWayland, "WAYLAND_DISPLAY", nullptr), "xcb;wayland" },
        // The user's choice stands, even one that names X11 already.
        PlatformCase { "UserChoseWayland", with(gnomeOnWayland, "QT_QPA_PLATFORM", "wayland"), "" },
        PlatformCase { "UserChoseX11", with(gnomeOnWayland, "QT_QPA_PLATFORM", "xcb"), "" },
        PlatformCase {
            "EmptyChoiceIsNone", with(gnomeOnWayland, "QT_QPA_PLATFORM", ""), "xcb;wayland" },
        // No X server at hand: Wayland, whatever it draws.
        PlatformCase { "NoXServer", with(gnomeOnWayland, "DISPLAY", nullptr), "" },
        PlatformCase { "EmptyDisplay", with(gnomeOnWayland, "DISPLAY", ""), "" },
        // Desktops whose compositor draws title bars, and X11 sessions.
        PlatformCase { "Plasma", with(gnomeOnWayland, "XDG_CURRENT_DESKTOP", "KDE"), "" },
        PlatformCase { "Sway", with(gnomeOnWayland, "XDG_CURRENT_DESKTOP", "sway"), "" },
        PlatformCase { "GnomeOnX11",
            with(with(gnomeOnWayland, "WAYLAND_DISPLAY", nullptr), "XDG_SESSION_TYPE", "x11"), "" },
        PlatformCase { "NothingSet", {}, "" }),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
} // namespace miruteka
