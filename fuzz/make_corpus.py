#!/usr/bin/env python3
"""Writes the seed inputs in fuzz/corpus/<target>/. Run again after changing the
input layout of a target; the seeds are small and committed."""

import pathlib
import struct
import zlib

HERE = pathlib.Path(__file__).resolve().parent
RECORD = bytes([0x02, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E, 172, 16, 30, 1, 0x0B, 0xB9,
                172, 16, 0, 1, 0x02, 0xBC, 172, 16, 0, 1, 255, 255, 0, 0])
REQUEST = RECORD[6:]


def frame(kind, sequence, payload):
    header = struct.pack(">BBBBHH", 0x50, 0x4E, 1, kind, sequence, len(payload))
    return header + struct.pack(">I", zlib.crc32(payload, zlib.crc32(header))) + payload


HELLO_REPLY = frame(0x81, 1, b"\x00" + struct.pack(">H", 3400))
READ_REPLY = frame(0x82, 2, b"\x00" + RECORD)
WRITE_REPLY = frame(0x83, 2, b"\x00" + REQUEST)


class Provider:
    """Lays out bytes the way libFuzzer's FuzzedDataProvider takes them:
    byte strings from the front, small numbers from the back."""

    def __init__(self):
        self.front = bytearray()
        self.back = bytearray()

    def number(self, value):   # one byte: every range the targets use fits
        self.back.append(value)
        return self

    def data(self, raw):
        self.front += raw
        return self

    def build(self):
        return bytes(self.front) + bytes(reversed(self.back))




def library_seed(writing, capacity_index, hello, answer):
    p = Provider()
    p.number(1 if writing else 0).number(capacity_index).number(1).number(0)
    p.data(REQUEST)
    p.number(1)   # connect again while linked
    hello(p, "hello")
    answer(p, "write" if writing else "read")
    return p.build()


def sound(p, kind):
    p.number(1).number(1).number(1).number(1).number(1).number(0)   # layout, status 0
    if kind == "hello":
        p.number(1)   # the right model
    if kind == "read":
        p.data(RECORD)
    if kind == "write":
        p.number(1)   # no bit flipped
    p.number(1)       # no stray bytes
    p.number(1).number(0)   # not cut, not closed
    return p


def read_back_differs(p, kind):
    p.number(1).number(1).number(1).number(1).number(1).number(0)
    p.number(0).number(37)   # status 0, but bit 37 of the stored record flipped
    p.number(1).number(1).number(0)
    return p


def raw(payload, cut=None, close=False):
    def plan(p, _kind):
        p.number(0).number(len(payload)).data(payload)
        if cut is None:
            p.number(1)
        else:
            p.number(0).number(cut)
        p.number(1 if close else 0)
        return p
    return plan


def status_only(code):
    def plan(p, _kind):
        p.number(1).number(1).number(1).number(1).number(0)   # fuzzed payload
        p.number(1).data(bytes([code]))
        p.number(1).number(1).number(0)
        return p
    return plan


SEEDS = {
    "fuzz_frame_decoder": {
        "hello-reply": HELLO_REPLY,
        "read-reply": READ_REPLY,
        "write-reply": WRITE_REPLY,
        "two-frames": HELLO_REPLY + READ_REPLY,
        "status-only": frame(0x82, 7, b"\x04"),
        "bad-magic": b"XY" + READ_REPLY[2:],
        "bad-checksum": READ_REPLY[:11] + bytes([READ_REPLY[11] ^ 1]) + READ_REPLY[12:],
        "too-long": frame(0x82, 2, b"")[:6] + b"\x00\x41" + b"\x00" * 4,
    },
    "fuzz_library_reply": {
        "read-sound": library_seed(False, 3, sound, sound),
        "write-sound": library_seed(True, 3, sound, sound),
        "read-raw-reply": library_seed(False, 0, sound, raw(READ_REPLY)),
        "write-raw-reply": library_seed(True, 1, raw(HELLO_REPLY), raw(WRITE_REPLY)),
        "read-status": library_seed(False, 3, sound, status_only(4)),
        "write-status": library_seed(True, 1, sound, status_only(4)),
        "write-read-back-differs": library_seed(True, 3, sound, read_back_differs),
        "read-small": library_seed(False, 2, sound, sound),
        "read-cut-close": library_seed(False, 3, sound, raw(READ_REPLY, cut=6, close=True)),
    },
    "fuzz_int_conversion": {
        "decimal": b"\x00" + b"3001",
        "most-negative": b"\x00" + b"-2147483648",
        "hex-dollar": b"\x00" + b"$FFFFFFFF",
        "hex-0x": b"\x00" + b"  0x7fffffff",
        "plus": b"\x00" + b"+12",
        "utf16": b"\x01" + "\u00a0\u0661 23".encode("utf-16-le"),
        "request": b"\x02" + b"172.16.30.1|3001|172.16.0.1|255.255.0.0",
        "request-bad-port": b"\x02" + b"10.0.0.1|30O1|10.0.0.254|255.0.0.0",
        "reply-record": b"\x04" + RECORD,
    },
}

for target, seeds in SEEDS.items():
    folder = HERE / "corpus" / target
    folder.mkdir(parents=True, exist_ok=True)
    for name, content in seeds.items():
        (folder / name).write_bytes(content)
