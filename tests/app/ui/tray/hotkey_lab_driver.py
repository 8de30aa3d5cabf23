#!/usr/bin/python3
"""In a lab host, under its own display: the real tray program with the
global key Pause (panel closed, another program's window focused), then
`hollerhopper-cli talk --key F9`; holds each key with xdotool (hotkey_lab.sh).
Usage: hotkey_lab_driver.py PROGRAM CLI READY_FILE (under with_display.sh)."""
import os
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from tray_test import check, end_program, failures, open_tray_session, poll  # noqa: E402


def wait_line(path, text, timeout=20):
    return poll(lambda: os.path.exists(path) and text in open(path, errors="replace").read(), timeout)


def hold(key, seconds):
    subprocess.run(["xdotool", "keydown", key], check=True)
    time.sleep(seconds)
    subprocess.run(["xdotool", "keyup", key], check=True)
    time.sleep(1.0)


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
    finally:
        for p in (app, focus):
            end_program(p)
    print("%d failure(s)" % len(failures))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
