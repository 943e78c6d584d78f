#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Writes a sysfs tree of a recorded machine plus board, disk and other chips up to N hwmon chips in all.

Usage: synthetic_tree.py CHIPS MACHINE_DIR DEST
"""
import os
import shutil
import sys

# Chip kinds a large server or a machine with many disks and DIMMs shows: name, labelled inputs (°C).
KINDS = [
    ("nct6798", [("SYSTIN", 34), ("CPUTIN", 41), ("AUXTIN0", 30), ("AUXTIN1", 29), ("PECI Agent 0", 52)]),
    ("nvme", [("Composite", 38), ("Sensor 1", 38), ("Sensor 2", 44)]),
    ("drivetemp", [("", 33)]),
    ("jc42", [("", 36)]),
    ("acpitz", [("", 27)]),
    ("iwlwifi_1", [("", 41)]),
]


def main():
    chips, machine, dest = int(sys.argv[1]), sys.argv[2], sys.argv[3]
    shutil.rmtree(dest, ignore_errors=True)
    shutil.copytree(machine, dest, symlinks=True)
    hwmon = os.path.join(dest, "sys/class/hwmon")
    have = len(os.listdir(hwmon))
    for n in range(have, chips):
        name, temps = KINDS[n % len(KINDS)]
        rel = f"devices/platform/synthetic.{n}/hwmon/hwmon{n}"
        folder = os.path.join(dest, "sys", rel)
        os.makedirs(folder)
        with open(os.path.join(folder, "name"), "w") as f:
            f.write(name + "\n")
        for i, (label, celsius) in enumerate(temps, 1):
            with open(os.path.join(folder, f"temp{i}_input"), "w") as f:
                f.write(f"{celsius * 1000 + n % 1000}\n")
            if label:
                with open(os.path.join(folder, f"temp{i}_label"), "w") as f:
                    f.write(label + "\n")
        os.symlink(os.path.join("../..", rel), os.path.join(hwmon, f"hwmon{n}"))


if __name__ == "__main__":
    main()
