#!/usr/bin/python3
"""What a screen reader finds in the program with the process id argv[1], through AT-SPI from
outside the process: the accessible tree of the main window, of the settings dialog and of the
about box, each control with its role and name, and a Japanese description where its caption
does not say what it does; and 設定, ok, about, OK and 終了 pressed through their actions.
Prints what it did; exits 1 on the first thing amiss."""
import re
import sys
import time

import pyatspi
from gi.repository import GLib

JAPANESE = re.compile("[\u3040-\u30ff\u4e00-\u9fff]")

# (role, name, described in Japanese, children): the whole tree, hidden children included.
MAIN = ("frame", "ミルテカ", False, [
    ("panel", "ファイルのドロップ先", True, []),
    ("status bar", "単価", True, [("label", "1パケット = 0.3 円", False, [])]),
    ("push button", "設定", True, []),
    ("push button", "about", True, []),
    ("push button", "終了", True, []),
])
SETTINGS = ("dialog", "設定", False, [
    ("text", "1パケットの料金", True, []),  # named by the caption beside it
    ("label", "1パケットの料金", False, []),
    ("label", "円", False, []),
    ("push button", "ok", True, []),
    ("push button", "cancel", True, []),
])

ABOUT_TEXT = "ミルテカ ver1.0\r\n\r\nパケット料金を調べたいファイルをD&Dしてください。"
ABOUT = ("alert", "about", False, [
    ("label (not showing)", "", False, []),  # the message box's icon, which it has none of
    ("label", ABOUT_TEXT, False, []),
    ("panel", "ボタン", False, [("push button", "OK", False, [])]),  # the row of buttons
])


# The roles by the names that the tables give them. Roles are compared by AT-SPI's numbers: the
# names it gives changed (at-spi2-core 2.56 says "button" where 2.46 said "push button").
ROLES = {
    "frame": pyatspi.ROLE_FRAME,
    "panel": pyatspi.ROLE_PANEL,
    "status bar": pyatspi.ROLE_STATUS_BAR,
    "label": pyatspi.ROLE_LABEL,
    "push button": pyatspi.ROLE_PUSH_BUTTON,
    "dialog": pyatspi.ROLE_DIALOG,
    "text": pyatspi.ROLE_TEXT,
    "alert": pyatspi.ROLE_ALERT,
}
ROLE_NAMES = {number: name for name, number in ROLES.items()}


def role(node):
    """The node's role by the tables' name for it, or AT-SPI's own name for any other."""
    number = node.getRole()
    return ROLE_NAMES.get(number, f"{node.getRoleName()} ({int(number)})")


def fail(message):
    print("FAIL: " + message, file=sys.stderr)
    sys.exit(1)


def wait_for(what, found, seconds=20):
    """found() once it gives something. The tree is changing while we wait (a window opening or
    closing), so an object that went away between its listing and its reading is looked for again
    on the next round rather than taken for a failure."""
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        try:
            result = found()
        except GLib.GError as error:
            if "No such object path" not in error.message:
                raise
            result = None
        if result:
            return result
        time.sleep(0.1)
    fail("gave up waiting for " + what)


def shape(node):
    """The node as the tables above put it; a node not showing on screen is marked."""
    states = node.getState()
    shown = role(node)
    if not (states.contains(pyatspi.STATE_SHOWING) and states.contains(pyatspi.STATE_VISIBLE)):
        shown += " (not showing)"
    return (shown, node.name, bool(JAPANESE.search(node.description or "")),
            [shape(child) for child in node])


def check_tree(window, expected):
    actual = shape(window)
    if actual != expected:
        fail(f"the tree of {window.name} is\n  {actual}\nnot\n  {expected}")
    print(f"ok: {window.name}: {sum(1 for _ in walk(window))} objects, each named as expected")


def present(nodes):
    """The nodes still there: a window closing while its parent is listed reads as None."""
    return (node for node in nodes if node is not None)


def walk(node):
    yield node
    for child in present(node):
        yield from walk(child)


def find(root, kind, name):
    return next((n for n in walk(root) if role(n) == kind and n.name == name), None)


def window(app, kind, name):
    return next((w for w in present(app) if role(w) == kind and w.name == name), None)


def press(node):
    actions = node.queryAction()
    names = [actions.getName(i) for i in range(actions.nActions)]
    if "Press" not in names:
        fail(f"{node.name} offers no Press action, only {names}")
    actions.doAction(names.index("Press"))
    print(f"pressed {node.name}")


def main():
    pid = int(sys.argv[1])
    desktop = pyatspi.Registry.getDesktop(0)
    app = wait_for("the program on the accessibility bus",
                   lambda: next((a for a in desktop if a and a.get_process_id() == pid), None))
    main_window = wait_for("the window ミルテカ", lambda: window(app, "frame", "ミルテカ"))
    check_tree(main_window, MAIN)

    press(find(main_window, "push button", "設定"))
    dialog = wait_for("the settings dialog", lambda: window(app, "dialog", "設定"))
    check_tree(dialog, SETTINGS)
    field = find(dialog, "text", "1パケットの料金")
    if field.queryText().getText(0, -1) != "0.3":
        fail("the price field does not hold 0.3")
    field.queryEditableText().setTextContents("1.50")
    press(find(dialog, "push button", "ok"))
    wait_for("the dialog to close", lambda: not window(app, "dialog", "設定"))
    wait_for("the status line to show the new price",
             lambda: find(main_window, "label", "1パケット = 1.5 円"))
    print("ok: the price typed through AT-SPI is in the status line")

    press(find(main_window, "push button", "about"))
    about = wait_for("the about box", lambda: window(app, "alert", "about"))
    check_tree(about, ABOUT)
    press(find(about, "push button", "OK"))
    wait_for("the about box to close", lambda: not window(app, "alert", "about"))

    press(find(main_window, "push button", "終了"))


if __name__ == "__main__":
    main()
