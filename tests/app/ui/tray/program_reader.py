#!/usr/bin/python3
"""The real tray program in a lab host, read over AT-SPI while a peer talks.

Starts PROGRAM with a StatusNotifierWatcher of our own, opens its panel from
the status item, writes READY_FILE, then waits until the panel lists PEER and
shows "PEER is talking…" (with "not-heard": lists PEER as "PEER — can't be
heard from here" with the hint under the list), and saves a screenshot of the
screen to SHOT.

With "many", PEER is a "|"-separated list of names in the expected order: the
panel must list them all in that order, every row in the accessibility tree
(scrolled out of view or not), and fit on the screen.

Usage: program_reader.py PROGRAM READY_FILE PEER SHOT [not-heard|many] (under with_display.sh).
"""
import os
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import dbus  # noqa: E402

from tray_test import (SNI, application, check, end_program, failures, named, open_tray_session,  # noqa: E402
                       showing, wait_for)


def list_items(pid):
    """The names of every list item of the program, showing or not, in tree order."""
    app = application(pid)
    return [n for r, n in showing(app, everything=True) if r == "list item"] if app is not None else []


def panel_extents(pid):
    import pyatspi
    app = application(pid)
    for i in range(app.childCount if app else 0):
        window = app.getChildAtIndex(i)
        if window is not None and window.getState().contains(pyatspi.STATE_SHOWING):
            e = window.queryComponent().getExtents(pyatspi.DESKTOP_COORDS)
            return e.x, e.y, e.width, e.height
    return -1, -1, 0, 0


def main():
    program, ready_file, peer, shot = sys.argv[1:5]
    expects_not_heard = sys.argv[5:6] == ["not-heard"]
    expects_many = sys.argv[5:6] == ["many"]
    _, item = open_tray_session()
    app = subprocess.Popen([program], env=dict(os.environ, QT_LINUX_ACCESSIBILITY_ALWAYS_ON="1"))
    try:
        sni = item(timeout=20)
        if not check(sni is not None, "the program puts its item in the tray"):
            return 1
        dbus.Interface(sni, SNI).Activate(dbus.Int32(0), dbus.Int32(0))
        check(named("Hollerhopper")(wait_for(app.pid, named("Hollerhopper"), timeout=20)), "its panel opens")
        open(ready_file, "w").close()

        if expects_many:
            names = peer.split("|")
            heading = " network (%d)" % len(names)
            rows = []

            def listed(_):
                rows[:] = list_items(app.pid)
                return len(rows) == len(names)
            wait_for(app.pid, listed, timeout=60)
            check(rows == names, "all %d rows are in the accessibility tree, in collation order (got %s)"
                  % (len(names), rows[:3] + ["..."] + rows[-3:]))
            nodes = wait_for(app.pid, lambda ns: any(n.endswith(heading) for _, n in ns), timeout=10)
            check(any(n.endswith(heading) for _, n in nodes), "the heading counts them")
            x, y, w, h = panel_extents(app.pid)
            check(0 <= y and y + h <= 800 and 0 <= x and x + w <= 1280,
                  "the panel (%d,%d %dx%d) is wholly on the 1280x800 screen" % (x, y, w, h))
        elif expects_not_heard:
            row = peer + " \u2014 can't be heard from here"
            hint = ("Some computers are listed but can't be heard: "
                    "a firewall or the network may be blocking UDP port 54321 multicast")
            nodes = wait_for(app.pid, lambda ns: named(row)(ns) and named(hint)(ns), timeout=60)
            check(named(row)(nodes), "the panel lists \"%s\"" % row)
            check(named(hint)(nodes), "with the hint under the list")
        else:
            talking = peer + " is talking\u2026"
            nodes = wait_for(app.pid, lambda ns: named(talking)(ns) and named(peer)(ns), timeout=40)
            check(named(peer)(nodes), "the panel lists %s" % peer)
            check(any(n.endswith(" network (1)") for _, n in nodes), "and counts one peer")
            check(named(talking)(nodes), "the status line reads \"%s\"" % talking)
        try:
            from PIL import ImageGrab
            ImageGrab.grab(xdisplay=os.environ["DISPLAY"]).save(shot)
            print("screenshot:", shot)
        except Exception as error:  # a missing screenshot is not a failure of the program
            print("no screenshot:", error)
    finally:
        end_program(app)
    print("%d failure(s)" % len(failures))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
