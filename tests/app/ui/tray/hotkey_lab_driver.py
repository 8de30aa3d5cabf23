#!/usr/bin/python3
"""In a lab host, under its own display: the real tray program with the
global key Pause (panel closed, another program's window focused), held
with xdotool; then under Wayland, the key held through a stand-in portal
(hotkey_lab.sh).
Usage: hotkey_lab_driver.py PROGRAM READY_FILE (under with_display.sh)."""
import os
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from tray_test import Portal, check, end_program, failures, open_tray_session, poll  # noqa: E402


def wait_line(path, text, timeout=20):
    return poll(lambda: os.path.exists(path) and text in open(path, errors="replace").read(), timeout)


def hold(key, seconds):
    subprocess.run(["xdotool", "keydown", key], check=True)
    time.sleep(seconds)
    subprocess.run(["xdotool", "keyup", key], check=True)
    time.sleep(1.0)


def portal(program, session, work):
    """Under Wayland, as "Portal Desk": a stand-in portal binds Pause, then a
    1.5 s hold whose Activated and Deactivated each come twice."""
    config = os.path.join(work, "wayland-config", "hollerhopper")
    os.makedirs(config)
    with open(os.path.join(config, "hollerhopper.conf"), "w") as f:
        f.write("[identity]\nname=Portal Desk\n")
    stand_in, log = Portal(session), os.path.join(work, "wayland.program.log")
    app = subprocess.Popen([program], stdout=open(log, "w"), stderr=subprocess.STDOUT,
                           env=dict(os.environ, XDG_CONFIG_HOME=os.path.dirname(config), XDG_SESSION_TYPE="wayland"))
    check(wait_line(log, "bound through the desktop portal") and stand_in.bound == [("push-to-talk", "Pause")],
          "under Wayland the program binds Pause through the portal")
    for member, seconds in (("Activated", 1.5), ("Deactivated", 1.0)):
        stand_in.fire(member)
        stand_in.fire(member)  # a repeat is no new press or release
        poll(lambda: False, seconds)
    end_program(app)


def main():
    program, ready_file = sys.argv[1:3]
    session, item = open_tray_session()
    log = ready_file + ".program.log"
    with open(log, "w") as out:
        app = subprocess.Popen([program], stdout=out, stderr=subprocess.STDOUT)
    focus = subprocess.Popen(["xmessage", "-geometry", "+600+400", "another program's window"])
    try:
        check(item(timeout=20) is not None, "the program puts its item in the tray, its panel closed")
        check(wait_line(log, "Pause grabbed"), "it grabs Pause")
        window = subprocess.run(["xdotool", "search", "--sync", "--onlyvisible", "--class", "xmessage"],
                                capture_output=True, text=True, timeout=20).stdout.split()
        if window:
            subprocess.run(["xdotool", "windowfocus", "--sync", window[0]], check=True)
        open(ready_file, "w").close()
        time.sleep(1.0)
        hold("Pause", 1.0)
        subprocess.run(["xset", "r", "on", "r", "rate", "250", "30"], check=True)
        hold("Pause", 2.0)
    finally:
        for p in (app, focus):
            end_program(p)
    portal(program, session, os.path.dirname(ready_file))
    print("%d failure(s)" % len(failures))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
