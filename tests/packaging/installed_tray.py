#!/usr/bin/python3
"""The installed tray program in a lab host: its status item registers, and a
second launch hands over to it (exit 0) instead of adding a second icon.
Usage: installed_tray.py PROGRAM (under with_display.sh, in a lab host)."""
import os
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "app", "ui", "tray"))
from tray_test import check, end_program, failures, open_tray_session  # noqa: E402


def main():
    program = sys.argv[1]
    _, item = open_tray_session()
    app = subprocess.Popen([program])
    try:
        check(item(timeout=60) is not None, "the installed program registers its status item")
        second = subprocess.run([program], capture_output=True, text=True, timeout=30)
        check(second.returncode == 0 and "already running" in second.stdout,
              "a second launch hands over and exits 0 (%d: %s%s)" % (second.returncode, second.stdout, second.stderr))
        check(app.poll() is None, "the first copy keeps running")
    finally:
        end_program(app)
    print("%d failure(s)" % len(failures))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
