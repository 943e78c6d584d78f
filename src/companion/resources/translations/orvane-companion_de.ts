<?xml version="1.0" encoding="utf-8"?>
<!-- SPDX-License-Identifier: MIT -->
<!DOCTYPE TS>
<TS version="2.1" language="de_DE">
<context>
    <name>CompanionWindow</name>
    <message>
        <source>Orvane Companion</source>
        <translation>Orvane Companion</translation>
    </message>
</context>
<context>
    <name>ContentView</name>
    <message>
        <source>Orvane</source>
        <translation>Orvane</translation>
    </message>
    <message>
        <source>Companion · Unlocks Pro sensors</source>
        <translation>Companion · Schaltet Pro-Sensoren frei</translation>
    </message>
    <message>
        <source>Working</source>
        <translation>In Arbeit</translation>
    </message>
    <message>
        <source>Install &amp; start</source>
        <translation>Installieren &amp; starten</translation>
    </message>
    <message>
        <source>Uninstall</source>
        <translation>Deinstallieren</translation>
    </message>
    <message>
        <source>Open Orvane</source>
        <translation>Orvane öffnen</translation>
    </message>
    <message>
        <source>Privacy</source>
        <translation>Datenschutz</translation>
    </message>
    <message>
        <source>Free · runs in background · 100% local</source>
        <translation>Kostenlos · läuft im Hintergrund · 100 % lokal</translation>
    </message>
    <message>
        <source>Pro sensors unlocked</source>
        <translation>Pro-Sensoren freigeschaltet</translation>
    </message>
    <message>
        <source>Not running</source>
        <translation>Läuft nicht</translation>
    </message>
    <message>
        <source>Open Orvane to see CPU/GPU temperature, SoC power and GPU usage.</source>
        <translation>Öffne Orvane, um CPU-/GPU-Temperatur, SoC-Leistung und GPU-Auslastung zu sehen.</translation>
    </message>
    <message>
        <source>Install to unlock CPU/GPU temperature, SoC power and GPU usage inside Orvane.</source>
        <translation>Installiere, um CPU-/GPU-Temperatur, SoC-Leistung und GPU-Auslastung in Orvane freizuschalten.</translation>
    </message>
    <message>
        <source>Couldn&apos;t install the sensor service:</source>
        <translation>Der Sensordienst ließ sich nicht installieren:</translation>
    </message>
    <message>
        <source>Couldn&apos;t remove the sensor service:</source>
        <translation>Der Sensordienst ließ sich nicht entfernen:</translation>
    </message>
</context>
</TS>
