#!/usr/bin/python3
"""Drives the tray program on fakes as a desktop does: over D-Bus as the
StatusNotifierWatcher (the panel's Activate, its dbusmenu menu, the icon's
pixels, the panel kept open while the key is held, with and without a window
manager), and its push-to-talk key on X11 with xdotool (Caps Lock on, the key
kept across a restart). (The panel read over AT-SPI, and the key held over
another program's window with auto-repeat: app_lab.sh and hotkey_lab.sh, on the
real program; Space and Escape on the panel: tst_walkie.qml.)
Usage: tray_test.py HARNESS (under with_display.sh)."""
import contextlib
import os
import queue
import subprocess
import sys
import tempfile
import threading
import time

import dbus
import dbus.lowlevel
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


PORTAL = "org.freedesktop.portal.Desktop"
SHORTCUTS = "org.freedesktop.portal.GlobalShortcuts"


class Portal(dbus.service.Object):
    """A stand-in desktop portal with the GlobalShortcuts interface, on the
    session bus while in a `with` block; with `refuse`, it refuses every binding."""

    def __init__(self, bus, refuse=False):
        super().__init__(bus, "/org/freedesktop/portal/desktop")
        self.bus, self.refuse, self.session, self.bound = bus, refuse, None, []

    def __enter__(self):
        self.bus.request_name(PORTAL)
        return self

    def __exit__(self, *_):
        self.bus.release_name(PORTAL)
        self.remove_from_connection()
        pump()

    def respond(self, sender, token, code, results):
        path = "/org/freedesktop/portal/desktop/request/%s/%s" % (sender[1:].replace(".", "_"), token)
        signal = dbus.lowlevel.SignalMessage(path, "org.freedesktop.portal.Request", "Response")
        signal.append(dbus.UInt32(code), dbus.Dictionary(results, signature="sv"), signature="ua{sv}")
        GLib.idle_add(lambda: self.bus.send_message(signal) and False)  # after the call's reply
        return dbus.ObjectPath(path)

    @dbus.service.method(dbus.PROPERTIES_IFACE, in_signature="ss", out_signature="v")
    def Get(self, interface, name):
        return dbus.UInt32(1, variant_level=1)

    @dbus.service.method(SHORTCUTS, in_signature="a{sv}", out_signature="o", sender_keyword="sender")
    def CreateSession(self, options, sender=None):
        self.session = "/org/freedesktop/portal/desktop/session/%s/%s" % (
            sender[1:].replace(".", "_"), options["session_handle_token"])
        return self.respond(sender, options["handle_token"], 0, {"session_handle": dbus.ObjectPath(self.session)})

    @dbus.service.method(SHORTCUTS, in_signature="oa(sa{sv})sa{sv}", out_signature="o", sender_keyword="sender")
    def BindShortcuts(self, session, shortcuts, parent, options, sender=None):
        if not self.refuse:
            self.bound.append((str(shortcuts[0][0]), str(shortcuts[0][1].get("preferred_trigger"))))
        return self.respond(sender, options["handle_token"], 1 if self.refuse else 0,
                            {"shortcuts": dbus.Array(shortcuts, signature="(sa{sv})")})

    @dbus.service.signal(SHORTCUTS, signature="osta{sv}")
    def Activated(self, session, shortcut, timestamp, options):
        pass

    @dbus.service.signal(SHORTCUTS, signature="osta{sv}")
    def Deactivated(self, session, shortcut, timestamp, options):
        pass

    def fire(self, signal):
        """Sends Activated or Deactivated for the bound shortcut."""
        signal(dbus.ObjectPath(self.session), self.bound[0][0], dbus.UInt64(1), dbus.Dictionary({}, signature="sv"))
        pump()


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
    with tempfile.TemporaryDirectory() as root:
        x11(harness_path, root)
        portal_explained(harness_path, root, session)
        session.release_name(WATCHER)  # from here on, a desktop without a tray
        window_mode(harness_path, root)
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
    key_over_panel(app, activate, "without a window manager")
    with window_manager():
        key_over_panel(app, activate, "under openbox")

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
    check(app.send("view", "showSettings") == "showSettings 1", "and shows its settings view")
    click("Quit Hollerhopper")
    check(poll(lambda: app.process.poll() is not None) and app.process.returncode == 0, "Quit ends the program")


def panel_mapped():
    """Whether the X server has a viewable window named Hollerhopper."""
    return panel_windows() != []


class window_manager:
    """openbox on the test's display while in a `with` block."""

    def __enter__(self):
        self.wm = subprocess.Popen(["openbox", "--sm-disable"], stderr=subprocess.DEVNULL)
        poll(lambda: "window id" in subprocess.run(["xprop", "-root", "_NET_SUPPORTING_WM_CHECK"],
                                                   capture_output=True, text=True).stdout)

    def __exit__(self, *_):
        end_program(self.wm)


def key_over_panel(app, activate, where):
    """The push-to-talk key's grab takes the keyboard from the open panel for
    the hold: the panel stays open; focus moving to another window still closes it."""
    time.sleep(0.5)  # an Activate just after the panel closed on focus loss is the click that closed it
    activate(dbus.Int32(10), dbus.Int32(10))
    check(app.expect("panel shown") is not None and poll(panel_mapped), "%s the panel opens" % where)
    xdotool("keydown", "Pause")
    lines = app.drain(1.0)  # longer than Qt waits for the focus to come back
    mapped = panel_mapped()
    xdotool("keyup", "Pause")
    lines += app.drain(0.5)
    check(lines.count("event beginTalking") == 1 and "panel hidden" not in lines and mapped,
          "%s holding Pause talks and leaves the panel open: %s" % (where, lines))
    other = subprocess.Popen(["xmessage", "-geometry", "+600+400", "another program"])
    try:
        window = subprocess.run(["xdotool", "search", "--sync", "--onlyvisible", "--class", "xmessage"],
                                capture_output=True, text=True, timeout=20).stdout.split()
        xdotool("windowfocus", window[0])
        check(app.expect("panel hidden") is not None and poll(lambda: not panel_mapped()),
              "%s focus moving to another window closes it" % where)
    finally:
        end_program(other)


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


def taken_elsewhere(path, root):
    """Another program (its own runtime directory keeps our one-copy lock out
    of the way) starting with Pause, which we hold: its status line and
    tooltip say the key is taken until another is chosen; choosing a taken
    key keeps the one before, also in the settings file."""
    config = os.path.join(root, "second")
    os.makedirs(os.path.join(config, "run"), mode=0o700)
    other = Harness(path, dict(os.environ, XDG_CONFIG_HOME=config, XDG_RUNTIME_DIR=os.path.join(config, "run")))
    try:
        check(other.expect("hotkey conflict Pause") is not None, "a second program cannot have Pause")
        taken = "Push-to-talk key Pause is used by another program: choose another in Settings"
        check(other.send("statusline", "statusline") == "statusline " + taken, "its panel's status line says so")
        tip = other.send("tooltip", "tooltip")
        check(tip.endswith(" | " + taken), "and its tooltip: %s" % tip)
        other.send("choose F8")
        check(other.expect("hotkey ready F8") is not None and other.expect("choice F8") == "choice F8",
              "a free key is taken")
        line, tip = other.send("statusline", "statusline"), other.send("tooltip", "tooltip")
        check(taken not in line + tip and "|" not in tip, "and neither says the key is taken any more: %s, %s" % (line, tip))
        other.send("choose Pause")
        check(other.expect("choice Pause") == "choice Pause conflict" and other.expect("hotkey ready F8") is not None,
              "choosing the taken Pause is refused and F8 stays")
        other.send("quit")
        other.process.wait(timeout=10)
        check("key=F8" in open(os.path.join(config, "hollerhopper", "hollerhopper.conf")).read(),
              "the settings file keeps F8")
    finally:
        other.stop()


def panel_windows():
    """The viewable windows named Hollerhopper (the panel, and its menu while open)."""
    return subprocess.run(["xdotool", "search", "--onlyvisible", "--name", "^Hollerhopper$"],
                          capture_output=True, text=True).stdout.split()


def click(pid, name, role):
    """Clicks the middle of the program's accessible `name` of `role`, found over AT-SPI."""
    import pyatspi  # loaded only where it is used
    from program_reader import application

    def find(node, depth=0):
        if node is None or depth > 40:
            return None
        if node.name == name and node.getRoleName() == role:
            return node
        return next(filter(None, (find(node.getChildAtIndex(i), depth + 1) for i in range(node.childCount))), None)
    node = poll(lambda: find(application(pid)))
    if node is None:
        return False
    # Where it is once the window manager has placed the window: the same twice in a row.
    places = []
    poll(lambda: places.append(tuple(node.queryComponent().getExtents(pyatspi.DESKTOP_COORDS)))
         or places[-2:] == places[-1:] * 2)
    x, y, width, height = places[-1]
    xdotool("mousemove", str(x + width // 2), str(y + height // 2), "click", "1")
    return True


def window_mode(path, root):
    """No tray, as on stock GNOME, under openbox: the panel is a window whose
    Menu button pops up the whole menu, usable from the keyboard; closing the
    window first asks, saying what quitting means, and keeping it open keeps it."""
    from program_reader import named, wait_for
    with window_manager():
        app = Harness(path, dict(os.environ, XDG_CONFIG_HOME=os.path.join(root, "window"),
                                 QT_LINUX_ACCESSIBILITY_ALWAYS_ON="1"))
        pid = app.process.pid
        try:
            check(app.expect("panel shown") is not None and app.expect("ready tray=0") is not None,
                  "without a tray the panel opens as a window")
            menu = click(pid, "Menu", "push button") and app.expect("menu shown")
            check(menu == "menu shown Mute|Talk sounds|Noise suppression|Settings|-|Start at login|-|Quit Hollerhopper",
                  "its Menu button pops up every item of the menu: %s" % menu)
            poll(lambda: len(subprocess.run(["xdotool", "search", "--onlyvisible", "--class", "Hollerhopper"],
                                            capture_output=True, text=True).stdout.split()) == 2)
            xdotool("key", "Down", "Down", "Return")
            check(app.expect("event cues 0") is not None, "Talk sounds is switched off from the keyboard")
            question = "Closing this window quits Hollerhopper: you will no longer hear others, and they cannot reach you."
            for answer, stays in (("Keep Open", True), ("Quit", False)):
                xdotool("key", "alt+F4")
                check(named(question)(wait_for(pid, named(question))), "closing the window asks first: %s" % question)
                click(pid, answer, "push button")
                poll(lambda: app.process.poll() is not None, 1 if stays else 10)
                check((app.process.poll() is None and panel_windows() != []) if stays else app.process.returncode == 0,
                      "%s %s" % (answer, "keeps the program and its window" if stays else "ends the program"))
        finally:
            app.stop()


def portal_explained(path, root, session):
    """Under Wayland, no portal and a refused binding: Settings and the tooltip say why the key does nothing."""
    cases = (("no portal", None, "unavailable",
              "This desktop does not offer global shortcuts: hold the talk button in this panel instead.",
              "No push-to-talk key: this desktop offers no global shortcuts"),
             ("a refused binding", Portal(session, refuse=True), "refused Pause",
              "The desktop did not allow the shortcut.", "No push-to-talk key: the desktop did not allow the shortcut"))
    for what, stand_in, status, in_settings, in_tooltip in cases:
        config = os.path.join(root, "wayland " + what)
        with stand_in or contextlib.nullcontext():
            app = Harness(path, dict(os.environ, XDG_CONFIG_HOME=config, XDG_SESSION_TYPE="wayland"))
            try:
                check(app.expect("hotkey " + status, timeout=15) is not None, "%s: the key is %s" % (what, status))
                line, tip = app.send("keystatus", "keystatus"), app.send("tooltip", "tooltip")
                check(line == "keystatus " + in_settings and tip.endswith(" | " + in_tooltip),
                      "%s: Settings and the tooltip say why: %s; %s" % (what, line, tip))
            finally:
                app.stop()


def x11(path, root):
    first = os.path.join(root, "first")
    app = start(path, first)
    try:
        check(app.expect("hotkey ready Pause", timeout=10) is not None, "the program grabs the default key, Pause")
        xdotool("key", "Caps_Lock")
        check(hold(app, "Pause") == (1, 1), "with Caps Lock on, a hold is one begin and one end")
        xdotool("key", "Caps_Lock")
        taken_elsewhere(path, root)

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
