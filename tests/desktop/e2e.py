#!/usr/bin/python3
# SPDX-License-Identifier: MIT
"""Drives the installed companion through its accessibility tree, reading only what a screen reader reads."""
import os
import signal
import subprocess
import sys
import time

import pyatspi

RUNNING, STOPPED = "Pro sensors unlocked", "Not running"
INSTALL, UNINSTALL = "Install & start", "Uninstall"


def fail(message):
    print(f"e2e: FAIL: {message}", flush=True)
    sys.exit(1)


def walk(node):
    yield node
    for i in range(node.childCount):
        child = node.getChildAtIndex(i)
        if child is not None:
            yield from walk(child)


class Window:
    """The companion as the accessibility tree shows it."""

    def __init__(self, pid):
        self.pid = pid

    def app(self):
        desktop = pyatspi.Registry.getDesktop(0)
        for i in range(desktop.childCount):
            app = desktop.getChildAtIndex(i)
            if app is not None and app.get_process_id() == self.pid:
                return app
        return None

    def nodes(self):
        app = self.app()
        return list(walk(app)) if app is not None else []

    def texts(self):
        return {n.name for n in self.nodes() if n.getRoleName() == "label" and self.showing(n)}

    def status(self):
        texts = self.texts()
        if RUNNING in texts and STOPPED not in texts:
            return RUNNING
        if STOPPED in texts and RUNNING not in texts:
            return STOPPED
        return None

    @staticmethod
    def showing(node):
        return node.getState().contains(pyatspi.STATE_SHOWING)

    def button(self, name):
        for n in self.nodes():
            if n.getRoleName() == "push button" and n.name == name:
                return n
        fail(f"no button {name!r}")

    def enabled(self, name):
        return self.button(name).getState().contains(pyatspi.STATE_SENSITIVE)

    def press(self, name):
        button = self.button(name)
        if not button.getState().contains(pyatspi.STATE_SENSITIVE):
            fail(f"{name!r} is disabled")
        button.queryAction().doAction(0)

    def wait_for(self, status, limit):
        start = time.monotonic()
        while time.monotonic() - start < limit:
            if self.status() == status:
                return time.monotonic() - start
            time.sleep(0.05)
        fail(f"the window did not say {status!r} within {limit} s (it says {self.status()!r}, texts {sorted(self.texts())})")


def service_pids(prefix):
    tool = os.path.join(prefix, "libexec/orvane-companion/macmon")
    pids = []
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                if os.readlink(f"/proc/{entry}/exe") == tool:
                    pids.append(int(entry))
            except OSError:
                pass
    return pids


def main():
    prefix = sys.argv[1]
    env = dict(os.environ, QT_LINUX_ACCESSIBILITY_ALWAYS_ON="1")
    started = time.monotonic()
    companion = subprocess.Popen([os.path.join(prefix, "bin/orvane-companion")], env=env)
    window = Window(companion.pid)
    timings = {}
    try:
        while window.status() is None:
            if time.monotonic() - started > 20:
                fail("the window did not appear within 20 s")
            if companion.poll() is not None:
                fail(f"the companion exited with {companion.returncode}")
            time.sleep(0.1)
        timings["window shown"] = time.monotonic() - started
        if window.status() != STOPPED:
            fail("a fresh session must start 'Not running'")
        if not window.enabled(INSTALL) or window.enabled(UNINSTALL):
            fail("a stopped window must offer only 'Install & start'")

        window.press(INSTALL)
        timings["install → running"] = window.wait_for(RUNNING, 4)
        if window.enabled(INSTALL) or not window.enabled(UNINSTALL):
            fail("a running window must offer only 'Uninstall'")

        # The service dies under the window: the window must notice, and a new install must work.
        for pid in service_pids(prefix):
            os.kill(pid, signal.SIGKILL)
        timings["service killed → not running"] = window.wait_for(STOPPED, 4)
        window.press(INSTALL)
        timings["reinstall → running"] = window.wait_for(RUNNING, 4)

        window.press(UNINSTALL)
        timings["uninstall → not running"] = window.wait_for(STOPPED, 4)
        if service_pids(prefix):
            fail("the service still runs after 'Uninstall'")
    finally:
        companion.terminate()
        try:
            companion.wait(10)
        except subprocess.TimeoutExpired:
            companion.kill()
            fail("the companion did not quit on SIGTERM")

    print("e2e: " + "; ".join(f"{k} {v:.2f} s" for k, v in timings.items()), flush=True)


if __name__ == "__main__":
    main()
