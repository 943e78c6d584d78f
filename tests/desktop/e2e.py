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
    stack = [a for a in map(desktop.getChildAtIndex, range(desktop.childCount)) if a and a.get_process_id() == pid]
    while stack:
        node = stack.pop()
        yield node
        stack.extend(c for c in map(node.getChildAtIndex, range(node.childCount)) if c is not None)


def status(pid):
    shown = {RUNNING, STOPPED} & {
        n.name for n in nodes(pid) if n.getRoleName() == "label" and n.getState().contains(pyatspi.STATE_SHOWING)}
    return shown.pop() if len(shown) == 1 else None


def buttons(pid):
    return {n.name: n for n in nodes(pid) if n.getRoleName() == "push button" and n.name in (INSTALL, UNINSTALL)}


def offers(pid, only):
    """Fails unless the given action is the only one enabled; returns its button."""
    found = buttons(pid)
    if [name for name, n in found.items() if n.getState().contains(pyatspi.STATE_SENSITIVE)] != [only]:
        fail(f"the window must offer only {only!r}")
    return found[only]


def wait_for(companion, wanted, limit):
    start = time.monotonic()
    while time.monotonic() - start < limit:
        if status(companion.pid) == wanted:
            return time.monotonic() - start
        if companion.poll() is not None:
            fail(f"the companion exited with {companion.returncode}")
        time.sleep(0.05)
    fail(f"the window did not say {wanted!r} within {limit} s (it says {status(companion.pid)!r})")


def exe(pid):
    try:
        return os.readlink(f"/proc/{pid}/exe")
    except OSError:
        return None


def service_pids(prefix):
    tool = os.path.join(prefix, "libexec/orvane-companion/macmon")
    return [int(p) for p in os.listdir("/proc") if p.isdigit() and exe(p) == tool]


def main():
    prefix = sys.argv[1]
    program = os.path.join(prefix, "bin/orvane-companion")
    env = dict(os.environ, QT_LINUX_ACCESSIBILITY_ALWAYS_ON="1")
    companion = subprocess.Popen([program], env=env)
    pid, timings = companion.pid, {}
    try:
        timings["window shown"] = wait_for(companion, STOPPED, 20)
        offers(pid, INSTALL)
        # A second launch hands over to the first on the session bus and leaves.
        if subprocess.run([program], env=env, timeout=10).returncode != 0 or companion.poll() is not None:
            fail("a second launch must exit 0 and leave the first running")
        offers(pid, INSTALL).queryAction().doAction(0)
        timings["install → running"] = wait_for(companion, RUNNING, 4)
        offers(pid, UNINSTALL)
        # The service dies under the window: the window must notice, and a new install must work.
        for service in service_pids(prefix):
            os.kill(service, signal.SIGKILL)
        timings["service killed → not running"] = wait_for(companion, STOPPED, 4)
        offers(pid, INSTALL).queryAction().doAction(0)
        timings["reinstall → running"] = wait_for(companion, RUNNING, 4)
        offers(pid, UNINSTALL).queryAction().doAction(0)
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
