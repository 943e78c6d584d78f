#!/usr/bin/python3
# SPDX-License-Identifier: MIT
"""Writes a pseudo-translation of a Qt .ts file whose every text is PERCENT longer than its English source,
so a layout can be checked against longer languages. Usage: pseudo-translate.py IN.ts PERCENT OUT.ts"""
import math
import sys
import xml.etree.ElementTree as ET


def stretch(text, percent):
    words = text.split(" ")
    wanted = math.ceil(len(text) * percent / 100)
    stretchable = [i for i, w in enumerate(words) if any(c.isalpha() for c in w)] or [0]
    # Each word with letters grows by repeating its own letters, the longest first, until the text is long enough.
    grown = 0
    while grown < wanted:
        for i in sorted(stretchable, key=lambda i: -len(words[i])):
            if grown >= wanted:
                break
            letters = [c for c in words[i] if c.isalpha()] or ["x"]
            words[i] += letters[grown % len(letters)].lower()
            grown += 1
    return " ".join(words)


source, percent, target = sys.argv[1], int(sys.argv[2]), sys.argv[3]
tree = ET.parse(source)
tree.getroot().set("language", "en_ZZ")
for message in tree.getroot().iter("message"):
    translation = message.find("translation")
    translation.attrib.clear()
    translation.text = stretch(message.find("source").text, percent)
tree.write(target, encoding="utf-8", xml_declaration=True)
