#!/usr/bin/python3
"""Drives the tray program on fakes as a desktop panel does, over D-Bus: as
the StatusNotifierWatcher (the panel's Activate, its dbusmenu menu, the icon's
pixels) and as logind (a wake from sleep), and reads the panel as a screen
reader does, over AT-SPI; first without any tray at all.
Usage: tray_test.py HARNESS (under with_display.sh)."""
import os
import queue
import subprocess
import sys
import threading
import time

import dbus
import dbus.mainloop.glib
import dbus.service
import pyatspi
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

    def item(timeout=10):
        if not poll(lambda: watcher.items, timeout):
            return None
        return session.get_object(*watcher.items[0])
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

    def _next(self):
        pump()
        try:
            return self.lines.get(timeout=0.05)
        except queue.Empty:
            return None

    def drain(self, settle=0.3):
        """The lines printed within `settle` seconds."""
        deadline = time.monotonic() + settle
        got = []
        while time.monotonic() < deadline:
            got.append(self._next())
        return [l for l in got if l is not None]

    def expect(self, prefix, timeout=10):
        """Waits for a line starting with `prefix`; returns it or None."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            line = self._next()
            if line is not None and line.startswith(prefix):
                return line
        return None

    def stop(self):
        if self.process.poll() is None:
            self.process.kill()
        self.process.wait()


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


class Login1(dbus.service.Object):
    @dbus.service.signal("org.freedesktop.login1.Manager", signature="b")
    def PrepareForSleep(self, start):
        pass


def main():
    harness_path = sys.argv[1]
    # Without any tray: the panel as a window, said once.
    plain = Harness(harness_path, dict(os.environ))
    check(plain.expect("ready tray=0") is not None, "without a tray the program runs without a status item")
    plain.send("quit")
    check(plain.process.wait(timeout=10) == 0, "the fallback program quits cleanly")
    check(sum("no system tray" in l for l in plain.stderr) == 1, "it says once that it shows a window instead")

    # logind's sleep signal comes from the session bus, standing in for the system bus.
    session, item = open_tray_session()
    session.request_name("org.freedesktop.login1")
    login1 = Login1(session, "/org/freedesktop/login1")
    os.environ["XDG_CONFIG_HOME"] = os.path.join(os.environ["XDG_RUNTIME_DIR"], "config")
    app = Harness(harness_path, dict(os.environ, DBUS_SYSTEM_BUS_ADDRESS=os.environ["DBUS_SESSION_BUS_ADDRESS"],
                                     QT_LINUX_ACCESSIBILITY_ALWAYS_ON="1", QT_ACCESSIBILITY="1"))
    try:
        check(app.expect("ready tray=1") is not None, "with a watcher the program has a status item")
        sni = item()
        if check(sni is not None, "the item registers with the watcher"):
            run(app, session, sni, login1)
    finally:
        app.stop()
    print("%d failure(s)" % len(failures))
    return 1 if failures else 0


def run(app, session, sni, login1):
    props = dbus.Interface(sni, dbus.PROPERTIES_IFACE)

    def icon():
        app.drain(0.3)
        return [(int(w), int(h), bytes(data)) for w, h, data in props.Get(SNI, "IconPixmap")]

    mono = icon()
    check(any(w >= 16 for w, _, _ in mono), "the icon has pixels")
    activate = dbus.Interface(sni, SNI).Activate
    activate(dbus.Int32(10), dbus.Int32(10))
    # (The harness ends at start if the panel was made before it was needed.)
    check(app.expect("panel created") is not None and app.expect("panel shown") is not None,
          "the first Activate makes the panel and opens it")
    read_panel(app)
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
    check([items[e][1:] for e in ("Mute", "Talk sounds", "Start at login")] == [("checkmark", 0), ("checkmark", 1),
                                                                               ("checkmark", 0)],
          "Mute unchecked, the sounds on, Start at login unchecked")
    click("Mute")
    check(app.expect("event muted 1") is not None, "clicking Mute mutes")
    check(entries().get("Unmute", (0,))[1:] == ("checkmark", 1), "the entry now reads Unmute and is checked")
    muted_icon = icon()
    check(muted_icon != mono, "the icon changes when muted")
    app.send("talk Ada")
    check(icon() not in (muted_icon, mono), "the icon turns green while someone talks")
    app.send("silence")
    click("Unmute")
    check(app.expect("event muted 0") is not None, "clicking Unmute unmutes")
    check(icon() == mono, "the plain icon is back")

    # Waking from sleep refreshes the transport once; going to sleep does not.
    login1.PrepareForSleep(True)
    login1.PrepareForSleep(False)
    check(app.drain(1.0).count("event refreshTransport") == 1, "one transport refresh per wake")

    start_at_login(entries, click)
    second_launch(app)

    click("Settings")
    check(app.expect("panel shown") is not None, "Settings opens the panel")
    check(app.send("view", "showSettings") == "showSettings 1", "and shows its settings view")
    click("Quit Hollerhopper")
    check(poll(lambda: app.process.poll() is not None) and app.process.returncode == 0, "Quit ends the program")


def start_at_login(entries, click):
    """The check item writes and removes $XDG_CONFIG_HOME/autostart/hollerhopper.desktop."""
    entry = os.path.join(os.environ["XDG_CONFIG_HOME"], "autostart", "hollerhopper.desktop")
    click("Start at login")
    check(poll(lambda: os.path.exists(entry)) and entries()["Start at login"][2] == 1,
          "checking Start at login writes the autostart entry and checks the item")
    valid = subprocess.run(["desktop-file-validate", entry], capture_output=True, text=True)
    check(valid.returncode == 0 and not valid.stdout.strip(), "the entry is a valid desktop entry " + valid.stdout)
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


def read_panel(app):
    """The open panel as a screen reader reads it."""
    button = named("Hold to talk", "push button")
    nodes = wait_for(app.process.pid, button)
    check(button(nodes), "the talk button reads \"Hold to talk\"")
    check(all(n for r, n in nodes if r in ("push button", "label", "static")), "every button and text has a name")
    app.send("perms granted unknown")
    needed = named("Hold to talk \u2014 permissions needed", "push button")
    check(needed(wait_for(app.process.pid, needed)), "without the permissions it says they are needed")
    app.send("perms granted granted")
    # (The status line while a peer talks: app_lab.sh, on the real program.)


if __name__ == "__main__":
    sys.exit(main())
