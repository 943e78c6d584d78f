#!/usr/bin/python3
# SPDX-License-Identifier: MIT
"""Drives the installed companion through its accessibility tree, reading only what a screen reader reads.
Usage: e2e.py PREFIX x11|wayland none|systemd PLUGIN_DIR"""
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
LOG = os.path.join(os.environ["TMPDIR"], "wayland.log")
# Orca 43 speaks, unprompted, an object of the notification role that starts showing.
spoken = []


def heard(event):
    if event.detail1 and event.source.getRole() == pyatspi.ROLE_NOTIFICATION:
        spoken.append(event.source.name)


def fail(message):
    # What the companion said on the Wayland desktop, between the lines of its protocol log.
    if os.path.exists(LOG):
        print(*(line for line in open(LOG, errors="replace") if not line.startswith("[")), sep="", end="")
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


def offers(pid, only):
    """Fails unless the given action is the only one enabled; returns its button."""
    found = {k: v for k, v in named(pid, "push button").items() if k in (INSTALL, UNINSTALL)}
    if [name for name, n in found.items() if n.getState().contains(pyatspi.STATE_SENSITIVE)] != [only]:
        fail(f"the window must offer only {only!r}")
    return found[only]


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


def exe(pid):
    try:
        return os.readlink(f"/proc/{pid}/exe")
    except OSError:
        return None


def service_pids(prefix):
    tool = os.path.join(prefix, "libexec/orvane-companion/macmon")
    return [int(p) for p in os.listdir("/proc") if p.isdigit() and exe(p) == tool]


def unit(prop):
    return subprocess.run(["systemctl", "--user", "show", "-P", prop, UNIT], capture_output=True, text=True).stdout.strip()


def maximized(log):
    """The compositor's maximize configure, answered with a surface of exactly that size."""
    text = open(log, errors="replace").read()
    sizes = re.findall(r"xdg_toplevel@\d+\.configure\((\d+), (\d+),", text)
    answers = re.findall(r"set_window_geometry\(0, 0, (\d+), (\d+)\)", text.split("set_maximized()", 1)[-1])
    return "set_maximized()" in text and sizes and sizes[-1][0] != "0" and sizes[-1] in answers


def painted(shots):
    """The maximized window on a screenshot: its background at both sides, the scene centred between them."""
    subprocess.run(["weston-screenshooter"], cwd=shots, check=True, timeout=10, capture_output=True)
    image = Image.open(max(glob.glob(f"{shots}/wayland-screenshot-*.png"))).convert("RGB")
    width, height = image.size
    background = image.getpixel((10, height * 3 // 4))
    # The scene's teal and mint (icon, button, links), below the title bar and its icon.
    teal = [x for x in range(width) for y in range(height // 5, height, 4) if image.getpixel((x, y))[0] < 100 < 150 < image.getpixel((x, y))[1]]
    return background == image.getpixel((width - 10, height * 3 // 4)) == (31, 31, 31) and teal \
        and abs((min(teal) + max(teal)) / 2 - width / 2) < width / 8


def main():
    prefix, display, manager, plugins = sys.argv[1:5]
    program = os.path.join(prefix, "bin/orvane-companion")
    config = os.environ["XDG_CONFIG_HOME"]
    env = dict(os.environ, QT_LINUX_ACCESSIBILITY_ALWAYS_ON="1")
    if display == "wayland":
        env.update(QT_QPA_PLATFORM="wayland", QT_PLUGIN_PATH=plugins, QT_QPA_GENERIC_PLUGINS="maximize-request",
                   WAYLAND_DEBUG="client")
    pyatspi.Registry.registerEventListener(heard, "object:state-changed:showing")
    companion = subprocess.Popen([program], env=env, stderr=open(LOG, "w") if display == "wayland" else None)
    pid, timings = companion.pid, {}
    try:
        timings["window shown"] = says(companion, STOPPED, 20)
        # A window, its links and its buttons as such to a screen reader, which listened before they were made.
        found = {role: set(named(pid, role)) for role in ("frame", "link", "push button")}
        if found != {"frame": {"Orvane Companion"}, "link": {"Open Orvane", "Privacy"}, "push button": {INSTALL, UNINSTALL}}:
            fail(f"the window's roles: {found}")
        if display == "wayland":
            wait_until(companion, "no maximized surface of the configured size", lambda: maximized(LOG), 5)
            wait_until(companion, "no maximized window with its scene on screen", lambda: painted(os.environ["TMPDIR"]), 5)
        # A second launch hands over to the first on the session bus and leaves.
        if subprocess.run([program], env=dict(env, WAYLAND_DEBUG=""), timeout=10).returncode != 0 or companion.poll() is not None:
            fail("a second launch must exit 0 and leave the first running")
        # Another program holds the port: the install fails, and the reason is spoken.
        with socket.socket() as taken:
            taken.bind(("127.0.0.1", 9090))
            taken.listen()
            offers(pid, INSTALL).queryAction().doAction(0)
            failure = "Couldn't install the sensor service: macmon: port 9090 on 127.0.0.1 is taken by another program"
            timings["failure spoken"] = wait_until(companion, "no notification of the failure", lambda: failure in spoken, 4)
        offers(pid, INSTALL).queryAction().doAction(0)
        timings["install → running"] = says(companion, RUNNING, 6)
        offers(pid, UNINSTALL)
        if manager == "systemd":
            if unit("ActiveState") != "active" or service_pids(prefix) != [int(unit("MainPID"))]:
                fail("the service must run as the user unit's main process")
            # Restarted by the manager, or killed: the unit brings it back, and the window, polling it since,
            # shows it running.
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
            offers(pid, INSTALL).queryAction().doAction(0)
            timings["reinstall → running"] = says(companion, RUNNING, 6)
        offers(pid, UNINSTALL).queryAction().doAction(0)
        timings["uninstall → not running"] = says(companion, STOPPED, 4)
        left = [f for f in ("systemd/user/" + UNIT, "autostart/orvane-macmon.desktop") if os.path.exists(os.path.join(config, f))]
        if service_pids(prefix) or left or (manager == "systemd" and unit("LoadState") != "not-found"):
            fail(f"'Uninstall' left the service running or installed: {left}")
    finally:
        companion.terminate()
        try:
            companion.wait(10)
        except subprocess.TimeoutExpired:
            companion.kill()
            fail("the companion did not quit on SIGTERM")
    print(f"e2e: {display}, {manager}: " + "; ".join(f"{k} {v:.2f} s" for k, v in timings.items()), flush=True)


if __name__ == "__main__":
    main()
