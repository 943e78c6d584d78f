#!/usr/bin/python3
# SPDX-License-Identifier: MIT
"""Drives the installed companion through its accessibility tree, reading only what a screen reader reads."""
import glob
import os
import re
import signal
import socket
import subprocess
import sys
import time

import pyatspi
from gi.repository import GLib
from PIL import Image

RUNNING, STOPPED = "Pro sensors unlocked", "Not running"
INSTALL, UNINSTALL = "Install & start", "Uninstall"
UNIT = "orvane-macmon.service"
spoken = []  # what Orca 43 speaks unprompted: objects of the notification role that start showing


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


def named(pid, role):
    return {n.name: n for n in nodes(pid) if n.getRoleName() == role}


def status(pid):
    shown = {RUNNING, STOPPED} & {
        n.name for n in nodes(pid) if n.getRoleName() == "label" and n.getState().contains(pyatspi.STATE_SHOWING)}
    return shown.pop() if len(shown) == 1 else None


def offers(companion, only, limit=4):
    """Fails unless the given action soon is the only one enabled (none is while a run ends); returns its button."""
    buttons = lambda: named(companion.pid, "push button")
    enabled = lambda: [name for name, n in buttons().items() if n.getState().contains(pyatspi.STATE_SENSITIVE)]
    wait_until(companion, f"the window does not offer only {only!r}", lambda: enabled() == [only], limit)
    return buttons()[only]


def wait_until(companion, what, check, limit):
    start = time.monotonic()
    while time.monotonic() - start < limit:
        while GLib.MainContext.default().iteration(False):
            pass
        if check():
            return time.monotonic() - start
        if companion.poll() is not None:
            fail(f"the companion exited with {companion.returncode}")
        time.sleep(0.05)
    fail(f"{what} within {limit} s (the window says {status(companion.pid)!r})")


def says(companion, wanted, limit):
    return wait_until(companion, f"the window did not say {wanted!r}", lambda: status(companion.pid) == wanted, limit)


def service_pids(prefix):
    tool = os.path.join(prefix, "libexec/orvane-companion/macmon")
    return [int(p) for p in subprocess.run(["pidof", tool], capture_output=True, text=True).stdout.split()]


def unit(prop):
    return subprocess.run(["systemctl", "--user", "show", "-P", prop, UNIT], capture_output=True, text=True).stdout.strip()


def screen():
    """weston's output: its pixels, size, and the columns where the scene's teal and mint show."""
    shots = os.environ["TMPDIR"]
    subprocess.run(["weston-screenshooter"], cwd=shots, check=True, timeout=10, capture_output=True)
    image = Image.open(max(glob.glob(f"{shots}/wayland-screenshot-*.png"))).convert("RGB")
    px, (w, h) = image.load(), image.size
    return px, w, h, [x for x in range(w) for y in range(h // 5, h, 4) if px[x, y][0] < 100 < 150 < px[x, y][1]]


def maximized():
    """On screen the window's background from edge to edge, the scene's teal and mint (below the title bar's
    icon) centred on it."""
    px, w, h, teal = screen()
    return px[10, h * 3 // 4] == px[w - 10, h * 3 // 4] == (31, 31, 31) and teal and abs(min(teal) + max(teal) - w) < w / 4


def minimize_maximized(program, env):
    """Maximized, minimized from the title bar, back through weston's switcher: still running. Followed in the
    protocol log, as a screenshot or the accessibility bridge would hide the race (a size against the state)."""
    log = os.path.join(os.environ["TMPDIR"], "wayland.log")
    with open(log, "w") as out:
        companion = subprocess.Popen([program], env=dict(env, WAYLAND_DEBUG="1"), stderr=out)
    said = lambda pattern, since=0: re.search(pattern, open(log).read()[since:])
    try:
        wait_until(companion, "no window", lambda: said(r"xdg_toplevel@\d+\.configure\("), 20)
        subprocess.run(["xdotool", "key", "super+shift+m"], check=True)
        # Drawn maximized: a commit after the configure that gave it the output's size.
        wait_until(companion, "not maximized", lambda: said(r"xdg_toplevel@\d+\.configure\([1-9][\s\S]*commit"), 5)
        weston = subprocess.run(["xdotool", "search", "--class", "weston"], capture_output=True, text=True).stdout
        # From outside weston's window (it takes motion only after an entry) to the title bar's minimize button.
        for step in (["mousemove", "1200", "700"], ["mousemove", "--window", weston.split()[0], "960", "47"],
                     ["sleep", "0.3"], ["click", "1"]):
            subprocess.run(["xdotool"] + step, check=True)
        wait_until(companion, "not minimized", lambda: said("set_minimized"), 5)
        minimized = len(open(log).read())
        subprocess.run(["xdotool", "keydown", "super", "key", "Tab", "keyup", "super"], check=True)
        return wait_until(companion, "not back", lambda: said(r"wl_keyboard@\d+\.enter\(", minimized), 5)
    finally:
        companion.terminate()
        companion.wait(10)


def main():
    prefix, display, manager = sys.argv[1:4]
    program, config = os.path.join(prefix, "bin/orvane-companion"), os.environ["XDG_CONFIG_HOME"]
    env = dict(os.environ, QT_LINUX_ACCESSIBILITY_ALWAYS_ON="1", QT_QPA_PLATFORM="xcb" if display == "x11" else "wayland")
    pyatspi.Registry.registerEventListener(lambda e: e.detail1 and e.source.getRole() == pyatspi.ROLE_NOTIFICATION
                                           and spoken.append(e.source.name), "object:state-changed:showing")
    companion = subprocess.Popen([program], env=env)
    pid, timings = companion.pid, {}
    try:
        timings["window shown"] = says(companion, STOPPED, 20)
        # A window, its links and its buttons as such to a screen reader, which listened before they were made.
        roles = [set(named(pid, r)) for r in ("frame", "link", "push button")]
        if roles != [{"Orvane Companion"}, {"Open Orvane", "Privacy"}, {INSTALL, UNINSTALL}]:
            fail("not one window, two links and two push buttons")
        if display == "wayland":
            # weston's shortcut maximizes whatever size the window asks for; a surface of another size is killed.
            width = lambda: named(pid, "frame")["Orvane Companion"].queryComponent().getExtents(pyatspi.WINDOW_COORDS).width
            normal = width()
            for what, check in (("not maximized", maximized), ("not restored", lambda: width() == normal)):
                subprocess.run(["xdotool", "key", "super+shift+m"], check=True)
                timings[what[4:]] = wait_until(companion, what, check, 5)
        # Another program holds the port: the install fails, and the reason is spoken.
        with socket.create_server(("127.0.0.1", 9090)):
            offers(companion, INSTALL).queryAction().doAction(0)
            timings["failure spoken"] = wait_until(companion, "no notification of the failure", lambda: spoken == [
                "Couldn't install the sensor service: macmon: port 9090 on 127.0.0.1 is taken by another program"], 4)
        offers(companion, INSTALL).queryAction().doAction(0)
        timings["install → running"] = says(companion, RUNNING, 6)
        offers(companion, UNINSTALL, 30)  # the run has ended: a poll may show its outcome before it does
        if manager == "systemd":
            if unit("ActiveState") != "active" or service_pids(prefix) != [int(unit("MainPID"))]:
                fail("the service must run as the user unit's main process")
            # Restarted, or killed: the unit brings it back, and the window, polling it since, shows it running.
            for name, action in (("restart", ["systemctl", "--user", "restart", UNIT]), ("kill -9", ["kill", "-9"])):
                before, began = unit("MainPID"), time.monotonic()
                subprocess.run(action + ([before] if name == "kill -9" else []), check=True)
                timings[f"{name} → running"] = wait_until(
                    companion, "the unit did not bring the service back", lambda: unit("MainPID") not in ("0", before)
                    and time.monotonic() - began > 2.6 and status(pid) == RUNNING, 10)
        else:
            # The service dies under the window: the window must notice, and a new install must work.
            for service in service_pids(prefix):
                os.kill(service, signal.SIGKILL)
            timings["service killed → not running"] = says(companion, STOPPED, 4)
            offers(companion, INSTALL).queryAction().doAction(0)
            timings["reinstall → running"] = says(companion, RUNNING, 6)
        offers(companion, UNINSTALL, 30).queryAction().doAction(0)
        timings["uninstall → not running"] = says(companion, STOPPED, 4)
        offers(companion, INSTALL, 30)
        left = [f for f in ("systemd/user/" + UNIT, "autostart/orvane-macmon.desktop") if os.path.exists(f"{config}/{f}")]
        if service_pids(prefix) or left or (manager == "systemd" and unit("LoadState") != "not-found"):
            fail(f"'Uninstall' left the service running or installed: {left}")
    finally:
        companion.terminate()
        try:
            companion.wait(10)
        except subprocess.TimeoutExpired:
            companion.kill()
            fail("the companion did not quit on SIGTERM")
    if display == "wayland":
        timings["maximized → minimized → back"] = minimize_maximized(program, env)
    print(f"e2e: {display}, {manager}: " + "; ".join(f"{k} {v:.2f} s" for k, v in timings.items()), flush=True)


if __name__ == "__main__":
    main()
