<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="en">
<context>
    <name>Localizable</name>
    <message>
        <source>Recording Filename</source>
        <translation>Tempolis Recording %1 at %2</translation>
    </message>
    <message>
        <source>Save Panel Title</source>
        <translation>Save Recording</translation>
    </message>
    <message>
        <source>Error Microphone Permission</source>
        <translation>Tempolis cannot record: access to the microphone was refused.</translation>
    </message>
    <message>
        <source>Export Error</source>
        <translation>The recording could not be saved.</translation>
    </message>
    <message>
        <source>Time Popup Duration</source>
        <translation>Keep the last %1</translation>
    </message>
    <message>
        <source>Time Popup Time</source>
        <translation>from %1</translation>
    </message>
    <message>
        <source>Saved Popup Duration</source>
        <translation>Saved %1</translation>
    </message>
    <message>
        <source>Saved Popup Time</source>
        <translation>starting at %1</translation>
    </message>
    <message>
        <source>Share Tempolis Tweet Text</source>
        <translation>I just kept something I would have missed, with Tempolis: it keeps the recent past of my microphone.</translation>
    </message>
    <message>
        <source>Share Button</source>
        <translation>Share</translation>
    </message>
    <message numerus="yes">
        <source>Duration Minutes</source>
        <translation>
            <numerusform>%n minute</numerusform>
            <numerusform>%n minutes</numerusform>
        </translation>
    </message>
    <message numerus="yes">
        <source>Duration Seconds</source>
        <translation>
            <numerusform>%n second</numerusform>
            <numerusform>%n seconds</numerusform>
        </translation>
    </message>
    <message>
        <source>Duration Minutes And Seconds</source>
        <translation>%1, %2</translation>
    </message>
    <message>
        <source>Launch at Login Error</source>
        <translation>Could not change launch at login: %1</translation>
    </message>
    <message>
        <source>Disk Space Error</source>
        <translation>Not enough free disk space to keep the last %1: Tempolis keeps the last %2 for now.</translation>
    </message>
    <message>
        <source>Cache Folder Error</source>
        <translation>Tempolis cannot record: its folder for the recent past cannot be made (%1).</translation>
    </message>
    <message>
        <source>Settings Default Audio Device</source>
        <translation>System Default</translation>
    </message>
    <message>
        <source>Settings System Audio</source>
        <translation>System audio</translation>
    </message>
    <message>
        <source>Settings Microphone And System Audio</source>
        <translation>Microphone and system audio</translation>
    </message>
    <message>
        <source>Settings Audio Device Label</source>
        <translation>Microphone</translation>
    </message>
    <message>
        <source>Settings Length Label</source>
        <translation>Keep the last</translation>
    </message>
    <message>
        <source>Settings More</source>
        <translation>More Settings…</translation>
    </message>
    <message>
        <source>Settings Launch at Login</source>
        <translation>Launch at Login</translation>
    </message>
    <message>
        <source>Settings Pause Recording</source>
        <translation>Pause Recording</translation>
    </message>
    <message>
        <source>Settings Resume Recording</source>
        <translation>Resume Recording</translation>
    </message>
    <message>
        <source>Settings Quit</source>
        <translation>Quit Tempolis</translation>
    </message>
    <message>
        <source>Settings Version</source>
        <translation>Version %1</translation>
    </message>
    <message>
        <source>Settings Show in System Tray</source>
        <translation>Show in System Tray</translation>
    </message>
    <message>
        <source>Tray Save Last 30 Seconds</source>
        <translation>Save the Last 30 Seconds</translation>
    </message>
    <message>
        <source>Tray Save Last 5 Minutes</source>
        <translation>Save the Last 5 Minutes</translation>
    </message>
    <message>
        <source>Tray Save Last 30 Minutes</source>
        <translation>Save the Last 30 Minutes</translation>
    </message>
    <message>
        <source>Tray Save Everything</source>
        <translation>Save Everything Held</translation>
    </message>
    <message>
        <source>Tray Settings</source>
        <translation>Settings…</translation>
    </message>
    <message>
        <source>Tray Hint</source>
        <translation>Click, then click again further away to keep the recent past.</translation>
    </message>
    <message>
        <source>Status Item Description</source>
        <translation>Press and pull down to keep the recent past; click for the settings.</translation>
    </message>
    <message>
        <source>Status Recording</source>
        <translation>Recording.</translation>
    </message>
    <message>
        <source>Status Not Recording</source>
        <translation>Not recording.</translation>
    </message>
    <message>
        <source>Status Paused</source>
        <translation>Paused.</translation>
    </message>
    <message>
        <source>Status Saving</source>
        <translation>Saving…</translation>
    </message>
    <message>
        <source>Status Error</source>
        <translation>Recording or saving failed.</translation>
    </message>
</context>
</TS>
