#!/usr/bin/python3
"""Runs a command with a stand-in system tray: a StatusNotifierWatcher on the
session bus, so the tray program sits in the tray with its panel closed, as on
a desktop. Ends with the command's status; SIGTERM is passed on to it.
Usage: with_tray.py COMMAND ARGS... (under with_display.sh)."""
import os
import signal
import subprocess
import sys

from gi.repository import GLib

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from tray_test import open_tray_session  # noqa: E402


def main():
    open_tray_session()
    child = subprocess.Popen(sys.argv[1:])
    loop = GLib.MainLoop()
    status = []
    GLib.unix_signal_add(GLib.PRIORITY_DEFAULT, signal.SIGTERM, lambda: child.terminate() or True)
    GLib.child_watch_add(GLib.PRIORITY_DEFAULT, child.pid, lambda _, s: status.append(s) or loop.quit())
    loop.run()
    return os.waitstatus_to_exitcode(status[0])


if __name__ == "__main__":
    sys.exit(main())
