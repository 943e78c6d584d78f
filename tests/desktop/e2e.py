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


def nodes(pid):
    """Every node of the companion's accessibility tree."""
    desktop = pyatspi.Registry.getDesktop(0)
    apps = [desktop.getChildAtIndex(i) for i in range(desktop.childCount)]
    stack = [a for a in apps if a is not None and a.get_process_id() == pid]
    while stack:
        node = stack.pop()
        yield node
        stack.extend(c for c in (node.getChildAtIndex(i) for i in range(node.childCount)) if c is not None)


def status(pid):
    texts = {n.name for n in nodes(pid) if n.getRoleName() == "label" and n.getState().contains(pyatspi.STATE_SHOWING)}
    shown = [s for s in (RUNNING, STOPPED) if s in texts]
    return shown[0] if len(shown) == 1 else None


def button(pid, name):
    found = [n for n in nodes(pid) if n.getRoleName() == "push button" and n.name == name]
    return found[0] if found else fail(f"no button {name!r}")


def enabled(pid, name):
    return button(pid, name).getState().contains(pyatspi.STATE_SENSITIVE)


def press(pid, name):
    if not enabled(pid, name):
        fail(f"{name!r} is disabled")
    button(pid, name).queryAction().doAction(0)


def wait_for(companion, wanted, limit):
    start, pid = time.monotonic(), companion.pid
    while time.monotonic() - start < limit:
        if status(pid) == wanted:
            return time.monotonic() - start
        if companion.poll() is not None:
            fail(f"the companion exited with {companion.returncode}")
        time.sleep(0.05)
    fail(f"the window did not say {wanted!r} within {limit} s (it says {status(pid)!r})")


def service_pids(prefix):
    tool = os.path.join(prefix, "libexec/orvane-companion/macmon")
    pids = []
    for entry in filter(str.isdigit, os.listdir("/proc")):
        try:
            if os.readlink(f"/proc/{entry}/exe") == tool:
                pids.append(int(entry))
        except OSError:
            pass
    return pids


def main():
    prefix = sys.argv[1]
    program = os.path.join(prefix, "bin/orvane-companion")
    env = dict(os.environ, QT_LINUX_ACCESSIBILITY_ALWAYS_ON="1")
    companion = subprocess.Popen([program], env=env)
    pid, timings = companion.pid, {}
    try:
        timings["window shown"] = wait_for(companion, STOPPED, 20)
        if not enabled(pid, INSTALL) or enabled(pid, UNINSTALL):
            fail("a stopped window must offer only 'Install & start'")
        # A second launch hands over to the first on the session bus and leaves.
        if subprocess.run([program], env=env, timeout=10).returncode != 0 or companion.poll() is not None:
            fail("a second launch must exit 0 and leave the first running")

        press(pid, INSTALL)
        timings["install → running"] = wait_for(companion, RUNNING, 4)
        if enabled(pid, INSTALL) or not enabled(pid, UNINSTALL):
            fail("a running window must offer only 'Uninstall'")
        # The service dies under the window: the window must notice, and a new install must work.
        for service in service_pids(prefix):
            os.kill(service, signal.SIGKILL)
        timings["service killed → not running"] = wait_for(companion, STOPPED, 4)
        press(pid, INSTALL)
        timings["reinstall → running"] = wait_for(companion, RUNNING, 4)
        press(pid, UNINSTALL)
        timings["uninstall → not running"] = wait_for(companion, STOPPED, 4)
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
