#!/usr/bin/python3
"""The real tray program in a lab host, read over AT-SPI while a peer talks.

Starts PROGRAM with a StatusNotifierWatcher of our own, opens its panel from
the status item, writes READY_FILE, then waits until the panel lists PEER and
shows "PEER is talking…", and saves a screenshot of the screen to SHOT.

Usage: program_reader.py PROGRAM READY_FILE PEER SHOT (under with_display.sh).
"""
import os
import queue
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import dbus  # noqa: E402
import dbus.mainloop.glib  # noqa: E402
from gi.repository import GLib  # noqa: E402

from atspi_test import wait_for  # noqa: E402
from sni_test import WATCHER, Watcher, check, failures  # noqa: E402


def main():
    program, ready_file, peer, shot = sys.argv[1:5]
    dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)
    context = GLib.MainContext.default()

    def pump():
        while context.iteration(False):
            pass

    session = dbus.SessionBus()
    registered = queue.Queue()
    session.request_name(WATCHER)
    watcher = Watcher(session, registered)  # noqa: F841

    env = dict(os.environ, QT_LINUX_ACCESSIBILITY_ALWAYS_ON="1")
    app = subprocess.Popen([program], env=env)
    try:
        deadline = time.monotonic() + 20
        while registered.empty() and time.monotonic() < deadline:
            pump()
            time.sleep(0.05)
        check(not registered.empty(), "the program puts its item in the tray")
        if registered.empty():
            return 1
        service, path = registered.get_nowait()
        dbus.Interface(session.get_object(service, path), "org.kde.StatusNotifierItem").Activate(
            dbus.Int32(0), dbus.Int32(0))
        nodes = wait_for(app.pid, lambda ns: any(n == "Hollerhopper" for _, n in ns), timeout=20)
        check(any(n == "Hollerhopper" for _, n in nodes), "its panel opens")
        open(ready_file, "w").close()

        talking = peer + " is talking\u2026"
        nodes = wait_for(app.pid, lambda ns: any(n == talking for _, n in ns) and any(n == peer for _, n in ns),
                         timeout=40)
        check(any(n == peer for _, n in nodes), "the panel lists %s" % peer)
        check(any(n.endswith(" network (1)") for _, n in nodes), "and counts one peer")
        check(any(n == talking for _, n in nodes), "the status line reads \"%s\"" % talking)
        try:
            from PIL import ImageGrab
            ImageGrab.grab(xdisplay=os.environ["DISPLAY"]).save(shot)
            print("screenshot:", shot)
        except Exception as error:  # a missing screenshot is not a failure of the program
            print("no screenshot:", error)
    finally:
        app.terminate()
        try:
            app.wait(timeout=10)
        except subprocess.TimeoutExpired:
            app.kill()
            app.wait()
    print("%d failure(s)" % len(failures))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
