#!/usr/bin/python3
"""In a lab host, under its own display: the real tray program with the
global key Pause (panel closed, another program's window focused), then
`hollerhopper-cli talk --key F9`; holds each key with xdotool.
Usage: hotkey_lab_driver.py PROGRAM CLI READY_FILE (under with_display.sh)."""
import os
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from tray_test import check, failures, open_tray_session, poll  # noqa: E402


def wait_line(path, text, timeout=20):
    return poll(lambda: os.path.exists(path) and text in open(path, errors="replace").read(), timeout)


def hold(key, seconds):
    subprocess.run(["xdotool", "keydown", key], check=True)
    time.sleep(seconds)
    subprocess.run(["xdotool", "keyup", key], check=True)
    time.sleep(1.0)


def start_display(tries=3):
    """A new Xvfb and its display name; it picks a free number itself, and
    another one starting at the same moment can still take it: try again."""
    for _ in range(tries):
        read, write = os.pipe()
        xvfb = subprocess.Popen(["Xvfb", "-displayfd", str(write), "-nolisten", "tcp", "-noreset"], pass_fds=(write,),
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(write)
        number = b""
        while not number.endswith(b"\n"):
            chunk = os.read(read, 16)
            if not chunk:
                break
            number += chunk
        os.close(read)
        if number.strip():
            return xvfb, ":" + number.decode().strip()
        xvfb.wait()
    return None, None


def lost_display(cli, log):
    """A display that goes away while the key is held: released at once."""
    xvfb, display = start_display()
    if not check(xvfb is not None, "a second display starts"):
        return
    env = dict(os.environ, DISPLAY=display)
    with open(log, "w") as out:
        talk = subprocess.Popen([cli, "talk", "--key", "F9", "--name", "Key Lost"], stdout=out, env=env)
    try:
        check(wait_line(log, '"grabbed"'), "hollerhopper-cli grabs F9 on a second display")
        time.sleep(1.0)
        subprocess.run(["xdotool", "keydown", "F9"], env=env, check=True)
        time.sleep(1.0)
        xvfb.kill()
        xvfb.wait()
        lost = time.monotonic()
        code = talk.wait(timeout=20)
        lines = open(log).read().splitlines()
        check(code == 1 and any('"connectionLost"' in l for l in lines), "the display's loss is reported: %s" % lines)
        check(sum('"up"' in l for l in lines) == 1, "and the hold ends")
        check(time.monotonic() - lost < 5, "at once")
    finally:
        for p in (talk, xvfb):
            if p.poll() is None:
                p.kill()
                p.wait()


def main():
    program, cli, ready_file = sys.argv[1:4]
    _, item = open_tray_session()
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

        cli_log = ready_file + ".cli.log"
        with open(cli_log, "w") as out:
            talk = subprocess.Popen([cli, "talk", "--key", "F9", "--seconds", "8", "--name", "Key Cli"], stdout=out)
        check(wait_line(cli_log, '"grabbed"'), "hollerhopper-cli grabs F9")
        time.sleep(1.0)
        hold("F9", 1.0)
        check(talk.wait(timeout=20) == 0, "hollerhopper-cli ends cleanly after its seconds")
        lines = open(cli_log).read().splitlines()
        check(sum('"down"' in l for l in lines) == 1 and sum('"up"' in l for l in lines) == 1,
              "it saw one down and one up: %s" % lines)
        lost_display(cli, ready_file + ".lost.log")
    finally:
        for p in (app, focus):
            p.terminate()
            try:
                p.wait(timeout=10)
            except subprocess.TimeoutExpired:
                p.kill()
    print("%d failure(s)" % len(failures))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
