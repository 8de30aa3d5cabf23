#!/usr/bin/python3
"""Reads the walkie panel as a screen reader does, over AT-SPI.

Opens the panel from the status item (the same popup users get) and walks the
accessibility tree: the talk button's name with and without the permissions,
the status line while a peer talks, and a name for every button and text.

Usage: atspi_test.py HARNESS (under with_display.sh).
"""
import os
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import dbus  # noqa: E402
import pyatspi  # noqa: E402

from sni_test import SNI, Harness, check, failures, open_tray_session  # noqa: E402


def showing(node, depth=0):
    """(role, name) of every showing node under `node`."""
    try:
        out = [(node.getRoleName(), node.name or "")] if node.getState().contains(pyatspi.STATE_SHOWING) else []
        children = [node.getChildAtIndex(i) for i in range(node.childCount)] if depth < 40 else []
    except Exception:
        return []
    return out + [n for c in children if c is not None for n in showing(c, depth + 1)]


def wait_for(pid, predicate, timeout=10):
    """The panel's showing nodes once `predicate` holds for them, else the last read."""
    deadline = time.monotonic() + timeout
    nodes = []
    while time.monotonic() < deadline:
        desktop = pyatspi.Registry.getDesktop(0)
        for app in (desktop.getChildAtIndex(i) for i in range(desktop.childCount)):
            try:
                if app is not None and app.get_process_id() == pid:
                    nodes = showing(app)
            except Exception:
                continue
        if predicate(nodes):
            break
        time.sleep(0.2)
    return nodes


def named(name):
    return lambda nodes: any(n == name for _, n in nodes)


def main():
    _, item = open_tray_session()
    app = Harness(sys.argv[1], dict(os.environ, QT_LINUX_ACCESSIBILITY_ALWAYS_ON="1", QT_ACCESSIBILITY="1"))
    try:
        check(app.expect("ready tray=1") is not None, "the program has a status item")
        dbus.Interface(item(), SNI).Activate(dbus.Int32(10), dbus.Int32(10))
        check(app.expect("panel shown") is not None, "Activate opens the panel")

        nodes = wait_for(app.process.pid, lambda ns: ("push button", "Hold to talk") in ns)
        check(("push button", "Hold to talk") in nodes, "the talk button reads \"Hold to talk\"")
        for text in ["Hollerhopper", "on air", "On this network (0)", "No one else yet"]:
            check(named(text)(nodes), "the text \"%s\" is read" % text)
        for button in ["Settings", "Mute"]:
            check(("push button", button) in nodes, "the %s button has a name" % button)
        check(all(n for r, n in nodes if r in ("push button", "label", "static")), "every button and text has a name")

        for perms, button in [("granted unknown", "Hold to talk \u2014 permissions needed"),
                              ("denied denied", "Microphone & Local Network access needed \u2014 tap to fix")]:
            app.send("perms " + perms)
            nodes = wait_for(app.process.pid, lambda ns: ("push button", button) in ns)
            check(("push button", button) in nodes, "with permissions %s a button reads \"%s\"" % (perms, button))

        app.send("peers Ada,Kitchen")
        app.send("talk Ada")
        nodes = wait_for(app.process.pid, named("Ada is talking\u2026"))
        check(named("Ada is talking\u2026")(nodes), "the status line reads \"Ada is talking\u2026\"")
        check(named("Kitchen")(nodes), "peer names are read")
    finally:
        app.stop()
    print("%d failure(s)" % len(failures))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
