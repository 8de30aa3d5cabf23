#!/usr/bin/python3
"""Reads the walkie panel as a screen reader does, over AT-SPI.

Opens the panel from the status item (the same popup users get) and walks the
accessibility tree: the talk button's name with and without the permissions,
the status line while a peer talks, and a name for every button and text.

Usage: atspi_test.py HARNESS (under with_display.sh).
"""
import os
import queue
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import dbus  # noqa: E402
import dbus.mainloop.glib  # noqa: E402
import pyatspi  # noqa: E402
from gi.repository import GLib  # noqa: E402

from sni_test import WATCHER, Harness, Watcher, check, failures  # noqa: E402


def tree(node, depth=0, out=None):
    out = [] if out is None else out
    try:
        role = node.getRoleName()
        name = node.name or ""
        showing = node.getState().contains(pyatspi.STATE_SHOWING)
    except Exception:
        return out
    out.append((role, name, showing))
    if depth > 40:
        return out
    for i in range(node.childCount):
        try:
            child = node.getChildAtIndex(i)
        except Exception:
            continue
        if child is not None:
            tree(child, depth + 1, out)
    return out


def application(pid):
    desktop = pyatspi.Registry.getDesktop(0)
    for i in range(desktop.childCount):
        app = desktop.getChildAtIndex(i)
        try:
            if app is not None and app.get_process_id() == pid:
                return app
        except Exception:
            continue
    return None


def wait_for(pid, predicate, timeout=10):
    """The panel's visible nodes once `predicate` holds for them, else the last read."""
    deadline = time.monotonic() + timeout
    nodes = []
    while time.monotonic() < deadline:
        app = application(pid)
        if app is not None:
            nodes = [(r, n) for r, n, showing in tree(app) if showing]
            if predicate(nodes):
                return nodes
        time.sleep(0.2)
    return nodes


def main():
    dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)
    context = GLib.MainContext.default()

    def pump():
        while context.iteration(False):
            pass

    session = dbus.SessionBus()
    registered = queue.Queue()
    session.request_name(WATCHER)
    watcher = Watcher(session, registered)  # noqa: F841 (kept alive)

    env = dict(os.environ, QT_LINUX_ACCESSIBILITY_ALWAYS_ON="1", QT_ACCESSIBILITY="1")
    app = Harness(sys.argv[1], env)
    try:
        check(app.expect("ready tray=1", pump=pump) is not None, "the program has a status item")
        deadline = time.monotonic() + 10
        while registered.empty() and time.monotonic() < deadline:
            pump()
            time.sleep(0.05)
        service, path = registered.get_nowait()
        item = dbus.Interface(session.get_object(service, path), "org.kde.StatusNotifierItem")
        item.Activate(dbus.Int32(10), dbus.Int32(10))
        check(app.expect("panel shown", pump=pump) is not None, "Activate opens the panel")

        nodes = wait_for(app.process.pid, lambda ns: ("push button", "Hold to talk") in ns)
        check(("push button", "Hold to talk") in nodes, "the talk button reads \"Hold to talk\"")
        for text in ["Hollerhopper", "on air", "On this network (0)", "No one else yet"]:
            check(any(n == text for _, n in nodes), "the text \"%s\" is read" % text)
        for button in ["Settings", "Mute"]:
            check(("push button", button) in nodes, "the %s button has a name" % button)
        check(all(n for r, n in nodes if r in ("push button", "label", "static")), "every button and text has a name")

        app.send("perms granted unknown")
        label = "Hold to talk \u2014 permissions needed"
        nodes = wait_for(app.process.pid, lambda ns: ("push button", label) in ns)
        check(("push button", label) in nodes, "without the permissions it reads \"%s\"" % label)

        app.send("perms denied denied")
        banner = "Microphone & Local Network access needed \u2014 tap to fix"
        nodes = wait_for(app.process.pid, lambda ns: ("push button", banner) in ns)
        check(("push button", banner) in nodes, "the banner is a button named by its text")

        app.send("peers Ada,Kitchen")
        app.send("talk Ada")
        talking = "Ada is talking\u2026"
        nodes = wait_for(app.process.pid, lambda ns: any(n == talking for _, n in ns))
        check(any(n == talking for _, n in nodes), "the status line reads \"%s\"" % talking)
        check(any(n == "Kitchen" for _, n in nodes), "peer names are read")
    finally:
        app.stop()
    print("%d failure(s)" % len(failures))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
