#!/usr/bin/python3
"""Drives the tray program on fakes as a desktop does: over D-Bus as the
StatusNotifierWatcher (the panel's Activate, its dbusmenu menu, the icon's
pixels on a black and a white panel, the panel left open while the key is
held) and as the desktop's settings portal (light or dark), its push-to-talk
key on X11 with xdotool (Caps Lock on, the key kept in the settings, taken by
another program) and under Wayland (the tooltip without a portal, or refused
by one), and, without a tray, its window (the menu button, closing). (The
panel read over AT-SPI, the key held over another program's window with
auto-repeat, and the reply key on X11: app_lab.sh, hotkey_lab.sh and
recent_lab.sh, on the real program; Space and
Escape on the panel: tst_walkie.qml.)
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


PORTAL_PATH = "/org/freedesktop/portal/desktop"
SHORTCUTS = "org.freedesktop.portal.GlobalShortcuts"


def send_signal(bus, path, interface, member, signature, *args):
    message = dbus.lowlevel.SignalMessage(path, interface, member)
    message.append(*args, signature=signature)
    GLib.idle_add(lambda: bus.send_message(message) and False)  # after the reply to a call in progress


class Portal(dbus.service.Object):
    """A stand-in desktop portal on `bus`: GlobalShortcuts (with `refuse`, it
    refuses every binding) and Settings with only the colour scheme (1: dark, 2: light)."""
    scheme = 1

    def __init__(self, bus, refuse=False):
        bus.request_name("org.freedesktop.portal.Desktop")
        super().__init__(bus, PORTAL_PATH)
        self.bus, self.refuse, self.session, self.bound = bus, refuse, None, []

    def respond(self, sender, token, code, results):
        path = "%s/request/%s/%s" % (PORTAL_PATH, sender[1:].replace(".", "_"), token)
        send_signal(self.bus, path, "org.freedesktop.portal.Request", "Response", "ua{sv}", dbus.UInt32(code), results)
        return dbus.ObjectPath(path)

    @dbus.service.method(dbus.PROPERTIES_IFACE, in_signature="ss", out_signature="v")
    def Get(self, interface, name):
        return dbus.UInt32(1, variant_level=1)

    @dbus.service.method(SHORTCUTS, in_signature="a{sv}", out_signature="o", sender_keyword="sender")
    def CreateSession(self, options, sender=None):
        self.session = dbus.ObjectPath(PORTAL_PATH + "/session/" + options["session_handle_token"])
        return self.respond(sender, options["handle_token"], 0, {"session_handle": self.session})

    @dbus.service.method(SHORTCUTS, in_signature="oa(sa{sv})sa{sv}", out_signature="o", sender_keyword="sender")
    def BindShortcuts(self, session, shortcuts, parent, options, sender=None):
        self.bound = [] if self.refuse else [(str(i), str(o["preferred_trigger"])) for i, o in shortcuts]
        return self.respond(sender, options["handle_token"], int(self.refuse), {})

    @dbus.service.method("org.freedesktop.portal.Settings", in_signature="ss", out_signature="v")
    def Read(self, namespace, key):
        return dbus.UInt32(self.scheme, variant_level=2)  # Read wraps the value once more

    @dbus.service.signal("org.freedesktop.portal.Settings", signature="ssv")
    def SettingChanged(self, namespace, key, value):
        self.scheme = int(value)

    def fire(self, member, shortcut=None):
        """Activated or Deactivated for the (first) bound shortcut."""
        send_signal(self.bus, PORTAL_PATH, SHORTCUTS, member, "osta{sv}", self.session, shortcut or self.bound[0][0],
                    dbus.UInt64(1), {})
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
        wayland(harness_path, root, session)
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
    # (Mute clicked in this menu: recent_lab.sh, on the real program.)
    check(items["Mute"][1:] == ("checkmark", 0), "Mute is an unchecked check item")

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


def output(*command):
    return subprocess.run(command, capture_output=True, text=True).stdout


def panel_windows():
    return output("xdotool", "search", "--onlyvisible", "--name", "^Hollerhopper$").split()


@contextlib.contextmanager
def window_manager():
    """openbox on the test's display for the `with` block."""
    wm = subprocess.Popen(["openbox", "--sm-disable"], stderr=subprocess.DEVNULL)
    poll(lambda: "window id" in output("xprop", "-root", "_NET_SUPPORTING_WM_CHECK"))
    yield
    end_program(wm)


def key_over_panel(app, activate, where):
    """The key held over the open panel talks and leaves it open; focus moving elsewhere closes it."""
    time.sleep(0.5)  # an Activate right after a close on focus loss counts as the click that closed it
    activate(dbus.Int32(10), dbus.Int32(10))
    app.expect("panel shown")
    poll(panel_windows)
    xdotool("keydown", "Pause")
    lines = app.drain(1.0)  # longer than Qt waits for the focus to come back
    mapped = panel_windows() != []
    xdotool("keyup", "Pause")
    check(mapped and "event beginTalking" in lines and "panel hidden" not in lines,
          "%s, holding Pause talks and leaves the panel open" % where)
    other = subprocess.Popen(["xmessage", "another program"])
    xdotool("search", "--sync", "--onlyvisible", "--class", "xmessage", "windowfocus")
    check(app.expect("panel hidden") is not None and poll(lambda: not panel_windows()),
          "%s, focus moving to another window closes it" % where)
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


def light_and_dark(harness_path, session, item):
    """The status icon and the panel follow the desktop's colour scheme from
    the settings portal: a symbolic icon name installed with the program, and
    pixels that show on a black and on a white panel in either scheme."""
    portal = Portal(session)
    app = Harness(harness_path, dict(os.environ))
    try:
        props = dbus.Interface(item(count=2), dbus.PROPERTIES_IFACE)
        icons = os.path.join(os.path.dirname(os.path.abspath(__file__)), "../../../../app/icons/status")
        # Dark as read at start, then light when the desktop says so.
        for scheme, dark, name in ((1, 1, "hollerhopper-idle-dark-symbolic"), (2, 0, "hollerhopper-idle-symbolic")):
            if scheme != portal.scheme:
                portal.SettingChanged("org.freedesktop.appearance", "color-scheme", dbus.UInt32(scheme))
            check(poll(lambda: props.Get(SNI, "IconName") == name) and os.path.exists(os.path.join(icons, name + ".svg")),
                  "scheme %d: the icon is %s, installed with the program" % (scheme, name))
            _, _, data = max(props.Get(SNI, "IconPixmap"), key=lambda p: int(p[0]))
            # (alpha, luminance) per pixel, both 0..1 (ARGB in network order)
            pixels = [(data[i] / 255, (0.2126 * data[i + 1] + 0.7152 * data[i + 2] + 0.0722 * data[i + 3]) / 255)
                      for i in range(0, len(data), 4)]
            seen = [sum(1 for a, y in pixels if abs(y * a + panel * (1 - a) - panel) > 0.5) for panel in (0, 1)]
            check(min(seen) >= 20, "scheme %d: the icon shows on a black panel and a white one (%s pixels)" % (scheme, seen))
            check(app.send("view", "showSettings").endswith("dark %d" % dark), "scheme %d: the panel follows" % scheme)
    finally:
        app.stop()
        portal.remove_from_connection()
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


def taken_elsewhere(path, root):
    """A second program (own runtime directory: no one-copy lock) finds Pause held by the first."""
    config = os.path.join(root, "second")
    os.makedirs(os.path.join(config, "run"))
    other = Harness(path, dict(os.environ, XDG_CONFIG_HOME=config, XDG_RUNTIME_DIR=os.path.join(config, "run")))
    taken = "Pause is used by another program: choose another key in Settings"
    said = lambda: [other.send(c, c).endswith(taken) for c in ("statusline", "tooltip")]
    check(other.expect("hotkey conflict Pause") is not None and said() == [True, True],
          "a second program finds Pause taken: its status line and tooltip say so")
    other.send("choose F8")
    check(other.expect("choice F8") == "choice F8" and said() == [False, False], "a free key is taken; neither says so any more")
    other.send("choose Pause")
    check(other.expect("choice Pause") == "choice Pause conflict" and other.expect("hotkey ready F8") is not None,
          "choosing the taken Pause is refused, and F8 stays")
    other.send("quit")
    other.process.wait(timeout=10)
    check("key=F8" in open(os.path.join(config, "hollerhopper", "hollerhopper.conf")).read(), "also in the settings file")


def with_reply_key(config, chord):
    os.makedirs(os.path.join(config, "hollerhopper"), exist_ok=True)
    with open(os.path.join(config, "hollerhopper", "hollerhopper.conf"), "w") as f:
        f.write("[pushToTalk]\nkey=Pause\nreplyKey=%s\n" % chord)
    return config


def wayland(path, root, session):
    """Under Wayland, without a portal, then with one refusing the binding,
    then with one taking both keys in one session."""
    portal = None
    for status, why in (("unavailable", "this desktop offers no global shortcuts"),
                        ("refused Pause", "the desktop refused the shortcut")):
        if status.startswith("refused"):
            portal = Portal(session, refuse=True)
        app = Harness(path, dict(os.environ, XDG_CONFIG_HOME=os.path.join(root, status), XDG_SESSION_TYPE="wayland"))
        check(app.expect("hotkey " + status) is not None
              and app.send("tooltip", "tooltip").endswith(" | No push-to-talk key: " + why),
              "under Wayland, key %s: the tooltip says why" % status)
        app.stop()
    portal.refuse = False
    app = Harness(path, dict(os.environ, XDG_CONFIG_HOME=with_reply_key(os.path.join(root, "both"), "F7"),
                             XDG_SESSION_TYPE="wayland"))
    check(app.expect("replykey ready F7") is not None and poll(lambda: app.drain(0.2) is not None and portal.bound)
          == [("push-to-talk", "Pause"), ("reply", "F7")],
          "under Wayland both keys are bound in one session: %s" % portal.bound)
    portal.fire("Activated", "reply")  # (push-to-talk through the portal: hotkey_lab.sh)
    portal.fire("Deactivated", "reply")
    lines = app.drain(0.8)
    check([l for l in lines if l.startswith("event ")] == ["event beginReply"],
          "the portal's reply shortcut replies (nobody to answer: no end): %s" % lines)
    app.stop()


def window_mode(path, root):
    """No tray (as on stock GNOME), under openbox: the panel is a window."""
    from program_reader import named, wait_for  # AT-SPI, loaded only here
    question = "Closing this window quits Hollerhopper: you will no longer hear others, and they cannot reach you."
    with window_manager():
        app = Harness(path, dict(os.environ, XDG_CONFIG_HOME=os.path.join(root, "window"),
                                 QT_LINUX_ACCESSIBILITY_ALWAYS_ON="1"))
        check(app.expect("panel shown") is not None and poll(panel_windows), "without a tray the panel is a window")
        xdotool("mousemove", "--window", panel_windows()[0], "252", "26", "click", "1")  # its menu button
        check(app.expect("menu shown") == "menu shown Mute|Talk sounds|Noise suppression|Settings|-|Start at login|-|"
              "Quit Hollerhopper", "its menu button pops up the whole menu")
        poll(lambda: len(output("xdotool", "search", "--onlyvisible", "--class", "Hollerhopper").split()) == 2)
        xdotool("key", "Down", "Down", "Return")
        check(app.expect("event cues 0") is not None, "and Talk sounds is switched off from the keyboard")
        xdotool("key", "alt+F4")
        check(named(question)(wait_for(app.process.pid, named(question))), "closing the window asks first")
        xdotool("key", "Escape")
        check(not poll(lambda: app.process.poll() is not None, 1) and panel_windows() != [], "Escape keeps it open")
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

        # A key chosen in Settings (kept in the settings file: taken_elsewhere).
        app.send("setkey ctrl+F9")
        check(app.expect("hotkey ready ctrl+F9") is not None, "ctrl+F9 becomes the key")
        check(hold(app, "ctrl+F9") == (1, 1), "and holding it talks")
    finally:
        app.stop()


if __name__ == "__main__":
    sys.exit(main())
