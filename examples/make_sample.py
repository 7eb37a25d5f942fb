#!/usr/bin/env python3
"""Write examples/sample.jsonl: a short recorded run with channels of every
data type (marker, single values, a name-value block, spectra, an 8-bit and
a 16-bit camera, an EqData channel and a channel of an unknown type).
Deterministic: the same file every time."""
import json
import math
import os

channels = [
    {"name": "RUN/MARKER", "type": 1},
    {"name": "BPM/X", "type": 2},
    {"name": "BPM/Y", "sub": 0, "type": 2},
    {"name": "MAGNETS", "type": 2},
    {"name": "SPECT/ADC", "type": 3},
    {"name": "CAM/A", "type": 4},
    {"name": "CAM/B", "sub": 1, "type": 4},
    {"name": "EQ/TEMP", "type": 5},
    {"name": "RAW/OLD", "type": 7},
]
descriptions = [
    {"daq_name": "BPM/X", "desc": "horizontal beam position", "units": "mm"},
    {"daq_name": "SPECT/ADC", "desc": "ADC waveform", "units": "counts"},
    {"daq_name": "CAM/A", "desc": "screen camera", "units": "grey"},
    {"daq_name": "OTHER/CHANNEL", "desc": "not read in this run"},
]


def event(k):
    evid = 5000 + k
    mpulse = 900 + k // 2          # two events per macro pulse
    w, h = 16, 12
    pixels8 = bytes((x * 16 + y * 7 + k) % 256 for y in range(h) for x in range(w))
    pixels16 = b"".join(((x * 4000 + y * 300 + k * 11) % 65536).to_bytes(2, "big")
                        for y in range(8) for x in range(8))
    ev = {
        "id": evid,
        "type": 1 if k % 10 else 2,
        "time": [1796654123 + k, (k * 123457) % 1000000],
        "status": 0,
        "mpulse": mpulse,
        "channels": {
            "RUN/MARKER": {},
            "BPM/X": {"value": round(0.25 * math.sin(k / 3.0), 6)},
            "BPM/Y:0": {"value": round(-0.125 + 0.01 * k, 6)},
            "MAGNETS": {"items": [["Q1", 12.5 + k], ["Q2", -3.25], ["D1", 0.000123 * (k + 1)]]},
            "SPECT/ADC": {"members": [
                {"start": 0, "inc": 0.5, "values": [round(10 * math.exp(-((i - 8 - k % 4) ** 2) / 6.0), 4)
                                                   for i in range(20)],
                 "stat": {"mask": 5, "val": {"0": 10.0, "2": 8.0 + k % 4}}},
                {"start": 100, "inc": 1, "values": [float(i % 5) for i in range(12)]},
            ]},
            "CAM/A": {"image": {"bpp": 1, "width": w, "height": h, "pixels": pixels8.hex(),
                                "header": {"frame": k, "scale_x": 0.1, "scale_y": 0.1}}},
            "CAM/B:1": {"image": {"bpp": 2, "width": 8, "height": 8, "pixels": pixels16.hex()}},
            "EQ/TEMP": {"eq": {"type": 2, "values": [21.5 + 0.1 * k]}},
            "RAW/OLD": {},
        },
    }
    if k % 7 == 3:   # the camera reports a bad channel status now and then
        ev["channels"]["CAM/A"]["chan"] = {"status": 4}
    if k % 5 == 0:   # an image server block with its own time stamp
        ev["image_block"] = {"time": [1796654123 + k, 500000]}
    return ev


def main():
    out = os.path.join(os.path.dirname(os.path.abspath(__file__)), "sample.jsonl")
    with open(out, "w") as f:
        header = {"format": "korvel-recording", "version": 1, "channels": channels,
                  "descriptions": descriptions, "empty_events": 1}
        f.write(json.dumps(header) + "\n")
        for k in range(30):
            f.write(json.dumps(event(k)) + "\n")


if __name__ == "__main__":
    main()
