#!/usr/bin/python3
"""A drag source in a process of its own, as a file manager is: a small GTK window at the top
left of the screen that offers the files named on the command line as text/uri-list when it is
dragged from. It prints "ready" once it is shown, and "drag-end" (or "drag-failed") when the
drop target has answered and the drag is over for it, each with the time since boot in seconds
(the clock of /proc/uptime)."""
import os
import sys
import time

import gi

gi.require_version("Gdk", "3.0")
gi.require_version("Gtk", "3.0")
from gi.repository import Gdk, GLib, Gtk  # noqa: E402

# A file URI holds an absolute path; names given relative to the current folder are made so.
uris = [GLib.filename_to_uri(os.path.abspath(path), None) for path in sys.argv[1:]]


def say(what):
    print(what, f"{time.clock_gettime(time.CLOCK_BOOTTIME):.3f}", flush=True)


def on_data_get(_widget, _context, selection, _info, _time):
    selection.set_uris(uris)


window = Gtk.Window(title="drag-source")
window.move(0, 0)
window.set_default_size(100, 60)
box = Gtk.EventBox()
box.add(Gtk.Label(label="files"))
box.drag_source_set(Gdk.ModifierType.BUTTON1_MASK,
                    [Gtk.TargetEntry.new("text/uri-list", 0, 0)], Gdk.DragAction.COPY)
box.connect("drag-data-get", on_data_get)
box.connect("drag-end", lambda *_: say("drag-end"))
box.connect("drag-failed", lambda *_: say("drag-failed") or False)
window.add(box)
window.connect("destroy", Gtk.main_quit)
window.connect("map-event", lambda *_: say("ready"))
window.show_all()
Gtk.main()
