#!/usr/bin/python3
"""The push-to-talk key of the tray program (on fakes) as a desktop delivers it.

X11: keys typed with xdotool with Caps Lock and Num Lock on (held over another
program's window, with auto-repeat: hotkey_lab.sh, end to end); a second
program asking for the same key; the key kept across a restart; a damaged
settings file; Space and Escape on the opened panel. Wayland: a stand-in
desktop portal on the session bus that implements GlobalShortcuts.
Usage: hotkey_test.py HARNESS (under with_display.sh).
"""
import os
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import dbus  # noqa: E402
import dbus.lowlevel  # noqa: E402
import dbus.service  # noqa: E402

from tray_test import SNI, Harness, check, failures, open_tray_session, poll, pump  # noqa: E402

PORTAL = "org.freedesktop.portal.Desktop"
PORTAL_PATH = "/org/freedesktop/portal/desktop"
SHORTCUTS = "org.freedesktop.portal.GlobalShortcuts"


def xdotool(*args):
    subprocess.run(["xdotool"] + list(args), check=True)


def talks(app, settle=0.8):
    """(begins, ends) the program reported within `settle` seconds."""
    lines = app.drain(settle)
    return lines.count("event beginTalking"), lines.count("event endTalking")


def hold(app, key, seconds=0.3):
    xdotool("keydown", key)
    time.sleep(seconds)
    xdotool("keyup", key)
    return talks(app)


def start(path, config, **extra):
    env = dict(os.environ, XDG_CONFIG_HOME=config, **extra)
    return Harness(path, env)


def x11(path, root, item):
    first = os.path.join(root, "first")
    app = start(path, first)
    try:
        check(app.expect("hotkey ready Pause", timeout=10) is not None, "the program grabs the default key, Pause")
        for lock in ("Caps_Lock", "Num_Lock"):
            xdotool("key", lock)
            check(hold(app, "Pause") == (1, 1), "with %s on, a hold is one begin and one end" % lock)
            xdotool("key", lock)

        # A second program asking for the same key: told in words, in Settings.
        # (Another program, not a second copy of ours: its own runtime directory
        # keeps our one-copy-per-display lock out of the way.)
        second = os.path.join(root, "second")
        os.makedirs(os.path.join(second, "run"), mode=0o700)
        other = start(path, second, XDG_RUNTIME_DIR=os.path.join(second, "run"))
        check(other.expect("hotkey conflict Pause", timeout=10) is not None, "a second program cannot have Pause")
        line = other.send("settings", "keyStatus")
        check(line == "keyStatus Another program already uses Pause. Choose another key.",
              "its Settings say so: %s" % line)
        other.stop()

        # The panel from the keyboard: the talk button has the focus on open.
        sni = item()
        if check(sni is not None, "the status item is registered"):
            dbus.Interface(sni, SNI).Activate(dbus.Int32(10), dbus.Int32(10))
            check(app.expect("panel active") is not None, "the panel opens and has the keyboard")
            check(hold(app, "space") == (1, 1), "Space held on the open panel: one begin, one end")
            xdotool("key", "Escape")
            check(app.expect("panel hidden") is not None, "Escape closes the panel")

        # A key chosen in Settings survives a restart.
        app.send("setkey ctrl+F9")
        check(app.expect("hotkey ready ctrl+F9") is not None, "ctrl+F9 becomes the key")
        app.send("quit")
        app.process.wait(timeout=10)
        app = start(path, first)
        check(app.expect("hotkey ready ctrl+F9", timeout=10) is not None, "after a restart the key is still ctrl+F9")
        check(hold(app, "ctrl+F9") == (1, 1), "and holding it talks")
        check(app.send("setkey ", "hotkey off") is not None, "the key can be cleared")
        check(hold(app, "ctrl+F9") == (0, 0), "a cleared key does nothing")
    finally:
        app.stop()

    # A damaged settings file: one message, the defaults, and a file that reads again.
    damaged = os.path.join(root, "damaged")
    os.makedirs(os.path.join(damaged, "hollerhopper"))
    conf = os.path.join(damaged, "hollerhopper", "hollerhopper.conf")
    with open(conf, "w") as f:
        f.write("[pushToTalk]\nkey=ctrl+\n[audio]\nmuted=perhaps\n")
    for run, damage_logged in ((1, 1), (2, 0)):
        app = start(path, damaged)
        try:
            check(app.expect("hotkey ready Pause", timeout=10) is not None, "start %d: the default key" % run)
            app.send("settings", "keyStatus")
            check(app.expect("settingsReset") == "settingsReset %d" % damage_logged,
                  "start %d: Settings say the settings were reset: %s" % (run, damage_logged == 1))
            app.send("quit")
            app.process.wait(timeout=10)
            poll(lambda: sum("damaged" in l for l in app.stderr) >= damage_logged, 2)  # the reader thread's last lines
            check(sum("damaged" in l for l in app.stderr) == damage_logged,
                  "start %d: the damage logged %d time(s)" % (run, damage_logged))
        finally:
            app.stop()
    check("key=Pause" in open(conf).read(), "the file holds the defaults now")


class Portal(dbus.service.Object):
    """A stand-in desktop portal with the GlobalShortcuts interface."""

    def __init__(self, bus):
        super().__init__(bus, PORTAL_PATH)
        self.bus = bus
        self.calls = []
        self.session = None

    def respond(self, sender, token, results):
        path = "/org/freedesktop/portal/desktop/request/%s/%s" % (sender[1:].replace(".", "_"), token)
        signal = dbus.lowlevel.SignalMessage(path, "org.freedesktop.portal.Request", "Response")
        signal.append(dbus.UInt32(0), dbus.Dictionary(results, signature="sv"), signature="ua{sv}")
        from gi.repository import GLib
        GLib.idle_add(lambda: self.bus.send_message(signal) and False)
        return dbus.ObjectPath(path)

    @dbus.service.method(dbus.PROPERTIES_IFACE, in_signature="ss", out_signature="v")
    def Get(self, interface, name):
        return dbus.UInt32(1, variant_level=1)

    @dbus.service.method(SHORTCUTS, in_signature="a{sv}", out_signature="o", sender_keyword="sender")
    def CreateSession(self, options, sender=None):
        self.calls.append("CreateSession")
        self.session = "/org/freedesktop/portal/desktop/session/%s/%s" % (
            sender[1:].replace(".", "_"), options["session_handle_token"])
        # An object path, as the interface's description has it (some portals send a string).
        return self.respond(sender, options["handle_token"], {"session_handle": dbus.ObjectPath(self.session)})

    @dbus.service.method(SHORTCUTS, in_signature="oa(sa{sv})sa{sv}", out_signature="o", sender_keyword="sender")
    def BindShortcuts(self, session, shortcuts, parent, options, sender=None):
        self.calls.append("BindShortcuts %s %s %s" % (session == self.session, shortcuts[0][0],
                                                     shortcuts[0][1].get("preferred_trigger")))
        return self.respond(sender, options["handle_token"], {"shortcuts": dbus.Array(shortcuts, signature="(sa{sv})")})

    @dbus.service.signal(SHORTCUTS, signature="osta{sv}")
    def Activated(self, session, shortcut, timestamp, options):
        pass

    @dbus.service.signal(SHORTCUTS, signature="osta{sv}")
    def Deactivated(self, session, shortcut, timestamp, options):
        pass

    def close_session(self):
        signal = dbus.lowlevel.SignalMessage(self.session, "org.freedesktop.portal.Session", "Closed")
        signal.append(dbus.Dictionary({}, signature="sv"), signature="a{sv}")
        self.bus.send_message(signal)


def portal(path, root, session):
    session.request_name(PORTAL)
    stand_in = Portal(session)
    app = start(path, os.path.join(root, "wayland"), XDG_SESSION_TYPE="wayland")
    try:
        check(app.expect("hotkey ready Pause", timeout=10) is not None, "under Wayland the portal binds the key")
        check(stand_in.calls == ["CreateSession", "BindShortcuts True push-to-talk Pause"],
              "it made a session and bound its shortcut in it: %s" % stand_in.calls)
        fire = lambda signal: (signal(dbus.ObjectPath(stand_in.session), "push-to-talk", dbus.UInt64(1), {}), pump())
        fire(stand_in.Activated)
        fire(stand_in.Activated)
        fire(stand_in.Deactivated)
        check(talks(app) == (1, 1), "Activated and Deactivated are one begin and one end")
        fire(stand_in.Activated)
        stand_in.close_session()
        pump()
        lines = app.drain(0.8)
        check((lines.count("event beginTalking"), lines.count("event endTalking")) == (1, 1),
              "a session closed mid-hold ends the hold")
        check("hotkey lost Pause" in lines, "and says the key is lost")
    finally:
        app.stop()
    session.release_name(PORTAL)
    pump()
    app = start(path, os.path.join(root, "noportal"), XDG_SESSION_TYPE="wayland")
    try:
        check(app.expect("hotkey unavailable", timeout=15) is not None, "without a portal the key is unavailable")
        line = app.send("settings", "keyStatus")
        check(line == "keyStatus This desktop does not offer global shortcuts: hold the talk button in this panel "
                      "instead.", "and Settings explain it: %s" % line)
    finally:
        app.stop()


def main():
    path = sys.argv[1]
    session, item = open_tray_session()
    with tempfile.TemporaryDirectory() as root:
        x11(path, root, item)
        portal(path, root, session)
    print("%d failure(s)" % len(failures))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
