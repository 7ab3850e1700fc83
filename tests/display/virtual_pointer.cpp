// A pointer for a Wayland compositor that has none: a headless one whose seat has no input
// device. It adds a virtual pointer (zwlr_virtual_pointer_v1) to the seat and plays the steps
// given on the command line with it, each one delivered before the next:
//   virtual_pointer WIDTH HEIGHT STEP...
//   move X Y    the pointer to X Y of a layout WIDTH x HEIGHT pixels large
//   press       the left button down;  release  up again
//   sleep MS    a pause, so that the clients under the pointer can follow
// Exits 1 when the compositor offers no virtual pointer or a step is not understood.
#include "wlr-virtual-pointer-unstable-v1-client-protocol.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <linux/input-event-codes.h>
#include <string_view>
#include <thread>
#include <wayland-client.h>

namespace {

struct Globals {
    wl_seat* seat = nullptr;
    zwlr_virtual_pointer_manager_v1* manager = nullptr;
};

void announced(void* data, wl_registry* registry, uint32_t name, const char* interface, uint32_t)
{
    auto* globals = static_cast<Globals*>(data);
    if (std::strcmp(interface, wl_seat_interface.name) == 0 && !globals->seat)
        globals->seat
            = static_cast<wl_seat*>(wl_registry_bind(registry, name, &wl_seat_interface, 1));
    else if (std::strcmp(interface, zwlr_virtual_pointer_manager_v1_interface.name) == 0)
        globals->manager = static_cast<zwlr_virtual_pointer_manager_v1*>(
            wl_registry_bind(registry, name, &zwlr_virtual_pointer_manager_v1_interface, 1));
}

void withdrawn(void*, wl_registry*, uint32_t) { }

const wl_registry_listener registryListener = { announced, withdrawn };

// The compositor's clock is its own; events in order are all that matter here.
uint32_t now()
{
    using namespace std::chrono;
    return uint32_t(duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

int fail(const char* what)
{
    std::fprintf(stderr, "virtual_pointer: %s\n", what);
    return 1;
}

} // namespace

int main(int argc, char* argv[])
{
    if (argc < 3)
        return fail("usage: virtual_pointer WIDTH HEIGHT [move X Y|press|release|sleep MS]...");
    const auto width = uint32_t(std::strtoul(argv[1], nullptr, 10));
    const auto height = uint32_t(std::strtoul(argv[2], nullptr, 10));

    wl_display* display = wl_display_connect(nullptr);
    if (!display)
        return fail("no Wayland display");
    Globals globals;
    wl_registry* registry = wl_display_get_registry(display);
    wl_registry_add_listener(registry, &registryListener, &globals);
    wl_display_roundtrip(display);
    if (!globals.seat || !globals.manager)
        return fail("the compositor offers no seat or no virtual pointer");
    zwlr_virtual_pointer_v1* pointer
        = zwlr_virtual_pointer_manager_v1_create_virtual_pointer(globals.manager, globals.seat);

    for (int i = 3; i < argc; ++i) {
        const std::string_view step = argv[i];
        if (step == "move" && i + 2 < argc) {
            const auto x = uint32_t(std::strtoul(argv[i + 1], nullptr, 10));
            const auto y = uint32_t(std::strtoul(argv[i + 2], nullptr, 10));
            i += 2;
            zwlr_virtual_pointer_v1_motion_absolute(pointer, now(), x, y, width, height);
        } else if (step == "press" || step == "release") {
            zwlr_virtual_pointer_v1_button(pointer, now(), BTN_LEFT,
                step == "press" ? WL_POINTER_BUTTON_STATE_PRESSED
                                : WL_POINTER_BUTTON_STATE_RELEASED);
        } else if (step == "sleep" && i + 1 < argc) {
            std::this_thread::sleep_for(std::chrono::milliseconds(std::atoi(argv[++i])));
            continue;
        } else {
            return fail("a step is not understood");
        }
        zwlr_virtual_pointer_v1_frame(pointer);
        if (wl_display_roundtrip(display) < 0)
            return fail("the compositor closed the connection");
    }

    zwlr_virtual_pointer_v1_destroy(pointer);
    zwlr_virtual_pointer_manager_v1_destroy(globals.manager);
    wl_seat_destroy(globals.seat);
    wl_registry_destroy(registry);
    wl_display_roundtrip(display);
    wl_display_disconnect(display);
    return 0;
}
