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
</context>
</TS>
