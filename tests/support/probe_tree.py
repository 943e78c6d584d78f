#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Lays out the sysfs tree a machine's `sensors` text stands for, one tree per probe.

Usage: probe_tree.py DEST PROBE...   (each tree goes to DEST/<probe file name>/sys)
"""
import os
import re
import sys

CHIP = re.compile(r"^(.+)-(pci|isa|acpi|virtual|i2c|hid|platform|spi|scsi|mdio|sdio)-(.+)$")
LINE = re.compile(r"^([^ ].*?):\s+(N/A|[-+]?[\d.]+)")
NUMBER = re.compile(r"([-+]?[\d.]+)[ *°]*(C|[mu]?V|[mu]?W|[mu]?A|k?J|RPM)\b")
# Unit -> (attribute, scale to the kernel's unit); "in" counts from 0, every other attribute from 1.
UNITS = {"C": ("temp", 1e3), "V": ("in", 1e3), "mV": ("in", 1), "RPM": ("fan", 1), "W": ("power", 1e6),
         "mW": ("power", 1e3), "uW": ("power", 1), "A": ("curr", 1e3), "mA": ("curr", 1), "uA": ("curr", 1e-3),
         "J": ("energy", 1e6), "kJ": ("energy", 1e9)}
# The figure a power line shows: amdgpu's average, the instantaneous input elsewhere.
POWER_FILE = {"amdgpu": "average"}
GPUS = ("amdgpu", "radeon", "nouveau")
VOLTAGES = {"vddgfx": "in", "vddnb": "in"}  # amdgpu's, named by the driver


def write(path, text):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "w") as f:
        f.write(text + "\n")


def link(target, name):
    os.makedirs(os.path.dirname(name), exist_ok=True)
    os.symlink(os.path.relpath(target, os.path.dirname(name)), name)


def device(sys_dir, bus, address, name):
    """The device a chip hangs below: its PCI function, a platform device, or none (a virtual hwmon)."""
    if bus == "pci":  # "0300" is bus 03, devfn 00
        devfn = int(address[2:], 16)
        return f"{sys_dir}/devices/pci0000:00/0000:{address[:2]}:{devfn >> 3:02x}.{devfn & 7}"
    if bus == "isa":
        return f"{sys_dir}/devices/platform/{name}.{int(address, 16)}"
    return None


def chip(sys_dir, number, block, cards):
    found = CHIP.match(block[0])
    if not found:
        return
    name, bus, address = found.groups()
    owner = device(sys_dir, bus, address, name)
    hwmon = f"{owner}/hwmon/hwmon{number}" if owner else f"{sys_dir}/devices/virtual/hwmon/hwmon{number}"
    write(f"{hwmon}/name", name)
    link(hwmon, f"{sys_dir}/class/hwmon/hwmon{number}")
    used = {}
    for line in block[1:]:
        m = LINE.match(line)
        if not m:
            continue
        label, value = m.groups()
        # An "N/A" line tells its kind by its limits' unit, else by its name (amdgpu's voltages).
        unit = NUMBER.search(line[m.start(2):])
        kind = UNITS[unit.group(2)][0] if unit else VOLTAGES.get(label, re.sub(r"\d+$", "", label))
        plain = re.fullmatch(kind + r"(\d+)", label)
        taken = used.setdefault(kind, set())
        if name == "k8temp":  # no label files: lm-sensors names temp1/temp2 "Core0 Temp", temp3/temp4 "Core1 Temp"
            index = 2 * int(label[4]) + 1
            index += index in taken
        else:
            index = int(plain.group(1)) if plain else min(set(range(0 if kind == "in" else 1, 99)) - taken)
        taken.add(index)
        attribute = f"{kind}{index}_" + (POWER_FILE.get(name, "input") if kind == "power" else "input")
        # A value the driver failed to give ("N/A") is a file that reads as no number.
        scaled = "" if value == "N/A" else str(round(float(unit.group(1)) * UNITS[unit.group(2)][1]))
        write(f"{hwmon}/{attribute}", scaled)
        if not plain and name != "k8temp":
            write(f"{hwmon}/{kind}{index}_label", label)
    if name in GPUS and owner:
        card = f"{owner}/drm/card{len(cards)}"
        cards.append(card)
        link(card, f"{sys_dir}/class/drm/card{len(cards) - 1}")
        link(owner, f"{card}/device")
        write(f"{owner}/uevent", f"DRIVER={name}")
        write(f"{owner}/power/runtime_status", "active")  # its sensors answered, so it was awake


def main():
    dest = sys.argv[1]
    for probe in sys.argv[2:]:
        sys_dir = os.path.join(dest, os.path.basename(probe), "sys")
        with open(probe) as f:
            blocks = [b.splitlines() for b in f.read().split("\n\n") if b.strip()]
        cards = []
        for number, block in enumerate(blocks):
            chip(sys_dir, number, block, cards)


if __name__ == "__main__":
    main()
