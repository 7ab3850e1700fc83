#!/usr/bin/python3
"""Runs a command (argv[1:]), in the session that setsid(1) gave this process, as the subreaper of all it starts, and exits
with its status. Daemons that the command's D-Bus session starts on demand (the accessibility
bus and its registry) outlive it; orphaned, they would go to the machine's first process, which
in a container may never reap them, and stay as zombies. Here they come back to this process,
which ends them and reaps every one. It then fails if anything of the session is left."""
import ctypes
import os
import signal
import subprocess
import sys
import time

PR_SET_CHILD_SUBREAPER = 36


def session_members(session):
    """Processes other than this one in the session, zombies included, as "pid name"."""
    found = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit() or int(entry) == os.getpid():
            continue
        try:
            with open(f"/proc/{entry}/stat", encoding="utf-8", errors="replace") as stat:
                text = stat.read()
        except OSError:
            continue
        name = text[text.index("(") + 1:text.rindex(")")]
        fields = text[text.rindex(")") + 2:].split()
        if int(fields[3]) == session:  # state, ppid, pgrp, session
            found.append(f"{entry} {name}")
    return found


def children():
    found = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/stat", encoding="utf-8", errors="replace") as stat:
                fields = stat.read().rsplit(")", 1)[1].split()
        except OSError:
            continue
        if int(fields[1]) == os.getpid():
            found.append(int(entry))
    return found


def reap():
    while True:
        try:
            pid, _ = os.waitpid(-1, os.WNOHANG)
        except ChildProcessError:
            return
        if pid == 0:
            return


def main():
    if ctypes.CDLL(None, use_errno=True).prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0) != 0:
        print("reap: cannot become a subreaper", file=sys.stderr)
        return 1
    status = subprocess.call(sys.argv[1:])
    for sig in (signal.SIGTERM, signal.SIGKILL):
        deadline = time.monotonic() + 3
        while time.monotonic() < deadline:
            reap()
            left = children()
            if not left:
                break
            for pid in left:
                try:
                    os.kill(pid, sig)
                except ProcessLookupError:
                    pass
            time.sleep(0.1)
    reap()
    left = session_members(os.getsid(0))
    if left:
        print(f"reap: left behind: {', '.join(left)}", file=sys.stderr)
        return 1
    return status if status >= 0 else 128 - status


sys.exit(main())
