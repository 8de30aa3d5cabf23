#!/usr/bin/python3
"""Drives the tray program on fakes as a desktop does: over D-Bus as the
StatusNotifierWatcher (the panel's Activate, its dbusmenu menu, the icon's
name and pixels on a black and a white panel) and as the settings portal (a
light or dark desktop), and its push-to-talk key on X11 with xdotool (Caps Lock on, the key
kept across a restart). (The panel read over AT-SPI, and the key held over
another program's window with auto-repeat: app_lab.sh and hotkey_lab.sh, on the
real program; Space and Escape on the panel: tst_walkie.qml.)
Usage: tray_test.py HARNESS (under with_display.sh)."""
import os
import queue
import subprocess
import sys
import tempfile
import threading
import time

import dbus
import dbus.mainloop.glib
import dbus.service
from gi.repository import GLib

WATCHER = "org.kde.StatusNotifierWatcher"
SNI = "org.kde.StatusNotifierItem"
WATCHER_PROPERTIES = ('<property name="RegisteredStatusNotifierItems" type="as" access="read"/>'
                      '<property name="IsStatusNotifierHostRegistered" type="b" access="read"/>'
                      '<property name="ProtocolVersion" type="i" access="read"/>')
failures = []


def check(condition, what):
    print(("ok   " if condition else "FAIL ") + what, flush=True)
    if not condition:
        failures.append(what)
    return condition


def pump():
    while GLib.MainContext.default().iteration(False):
        pass


def poll(predicate, timeout=10):
    """Runs the D-Bus main loop until `predicate()` gives a true value; returns it."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        pump()
        value = predicate()
        if value:
            return value
        time.sleep(0.05)
    return predicate()


class Watcher(dbus.service.Object):
    """A minimal StatusNotifierWatcher; `items` holds (bus name, path) per item."""

    def __init__(self, bus):
        super().__init__(bus, "/StatusNotifierWatcher")
        self.items = []

    @dbus.service.method(dbus.INTROSPECTABLE_IFACE, out_signature="s", path_keyword="path",
                         connection_keyword="connection")
    def Introspect(self, path, connection):
        # Qt reads the watcher's properties only if its introspection data lists them.
        return dbus.service.Object.Introspect(self, path, connection).replace(
            '<interface name="%s">' % WATCHER, '<interface name="%s">%s' % (WATCHER, WATCHER_PROPERTIES))

    @dbus.service.method(WATCHER, in_signature="s", sender_keyword="sender")
    def RegisterStatusNotifierItem(self, service, sender=None):
        # Either a bus name (then the path is /StatusNotifierItem) or a path.
        self.items.append((sender, service) if service.startswith("/") else (service, "/StatusNotifierItem"))

    @dbus.service.method(WATCHER, in_signature="s")
    def RegisterStatusNotifierHost(self, service):
        pass

    @dbus.service.method(dbus.PROPERTIES_IFACE, in_signature="ss", out_signature="v")
    def Get(self, interface, name):
        return {"RegisteredStatusNotifierItems": dbus.Array([i[0] for i in self.items], signature="s"),
                "IsStatusNotifierHostRegistered": dbus.Boolean(True), "ProtocolVersion": dbus.Int32(0)}[name]


def end_program(app):
    """Ends a program started with Popen: politely, then by force."""
    app.terminate()
    try:
        app.wait(timeout=10)
    except subprocess.TimeoutExpired:
        app.kill()
        app.wait()


def open_tray_session():
    """The session bus with our watcher on it, and a function giving the
    registered item's D-Bus object (None if none came within `timeout`)."""
    dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)
    session = dbus.SessionBus()
    session.request_name(WATCHER)
    watcher = Watcher(session)

    def item(timeout=10, count=1):
        """The `count`th program's item (the latest registered once there are that many)."""
        if not poll(lambda: len(watcher.items) >= count, timeout):
            return None
        return session.get_object(*watcher.items[-1])  # the latest program's
    return session, item


class Harness:
    """The tray program with its stdout read line by line in a thread."""

    def __init__(self, path, env):
        self.process = subprocess.Popen([path], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                        stderr=subprocess.PIPE, env=env, text=True)
        self.lines = queue.Queue()
        self.stderr = []
        for stream, sink in ((self.process.stdout, self.lines.put), (self.process.stderr, self.stderr.append)):
            threading.Thread(target=lambda s=stream, k=sink: [k(l.rstrip("\n")) for l in s], daemon=True).start()

    def send(self, command, reply=None):
        self.process.stdin.write(command + "\n")
        self.process.stdin.flush()
        return self.expect(reply or "ok " + command.split(" ")[0])

    def _lines(self, seconds):
        """The lines printed within `seconds`, as they come (the D-Bus loop runs meanwhile)."""
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            pump()
            try:
                yield self.lines.get(timeout=0.05)
            except queue.Empty:
                pass

    def drain(self, settle=0.3):
        return list(self._lines(settle))

    def expect(self, prefix, timeout=10):
        """Waits for a line starting with `prefix`; returns it or None."""
        return next((line for line in self._lines(timeout) if line.startswith(prefix)), None)

    def stop(self):
        if self.process.poll() is None:
            self.process.kill()
        self.process.wait()


def main():
    harness_path = sys.argv[1]
    session, item = open_tray_session()
    app = Harness(harness_path, dict(os.environ))
    try:
        check(app.expect("ready tray=1") is not None, "with a watcher the program has a status item")
        sni = item()
        if check(sni is not None, "the item registers with the watcher"):
            run(app, session, sni)
    finally:
        app.stop()
    light_and_dark(harness_path, session, item)
    with tempfile.TemporaryDirectory() as root:
        x11(harness_path, root)
    print("%d failure(s)" % len(failures))
    return 1 if failures else 0


def run(app, session, sni):
    props = dbus.Interface(sni, dbus.PROPERTIES_IFACE)

    check(any(int(w) >= 16 for w, _, _ in props.Get(SNI, "IconPixmap")), "the icon has pixels")
    activate = dbus.Interface(sni, SNI).Activate
    activate(dbus.Int32(10), dbus.Int32(10))
    # (The harness ends at start if the panel was made before it was needed.)
    check(app.expect("panel created") is not None and app.expect("panel shown") is not None,
          "the first Activate makes the panel and opens it")
    activate(dbus.Int32(10), dbus.Int32(10))
    check(app.expect("panel hidden") is not None, "a second Activate closes it")

    menu = dbus.Interface(session.get_object(sni.bus_name, props.Get(SNI, "Menu")), "com.canonical.dbusmenu")

    def entries():
        """The visible entries: {label or "-" for a separator: (id, toggle type, toggle state)}, in order."""
        pump()
        menu.AboutToShow(dbus.Int32(0))
        _, layout = menu.GetLayout(dbus.Int32(0), dbus.Int32(-1), dbus.Array([], signature="s"))
        return {("-" if p.get("type") == "separator" else str(p.get("label", "")).replace("_", "")):
                (int(ident), str(p.get("toggle-type", "")), int(p.get("toggle-state", -1)))
                for ident, p, _ in layout[2] if bool(p.get("visible", True))}

    def click(label):
        menu.Event(dbus.Int32(entries()[label][0]), "clicked", dbus.Int32(0, variant_level=1), dbus.UInt32(0))

    items = entries()
    check(list(items) == ["Mute", "Talk sounds", "Noise suppression", "Settings", "-", "Start at login", "Quit Hollerhopper"],
          "the menu reads Mute, Talk sounds, Noise suppression, Settings, separators, Start at login, Quit: %s" % list(items))
    check(items["Mute"][1:] == ("checkmark", 0), "Mute is an unchecked check item")
    click("Mute")
    check(app.expect("event muted 1") is not None, "clicking Mute mutes")
    check(entries().get("Unmute", (0,))[1:] == ("checkmark", 1), "the entry now reads Unmute and is checked")
    click("Unmute")
    check(app.expect("event muted 0") is not None, "clicking Unmute unmutes")

    start_at_login(entries, click)
    second_launch(app)

    click("Settings")
    check(app.expect("panel shown") is not None, "Settings opens the panel")
    check(app.send("view", "showSettings").startswith("showSettings 1"), "and shows its settings view")
    app.send("hide")
    activate(dbus.Int32(10), dbus.Int32(10))
    check(app.expect("panel shown") is not None and app.send("view", "showSettings").startswith("showSettings 0"),
          "closed and opened again, it shows the talk view")
    click("Quit Hollerhopper")
    check(poll(lambda: app.process.poll() is not None) and app.process.returncode == 0, "Quit ends the program")


def start_at_login(entries, click):
    """The check item writes and removes $XDG_CONFIG_HOME/autostart/hollerhopper.desktop."""
    entry = os.path.join(os.environ["XDG_CONFIG_HOME"], "autostart", "hollerhopper.desktop")
    click("Start at login")
    check(poll(lambda: os.path.exists(entry)) and entries()["Start at login"][2] == 1,
          "checking Start at login writes the autostart entry and checks the item")
    click("Start at login")
    check(poll(lambda: not os.path.exists(entry)) and entries()["Start at login"][2] == 0,
          "unchecking it removes the entry and unchecks the item")


def second_launch(app):
    """Another launch on this display opens the running copy's panel and exits 0."""
    second = subprocess.run([app.process.args[0]], capture_output=True, text=True, timeout=30)
    check(second.returncode == 0 and "already running" in second.stdout,
          "a second launch says so and exits 0 (%d %s)" % (second.returncode, second.stderr.strip()))
    check(app.expect("panel shown") is not None and app.process.poll() is None,
          "the running copy opens its panel and keeps running")
    app.send("hide")


PORTAL_SETTINGS = "org.freedesktop.portal.Settings"


class SettingsPortal(dbus.service.Object):
    """The desktop's settings portal with only its colour scheme (1: dark, 2: light)."""

    def __init__(self, bus):
        super().__init__(dbus.service.BusName("org.freedesktop.portal.Desktop", bus), "/org/freedesktop/portal/desktop")
        self.scheme = 1

    @dbus.service.method(PORTAL_SETTINGS, in_signature="ss", out_signature="v")
    def Read(self, namespace, key):
        return dbus.UInt32(self.scheme, variant_level=2)  # Read wraps the value once more

    @dbus.service.signal(PORTAL_SETTINGS, signature="ssv")
    def SettingChanged(self, namespace, key, value):
        self.scheme = int(value)


def light_and_dark(harness_path, session, item):
    """The status icon and the panel follow the desktop's colour scheme from
    the settings portal: a symbolic icon name installed with the program, and
    pixels that show on a black and on a white panel in either scheme."""
    portal = SettingsPortal(session)
    app = Harness(harness_path, dict(os.environ))
    try:
        props = dbus.Interface(item(count=2), dbus.PROPERTIES_IFACE)
        icons = os.path.join(os.path.dirname(os.path.abspath(__file__)), "../../../../app/icons/status")
        bodies = []
        # Dark as read at start, then light when the desktop says so.
        for scheme, dark, name in ((1, 1, "hollerhopper-idle-dark-symbolic"), (2, 0, "hollerhopper-idle-symbolic")):
            if scheme != portal.scheme:
                portal.SettingChanged("org.freedesktop.appearance", "color-scheme", dbus.UInt32(scheme))
            check(poll(lambda: props.Get(SNI, "IconName") == name) and os.path.exists(os.path.join(icons, name + ".svg")),
                  "scheme %d: the icon is %s, installed with the program" % (scheme, name))
            width, height, data = max(props.Get(SNI, "IconPixmap"), key=lambda p: int(p[0]))
            # (alpha, luminance) per pixel, both 0..1 (ARGB in network order)
            pixels = [(data[i] / 255, (0.2126 * data[i + 1] + 0.7152 * data[i + 2] + 0.0722 * data[i + 3]) / 255)
                      for i in range(0, len(data), 4)]
            seen = [sum(1 for a, y in pixels if abs(y * a + panel * (1 - a) - panel) > 0.5) for panel in (0, 1)]
            check(min(seen) >= 20, "scheme %d: the icon shows on a black panel and a white one (%s pixels)" % (scheme, seen))
            bodies.append(pixels[int(width) * (int(height) * 5 // 8) + int(width) // 2])  # the walkie's solid body
            check(app.send("view", "showSettings").endswith("dark %d" % dark), "scheme %d: the panel follows" % scheme)
        check(bodies[1][1] < 0.2 and bodies[0][1] > 0.8 and min(bodies)[0] > 0.9,
              "the glyph is dark on a light desktop, light on a dark one: %s" % bodies)
    finally:
        app.stop()
        portal.remove_from_connection()  # the bus name goes with the object's BusName
        session.release_name("org.freedesktop.portal.Desktop")


def xdotool(*args):
    subprocess.run(["xdotool"] + list(args), check=True)


def hold(app, key, seconds=0.3):
    """(begins, ends) the program reported for one hold of `key`."""
    xdotool("keydown", key)
    time.sleep(seconds)
    xdotool("keyup", key)
    lines = app.drain(0.8)
    return lines.count("event beginTalking"), lines.count("event endTalking")


def start(path, config):
    return Harness(path, dict(os.environ, XDG_CONFIG_HOME=config))


def x11(path, root):
    first = os.path.join(root, "first")
    app = start(path, first)
    try:
        check(app.expect("hotkey ready Pause", timeout=10) is not None, "the program grabs the default key, Pause")
        xdotool("key", "Caps_Lock")
        check(hold(app, "Pause") == (1, 1), "with Caps Lock on, a hold is one begin and one end")
        xdotool("key", "Caps_Lock")

        # A key chosen in Settings survives a restart.
        app.send("setkey ctrl+F9")
        check(app.expect("hotkey ready ctrl+F9") is not None, "ctrl+F9 becomes the key")
        app.send("quit")
        app.process.wait(timeout=10)
        app = start(path, first)
        check(app.expect("hotkey ready ctrl+F9", timeout=10) is not None, "after a restart the key is still ctrl+F9")
        check(hold(app, "ctrl+F9") == (1, 1), "and holding it talks")
    finally:
        app.stop()


if __name__ == "__main__":
    sys.exit(main())
