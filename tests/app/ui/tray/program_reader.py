#!/usr/bin/python3
"""The real tray program in a lab host (app_lab.sh), read over AT-SPI.

Starts PROGRAM with a StatusNotifierWatcher of our own and opens its panel
from the status item. With no sound server yet, the talk button says so and a
press of the push-to-talk key says why it was not sent; once the sound server
is up (DIR/want-audio, then DIR/audio-up) the button works without Settings
being opened and the panel and tooltip read "Ready"; with the link down
(DIR/want-link-down, DIR/link-down) both say "No network connection", and
Ready again once it is up (DIR/want-link-up, DIR/link-up). Then it writes
DIR/ready and waits, in turn, until the panel
- lists TALKER and reads "TALKER is talking…";
- lists SILENT as "SILENT — can't be heard from here", with the hint under the list;
- (after writing DIR/publish-more) lists ORDER, "|"-separated names in the
  expected order, every row in the accessibility tree (scrolled out of view or
  not), the heading counting them, the panel wholly on the 1280x800 screen and
  where it opened (nothing in it moved as peers came);
saving a screenshot of the screen in the first two (DIR/panel-lab.png,
panel-not-heard.png).

Usage: program_reader.py PROGRAM DIR TALKER SILENT ORDER (under with_display.sh).
"""
import os
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import dbus  # noqa: E402
import pyatspi  # noqa: E402

from tray_test import SNI, check, end_program, failures, open_tray_session, poll  # noqa: E402


def showing(node, depth=0, everything=False):
    """(role, name) of every showing node under `node` (with `everything`, hidden ones too)."""
    try:
        shown = everything or node.getState().contains(pyatspi.STATE_SHOWING)
        out = [(node.getRoleName(), node.name or "")] if shown else []
        children = [node.getChildAtIndex(i) for i in range(node.childCount)] if depth < 40 else []
    except Exception:
        return []
    return out + [n for c in children if c is not None for n in showing(c, depth + 1, everything)]


def application(pid):
    """The program's accessible application node, or None."""
    desktop = pyatspi.Registry.getDesktop(0)
    apps = [desktop.getChildAtIndex(i) for i in range(desktop.childCount)]
    return next((a for a in apps if a is not None and a.get_process_id() == pid), None)


def wait_for(pid, predicate, timeout=10):
    """The program's showing accessible nodes once `predicate` holds for them, else the last read."""
    nodes = []

    def read():
        app = application(pid)
        nodes[:] = showing(app) if app is not None else []
        return predicate(nodes)
    poll(read, timeout)
    return nodes


def named(name, role=None):
    return lambda nodes: any(n == name and role in (None, r) for r, n in nodes)


def list_items(pid):
    """The names of every list item of the program, showing or not, in tree order, without their marks."""
    app = application(pid)
    return [n.split(" \u2014 ")[0] for r, n in showing(app, everything=True) if r == "list item"] if app else []


def panel_extents(pid):
    app = application(pid)
    for window in [app.getChildAtIndex(i) for i in range(app.childCount)] if app else []:
        if window is not None and window.getState().contains(pyatspi.STATE_SHOWING):
            e = window.queryComponent().getExtents(pyatspi.DESKTOP_COORDS)
            return e.x, e.y, e.width, e.height
    return -1, -1, 0, 0


def screenshot(work, name):
    try:
        from PIL import ImageGrab
        ImageGrab.grab(xdisplay=os.environ["DISPLAY"]).save(os.path.join(work, "panel-%s.png" % name))
    except Exception as error:  # a missing screenshot is not a failure of the program
        print("no screenshot:", error)


# Asks the lab script for DIR/NAME (writing DIR/want-NAME) and waits until it is there.
def handshake(work, name):
    open(os.path.join(work, "want-" + name), "w").close()
    return poll(lambda: os.path.exists(os.path.join(work, name)), 60)


# What the panel and the tooltip say about audio and network as they come and go.
def honest_states(app, sni, work):
    tooltip = lambda text: poll(lambda: text in map(str, dbus.Interface(sni, dbus.PROPERTIES_IFACE).Get(SNI, "ToolTip")[2:]))
    button = "Hold to talk \u2014 no sound server"
    check(named(button)(wait_for(app.pid, named(button), timeout=20)), "with no sound server the talk button says so")
    failed = "Not sent: no sound server is running"
    subprocess.run("xdotool keydown Pause sleep 0.4 keyup Pause".split(), check=True)
    nodes = wait_for(app.pid, named(failed), timeout=3)
    if not any(n.startswith("Hold to talk") for _, n in nodes):
        # The key's grab closed the panel (a click just after that is taken as the
        # one that closed it): open it again.
        time.sleep(0.5)
        dbus.Interface(sni, SNI).Activate(dbus.Int32(0), dbus.Int32(0))
        nodes = wait_for(app.pid, named(failed))
    check(named(failed)(nodes) and not named("You're talking\u2026")(nodes),
          "a press of the key with no sound server says it was not sent, not that we are talking")
    ready = lambda ns: named("Hold to talk")(ns) and named("Ready")(ns)
    check(handshake(work, "audio-up") and ready(wait_for(app.pid, ready, timeout=20)) and tooltip("Hollerhopper \u2014 Ready"),
          "the sound server started: the talk button works, the panel and the tooltip read Ready, Settings never opened")
    offline = lambda ns: named("No network connection")(ns) and named("Hold to talk \u2014 no network")(ns)
    check(handshake(work, "link-down") and offline(wait_for(app.pid, offline, timeout=20))
          and tooltip("Hollerhopper \u2014 No network connection"),
          "the link down: the panel and the tooltip say No network connection, the button no network")
    check(handshake(work, "link-up") and ready(wait_for(app.pid, ready, timeout=20)), "the link up: Ready again")


def main():
    program, work, talker, silent, order = sys.argv[1:6]
    _, item = open_tray_session()
    app = subprocess.Popen([program], env=dict(os.environ, QT_LINUX_ACCESSIBILITY_ALWAYS_ON="1"))
    try:
        sni = item(timeout=20)
        if not check(sni is not None, "the program puts its item in the tray"):
            return 1
        dbus.Interface(sni, SNI).Activate(dbus.Int32(0), dbus.Int32(0))
        check(named("Hollerhopper")(wait_for(app.pid, named("Hollerhopper"), timeout=20)), "its panel opens")
        honest_states(app, sni, work)
        opened = panel_extents(app.pid)
        open(os.path.join(work, "ready"), "w").close()

        talking = lambda ns: named(talker)(ns) and named(talker + " is talking\u2026")(ns)
        check(talking(wait_for(app.pid, talking, timeout=40)), "the panel lists %s, \"is talking\u2026\"" % talker)
        screenshot(work, "lab")

        hint = ("Some computers are listed but can't be heard: "
                "a firewall or the network may be blocking UDP port 54321 multicast")
        unheard = lambda ns: named(silent + " \u2014 can't be heard from here")(ns) and named(hint)(ns)
        check(unheard(wait_for(app.pid, unheard, timeout=60)), "%s is shown as not heard, with the hint" % silent)
        screenshot(work, "not-heard")

        open(os.path.join(work, "publish-more"), "w").close()
        names, rows = order.split("|"), []
        heading = " network (%d)" % len(names)

        def listed(nodes):
            rows[:] = list_items(app.pid)
            return rows == names and any(n.endswith(heading) for _, n in nodes)
        check(listed(wait_for(app.pid, listed, timeout=60)),
              "all %d rows are in the accessibility tree, in collation order, and counted (got %s)"
              % (len(names), rows[:3] + ["..."] + rows[-3:]))
        x, y, w, h = panel_extents(app.pid)
        check(0 <= y and y + h <= 800 and 0 <= x and x + w <= 1280 and (x, y) == opened[:2],
              "the panel (%d,%d %dx%d) is wholly on the 1280x800 screen, where it opened (%d,%d)" % (x, y, w, h, *opened[:2]))
    finally:
        end_program(app)
    print("%d failure(s)" % len(failures))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
