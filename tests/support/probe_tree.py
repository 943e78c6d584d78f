#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Lays out the sysfs tree a machine's `sensors` text stands for: probe_tree.py DEST PROBE... (to DEST/<probe>/sys)"""
import os
import re
import sys

CHIP = re.compile(r"^(.+)-(pci|isa|acpi|virtual|i2c|hid|platform|spi|scsi|mdio|sdio)-(.+)$", re.M)
LINE = re.compile(r"^([^ ].*?):\s+(N/A|[-+]?[\d.]+)")
NUMBER = re.compile(r"([-+]?[\d.]+)[ *°]*(C|[mu]?V|[mu]?W|[mu]?A|RPM)\b")
# Unit -> attribute and scale to the kernel's unit; "in" counts from 0, every other attribute from 1.
UNITS = {"C": ("temp", 1e3), "V": ("in", 1e3), "mV": ("in", 1), "uV": ("in", 1e-3), "RPM": ("fan", 1), "W": ("power", 1e6),
         "mW": ("power", 1e3), "uW": ("power", 1), "A": ("curr", 1e3), "mA": ("curr", 1), "uA": ("curr", 1e-3)}


def write(path, text, target=None):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    if target:
        return os.symlink(os.path.relpath(target, os.path.dirname(path)), path)
    with open(path, "w") as f:
        f.write(text + "\n")


def chip(root, number, block, cards):
    name, bus, address = CHIP.match(block[0]).groups()
    devfn = int(address[2:], 16) if bus == "pci" else 0  # "pci-0300" is bus 03, device 0, function 0
    owner = f"{root}/devices/pci0000:00/0000:{address[:2]}:{devfn >> 3:02x}.{devfn & 7}" if bus == "pci" else \
        f"{root}/devices/platform/{name}.{int(address, 16)}" if bus == "isa" else f"{root}/devices/virtual"
    # A thermal zone's own hwmon copy (named after its type): the zone is laid out too, as the kernel has both.
    if bus == "virtual" and re.search(r"therm|_zone$|_tegra$", name):
        owner = f"{root}/devices/virtual/thermal/thermal_zone{number}"
        write(f"{owner}/type", name)
        write(f"{root}/class/thermal/thermal_zone{number}", "", owner)
    hwmon = f"{owner}/hwmon/hwmon{number}"
    write(f"{hwmon}/name", name)
    write(f"{root}/class/hwmon/hwmon{number}", "", hwmon)
    used = {}
    for line in block[1:]:
        m = LINE.match(line)
        unit = m and NUMBER.search(line[m.start(2):])
        if not m or not unit and m.group(2) != "N/A":  # a count of energy, an alarm: nothing read here
            continue
        label, value = m.groups()
        # An "N/A" line tells its kind by its limits' unit, else by its name (amdgpu's vddgfx, vddnb).
        kind = UNITS[unit.group(2)][0] if unit else "in" if label.startswith("vdd") else label.rstrip("0123456789")
        plain = re.fullmatch(kind + r"(\d+)", label)
        taken = used.setdefault(kind, set())
        # ina3221's channels count from 1, voltages included.
        index = int(plain.group(1)) if plain else min(set(range(kind != "in" or name == "ina3221", 99)) - taken)
        if name == "k8temp":  # no label files: lm-sensors names temp1/temp2 "Core0 Temp", temp3/temp4 "Core1 Temp"
            index = 2 * int(label[4]) + 1 + (2 * int(label[4]) + 1 in taken)
        taken.add(index)
        # A power line shows amdgpu's average, elsewhere the input; "N/A" is a file that reads as no number.
        suffix = "average" if kind == "power" and name == "amdgpu" else "input"
        write(f"{hwmon}/{kind}{index}_{suffix}",
              "" if value == "N/A" else str(round(float(unit.group(1)) * UNITS[unit.group(2)][1])))
        if not plain and name != "k8temp":
            write(f"{hwmon}/{kind}{index}_label", label)
        if kind == "temp" and index == 1 and os.path.exists(f"{owner}/type"):
            write(f"{owner}/temp", str(round(float(unit.group(1)) * 1e3)) if unit else "")
    if name in ("amdgpu", "radeon", "nouveau", "i915", "xe") and bus == "pci":
        card = f"{owner}/drm/card{len(cards)}"
        write(f"{root}/class/drm/card{len(cards)}", "", card)
        write(f"{card}/device", "", owner)
        write(f"{owner}/uevent", f"DRIVER={name}")
        write(f"{owner}/power/runtime_status", "active")  # its sensors answered, so it was awake
        cards.append(card)


for probe in sys.argv[2:]:
    with open(probe) as f:
        blocks = [b.splitlines() for b in f.read().split("\n\n") if CHIP.match(b.strip())]
    cards = []
    for number, block in enumerate(blocks):
        chip(os.path.join(sys.argv[1], os.path.basename(probe), "sys"), number, block, cards)
