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
  where it opened (nothing in it moved as peers came), or moved up just
  enough when the room below could not hold its lists at their least;
saving a screenshot of the screen in the first two (DIR/panel-lab.png,
panel-not-heard.png).

Usage: program_reader.py PROGRAM DIR TALKER SILENT ORDER (under with_display.sh).

With --recent (recent_lab.sh), messages and Reply instead: the panel open, it
asks for a spurt from TALKER to us alone (DIR/want-direct) and reads "TALKER
is talking to you"; mutes from the tray's menu and asks for a spurt to
everyone (want-muted): the Recent list reads it as unheard and the tray's icon
carries the dot (no icon name, our pixels only); says when it presses its
Play button over AT-SPI (want-recording) and when it has played
(want-recorded); closes and opens the panel: the marks are gone. Both times
the Recent rows are showing, inside the panel's window, on the screen. Unmuted, it
asks for one more spurt to us alone (want-reply) and holds the reply key
KEY with xdotool.
Usage: program_reader.py --recent PROGRAM DIR TALKER KEY (under with_display.sh).
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


def plain(name):
    return name.replace("\u2068", "").replace("\u2069", "")


def find_node(pid, predicate):
    """The first accessible node of the program (on screen or not) whose (role, plain name) satisfies `predicate`."""
    def walk(node, depth=0):
        try:
            if predicate(node.getRoleName(), plain(node.name or "")):
                return node
            children = [node.getChildAtIndex(i) for i in range(node.childCount)] if depth < 40 else []
        except Exception:
            return None
        return next((found for c in children if c is not None for found in [walk(c, depth + 1)] if found), None)
    app = application(pid)
    return walk(app) if app is not None else None


def in_panel(pid, test):
    """Whether there are nodes whose (role, plain name) pass `test`, all showing and inside the panel's window
    (itself wholly on the 1280x800 screen), and their extents."""
    x, y, w, h = panel_extents(pid)
    found = []

    def walk(node, depth=0):
        try:
            if test(node.getRoleName(), plain(node.name or "")):
                e = node.queryComponent().getExtents(pyatspi.DESKTOP_COORDS)
                found.append((node.getState().contains(pyatspi.STATE_SHOWING), e.x, e.y, e.width, e.height))
            for i in range(node.childCount if depth < 40 else 0):
                child = node.getChildAtIndex(i)
                if child is not None:
                    walk(child, depth + 1)
        except Exception:
            pass
    app = application(pid)
    if app is not None:
        walk(app)
    ok = bool(found) and 0 <= y and y + h <= 800 and all(
        shown and x <= ex and y <= ey and ex + ew <= x + w and ey + eh <= y + h for shown, ex, ey, ew, eh in found)
    return ok, "panel %d,%d %dx%d, rows %s" % (x, y, w, h, [f[1:] if f[0] else "not showing" for f in found])


def recent(program, work, talker, key):
    session, item = open_tray_session()
    app = subprocess.Popen([program], env=dict(os.environ, QT_LINUX_ACCESSIBILITY_ALWAYS_ON="1"))
    try:
        sni = item(timeout=20)
        if not check(sni is not None, "the program puts its item in the tray"):
            return
        props = dbus.Interface(sni, dbus.PROPERTIES_IFACE)
        activate = lambda: dbus.Interface(sni, SNI).Activate(dbus.Int32(0), dbus.Int32(0))
        menu = dbus.Interface(session.get_object(sni.bus_name, props.Get(SNI, "Menu")), "com.canonical.dbusmenu")

        def click(label):
            menu.AboutToShow(dbus.Int32(0))
            _, layout = menu.GetLayout(dbus.Int32(0), dbus.Int32(-1), dbus.Array([], signature="s"))
            ident = next(int(i) for i, p, _ in layout[2] if str(p.get("label", "")).replace("_", "") == label)
            menu.Event(dbus.Int32(ident), "clicked", dbus.Int32(0, variant_level=1), dbus.UInt32(0))

        plain_nodes = lambda ns: [(r, plain(n)) for r, n in ns]
        activate()
        ready = lambda ns: named("Ready")(plain_nodes(ns))
        check(ready(wait_for(app.pid, ready, timeout=30)), "its panel opens and reads Ready")

        to_us = talker + " is talking to you\u2026"
        talking = lambda ns: named(to_us)(plain_nodes(ns))
        check(handshake(work, "direct") and talking(wait_for(app.pid, talking, timeout=30)),
              "a spurt from %s to us alone: the panel reads \"%s\"" % (talker, to_us))

        wait_for(app.pid, lambda ns: not talking(ns), timeout=20)  # heard to its end
        click("Mute")
        mine = "Play: %s to everyone, " % talker
        # The Recent rows by name: what came while muted is read as "Unheard: ...".
        is_row = lambda r, n: r == "label" and (" to you, " in n or " to everyone, " in n)
        rows = lambda: [n for r, n in plain_nodes(showing(application(app.pid), everything=True)) if is_row(r, n)]
        fresh = "Unheard: %s to everyone, " % talker
        check(handshake(work, "muted") and poll(lambda: len(rows()) == 2 and [n.startswith(fresh) for n in rows()].count(True)
                                            == [n.startswith("Unheard") for n in rows()].count(True) == 1, 30),
              "muted, a spurt to everyone comes: the Recent list has it, read as Unheard, and the one heard not (%s)" % rows())
        # They came while the panel was open: it grew, on the screen, and shows them.
        shown = []
        check(poll(lambda: shown.append(in_panel(app.pid, is_row)) or shown[-1][0], 10),
              "the Recent rows are showing, inside the panel, on the screen (%s)" % shown[-1][1])

        def dotted():
            """The tray icon as (its name, whether its top right corner is our orange dot)."""
            width, height, data = max(props.Get(SNI, "IconPixmap"), key=lambda p: int(p[0]))
            i = 4 * (int(width) * int(int(height) * 0.2) + int(int(width) * 0.8))  # ARGB, the dot's middle
            return str(props.Get(SNI, "IconName")), data[i + 1] > 220 and 120 < data[i + 2] < 190 and data[i + 3] < 60
        check(poll(lambda: dotted() == ("", True)), "the tray icon carries the unheard dot, with no name to draw it without (%s)"
              % (dotted(),))

        button = find_node(app.pid, lambda role, name: role == "push button" and name.startswith(mine))
        if check(button is not None and handshake(work, "recording"), "its Play button is there; recording the speaker"):
            button.queryAction().doAction(0)
            time.sleep(2.5)
        handshake(work, "recorded")

        activate()
        wait_for(app.pid, lambda ns: not named("Hold to talk")(ns), timeout=5)
        time.sleep(0.6)  # an Activate right after a close may count as the click that closed it
        activate()
        heard = lambda ns: named("Hold to talk")(ns) and len(rows()) == 2 and not any(n.startswith("Unheard") for n in rows())
        check(heard(wait_for(app.pid, heard, timeout=20)) and poll(lambda: dotted()[0] != "" and not dotted()[1]),
              "opened again, the panel marks nothing Unheard and the tray icon has its name back, no dot (%s)"
              % (dotted(),))
        check(poll(lambda: shown.append(in_panel(app.pid, is_row)) or shown[-1][0], 10),
              "and shows the Recent rows inside it (%s)" % shown[-1][1])

        click("Unmute")
        reply = "Hold to reply to " + talker
        offered = lambda ns: named(reply)(plain_nodes(ns))
        check(handshake(work, "reply") and offered(wait_for(app.pid, offered, timeout=30)),
              "after a spurt to us alone, the panel offers \"%s\"" % reply)
        subprocess.run(["xdotool", "keydown", key, "sleep", "1.5", "keyup", key], check=True)
        handshake(work, "replied")
    finally:
        end_program(app)


def main():
    if sys.argv[1] == "--recent":
        recent(*sys.argv[2:6])
        print("%d failure(s)" % len(failures))
        return 1 if failures else 0
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
        check(0 <= y and y + h <= 800 and 0 <= x and x + w <= 1280 and x == opened[0] and (y == opened[1] or y + h == 800),
              "the panel (%d,%d %dx%d) is wholly on the 1280x800 screen, where it opened (%d,%d) or moved up just enough"
              % (x, y, w, h, *opened[:2]))
    finally:
        end_program(app)
    print("%d failure(s)" % len(failures))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
