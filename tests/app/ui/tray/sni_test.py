#!/usr/bin/python3
"""Drives the tray program as a desktop panel does, over D-Bus.

Acts as the StatusNotifierWatcher (and host) on the session bus and as logind
on a private "system" bus, starts the tray program on fakes, and checks: the
item registers; Activate opens and closes the panel; the menu over
com.canonical.dbusmenu has the four entries with the right labels and check
state before and after Mute; its entries mute, open the settings and quit; the
icon pixels change with mute and with talking; a wake from sleep refreshes the
transport once. Before all that, without any tray, the program shows its panel
as a window and says so.

Usage: sni_test.py HARNESS (under with_display.sh).
"""
import os
import queue
import subprocess
import sys
import threading
import time

import dbus
import dbus.mainloop.glib
import dbus.service
from gi.repository import GLib

WATCHER = "org.kde.StatusNotifierWatcher"
WATCHER_XML = """<!DOCTYPE node PUBLIC "-//freedesktop//DTD D-BUS Object Introspection 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/introspect.dtd">
<node>
  <interface name="org.kde.StatusNotifierWatcher">
    <method name="RegisterStatusNotifierItem"><arg name="service" type="s" direction="in"/></method>
    <method name="RegisterStatusNotifierHost"><arg name="service" type="s" direction="in"/></method>
    <property name="RegisteredStatusNotifierItems" type="as" access="read"/>
    <property name="IsStatusNotifierHostRegistered" type="b" access="read"/>
    <property name="ProtocolVersion" type="i" access="read"/>
    <signal name="StatusNotifierItemRegistered"><arg type="s"/></signal>
    <signal name="StatusNotifierItemUnregistered"><arg type="s"/></signal>
    <signal name="StatusNotifierHostRegistered"/>
  </interface>
  <interface name="org.freedesktop.DBus.Properties">
    <method name="Get"><arg type="s" direction="in"/><arg type="s" direction="in"/><arg type="v" direction="out"/></method>
    <method name="GetAll"><arg type="s" direction="in"/><arg type="a{sv}" direction="out"/></method>
  </interface>
  <interface name="org.freedesktop.DBus.Introspectable">
    <method name="Introspect"><arg type="s" direction="out"/></method>
  </interface>
</node>"""

failures = []


def check(condition, what):
    print(("ok   " if condition else "FAIL ") + what, flush=True)
    if not condition:
        failures.append(what)


class Watcher(dbus.service.Object):
    """A minimal StatusNotifierWatcher. Qt reads its properties through
    introspection, so the introspection data must list them."""

    def __init__(self, bus, registered):
        super().__init__(bus, "/StatusNotifierWatcher")
        self.items = []
        self.registered = registered

    @dbus.service.method("org.freedesktop.DBus.Introspectable", out_signature="s")
    def Introspect(self):
        return WATCHER_XML

    @dbus.service.method(WATCHER, in_signature="s", sender_keyword="sender")
    def RegisterStatusNotifierItem(self, service, sender=None):
        # Either a bus name (then the path is /StatusNotifierItem) or a path.
        if service.startswith("/"):
            self.items.append((sender, service))
        else:
            self.items.append((service, "/StatusNotifierItem"))
        self.registered.put(self.items[-1])
        self.StatusNotifierItemRegistered(service)

    @dbus.service.method(WATCHER, in_signature="s")
    def RegisterStatusNotifierHost(self, service):
        pass

    @dbus.service.signal(WATCHER, signature="s")
    def StatusNotifierItemRegistered(self, service):
        pass

    def props(self):
        return {
            "RegisteredStatusNotifierItems": dbus.Array([i[0] for i in self.items], signature="s"),
            "IsStatusNotifierHostRegistered": dbus.Boolean(True),
            "ProtocolVersion": dbus.Int32(0),
        }

    @dbus.service.method(dbus.PROPERTIES_IFACE, in_signature="ss", out_signature="v")
    def Get(self, interface, name):
        return self.props()[name]

    @dbus.service.method(dbus.PROPERTIES_IFACE, in_signature="s", out_signature="a{sv}")
    def GetAll(self, interface):
        return self.props()


class Login1(dbus.service.Object):
    def __init__(self, bus):
        super().__init__(bus, "/org/freedesktop/login1")

    @dbus.service.signal("org.freedesktop.login1.Manager", signature="b")
    def PrepareForSleep(self, start):
        pass


class Harness:
    """The tray program with its stdout read line by line in a thread."""

    def __init__(self, path, env):
        self.process = subprocess.Popen([path], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                        stderr=subprocess.PIPE, env=env, text=True)
        self.lines = queue.Queue()
        self.stderr = []
        threading.Thread(target=self._read, args=(self.process.stdout, self.lines.put), daemon=True).start()
        threading.Thread(target=self._read, args=(self.process.stderr, self.stderr.append), daemon=True).start()

    @staticmethod
    def _read(stream, sink):
        for line in stream:
            sink(line.rstrip("\n"))

    def send(self, command):
        self.process.stdin.write(command + "\n")
        self.process.stdin.flush()
        self.expect("ok " + command.split(" ")[0])

    def expect(self, prefix, timeout=10, pump=None):
        """Waits for a line starting with `prefix`; returns it or None."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if pump:
                pump()
            try:
                line = self.lines.get(timeout=0.05)
            except queue.Empty:
                continue
            if line.startswith(prefix):
                return line
        return None

    def drain(self, settle=0.3, pump=None):
        """Collects the lines printed within `settle` seconds."""
        got = []
        deadline = time.monotonic() + settle
        while time.monotonic() < deadline:
            if pump:
                pump()
            try:
                got.append(self.lines.get(timeout=0.05))
            except queue.Empty:
                pass
        return got

    def stop(self):
        if self.process.poll() is None:
            self.process.kill()
        self.process.wait()


def main():
    harness_path = sys.argv[1]
    dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)
    context = GLib.MainContext.default()

    def pump():
        while context.iteration(False):
            pass

    # Without any tray: the panel as a window, said once.
    plain = Harness(harness_path, dict(os.environ))
    check(plain.expect("ready tray=0") is not None, "without a tray the program runs without a status item")
    time.sleep(0.5)
    check(sum("no system tray" in l for l in plain.stderr) == 1, "it says once that it shows a window instead")
    plain.send("quit")
    check(plain.process.wait(timeout=10) == 0, "the fallback program quits cleanly")

    # A private system bus for logind's sleep signal.
    system_bus_daemon = subprocess.Popen(["dbus-daemon", "--session", "--nofork", "--print-address=1"],
                                         stdout=subprocess.PIPE, text=True)
    system_address = system_bus_daemon.stdout.readline().strip()
    try:
        system_bus = dbus.bus.BusConnection(system_address)
        system_bus.request_name("org.freedesktop.login1")
        login1 = Login1(system_bus)

        session = dbus.SessionBus()
        registered = queue.Queue()
        session.request_name(WATCHER)
        watcher = Watcher(session, registered)

        env = dict(os.environ, DBUS_SYSTEM_BUS_ADDRESS=system_address)
        app = Harness(harness_path, env)
        try:
            run(app, session, registered, login1, pump)
        finally:
            app.stop()
        del watcher
    finally:
        system_bus_daemon.kill()
        system_bus_daemon.wait()

    print("%d failure(s)" % len(failures))
    return 1 if failures else 0


def run(app, session, registered, login1, pump):
    check(app.expect("ready tray=1", pump=pump) is not None, "with a watcher the program has a status item")
    item = None
    deadline = time.monotonic() + 10
    while item is None and time.monotonic() < deadline:
        pump()
        try:
            item = registered.get(timeout=0.05)
        except queue.Empty:
            pass
    check(item is not None, "the item registers with the watcher")
    if item is None:
        return
    service, path = item
    sni = session.get_object(service, path)
    props = dbus.Interface(sni, dbus.PROPERTIES_IFACE)
    SNI = "org.kde.StatusNotifierItem"

    def icon():
        pump()
        pixmaps = props.Get(SNI, "IconPixmap")
        return [(int(w), int(h), bytes(data)) for w, h, data in pixmaps]

    def settled_icon():
        app.drain(0.3, pump)
        return icon()

    activate = dbus.Interface(sni, SNI)
    mono = settled_icon()
    check(len(mono) > 0 and any(w >= 16 for w, _, _ in mono), "the icon has pixels")

    # Activate toggles the panel.
    activate.Activate(dbus.Int32(10), dbus.Int32(10))
    check(app.expect("panel shown", pump=pump) is not None, "Activate opens the panel")
    activate.Activate(dbus.Int32(10), dbus.Int32(10))
    check(app.expect("panel hidden", pump=pump) is not None, "a second Activate closes it")

    # The menu.
    menu_path = props.Get(SNI, "Menu")
    menu = dbus.Interface(session.get_object(service, menu_path), "com.canonical.dbusmenu")

    def entries():
        pump()
        menu.AboutToShow(dbus.Int32(0))
        _, layout = menu.GetLayout(dbus.Int32(0), dbus.Int32(-1), dbus.Array([], signature="s"))
        result = []
        for child in layout[2]:
            ident, p, _ = child
            visible = bool(p.get("visible", True))
            if not visible:
                continue
            result.append({"id": int(ident), "label": str(p.get("label", "")).replace("_", ""),
                           "type": str(p.get("type", "standard")),
                           "toggle": str(p.get("toggle-type", "")), "state": int(p.get("toggle-state", -1))})
        return result

    def by_label(items, label):
        return next((e for e in items if e["label"] == label), None)

    items = entries()
    check([e["label"] if e["type"] != "separator" else "-" for e in items]
          == ["Mute", "Settings", "-", "Quit Hollerhopper"], "the menu reads Mute, Settings, separator, Quit")
    mute = by_label(items, "Mute")
    check(mute is not None and mute["toggle"] == "checkmark" and mute["state"] == 0, "Mute is unchecked")

    menu.Event(dbus.Int32(mute["id"]), "clicked", dbus.Int32(0, variant_level=1), dbus.UInt32(0))
    check(app.expect("event muted 1", pump=pump) is not None, "clicking Mute mutes")
    items = entries()
    unmute = by_label(items, "Unmute")
    check(unmute is not None and unmute["state"] == 1, "the entry now reads Unmute and is checked")
    muted_icon = settled_icon()
    check(muted_icon != mono, "the icon changes when muted")

    app.send("talk Ada")
    talking_icon = settled_icon()
    check(talking_icon != muted_icon and talking_icon != mono, "the icon turns green while someone talks")
    app.send("silence")
    check(settled_icon() == muted_icon, "and back when they stop")
    app.send("transmit 1")
    check(settled_icon() == talking_icon, "it is green while we transmit, muted or not")
    app.send("transmit 0")

    menu.Event(dbus.Int32(unmute["id"]), "clicked", dbus.Int32(0, variant_level=1), dbus.UInt32(0))
    check(app.expect("event muted 0", pump=pump) is not None, "clicking Unmute unmutes")
    check(settled_icon() == mono, "the plain icon is back")

    # Waking from sleep refreshes the transport once; going to sleep does not.
    app.drain(0.2, pump)
    login1.PrepareForSleep(True)
    login1.PrepareForSleep(False)
    got = app.drain(1.0, pump)
    check(got.count("event refreshTransport") == 1, "one transport refresh per wake")

    settings = by_label(entries(), "Settings")
    menu.Event(dbus.Int32(settings["id"]), "clicked", dbus.Int32(0, variant_level=1), dbus.UInt32(0))
    got = app.drain(1.0, pump)
    check(any(l.startswith("panel shown") for l in got), "Settings opens the panel")
    check("showSettings 1" in got, "and shows its settings view")

    quit_entry = by_label(entries(), "Quit Hollerhopper")
    menu.Event(dbus.Int32(quit_entry["id"]), "clicked", dbus.Int32(0, variant_level=1), dbus.UInt32(0))
    deadline = time.monotonic() + 10
    while app.process.poll() is None and time.monotonic() < deadline:
        pump()
        time.sleep(0.05)
    check(app.process.poll() == 0, "Quit ends the program")


if __name__ == "__main__":
    sys.exit(main())
