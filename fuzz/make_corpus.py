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


STATE = (b"# PNV-3400 encoder simulator state\nmac = 02:1A:2B:3C:4D:5E\naddress = 172.16.30.1\nport = 3001\n"
         b"aux-address = 172.16.0.1\naux-port = 700\ngateway = 172.16.0.1\nmask = 255.255.0.0\n")


def hello(sequence=1, mode=14):
    return frame(0x01, sequence, struct.pack(">i", mode))


def session_seed(*clients):
    """clients: (bytes, cut) per connection; at most three, or 66 for a crowd."""
    p = Provider()
    if len(clients) > 3:
        p.number(0)                       # a crowd: more than the table holds
    else:
        p.number(1).number(len(clients) - 1)
    for sent, cut in clients:
        p.number(len(sent) >> 8).number(len(sent) & 0xFF).data(sent)
        if len(sent) > 255:
            p.number(cut >> 8)
        p.number(cut & 0xFF)
    return p.build()


SESSION = hello() + frame(0x02, 2, b"") + frame(0x03, 3, REQUEST) + frame(0x04, 4, b"")


def bridge_frame(kind, payload, flags=0):
    return b"TB" + bytes([kind, flags]) + struct.pack("<I", len(payload)) + payload


def bridge_seed(capacity, *frames, piece=255):
    """The capacity of the call a reply answers, then the stream in pieces."""
    p = Provider()
    p.back += struct.pack(">I", capacity + 2**31)   # ConsumeIntegral: INT32_MIN plus these, most significant first
    stream = b"".join(frames)
    for start in range(0, len(stream), piece):
        chunk = stream[start:start + piece]
        p.number(len(chunk)).data(chunk)
    return p.build()


BRIDGE_WRITE = bridge_frame(0x04, struct.pack("<ii", 3000, 500) + REQUEST + bytes(480))
BRIDGE_CONNECT = bridge_frame(0x01, struct.pack("<iii", 3000, 14, 3001) + b"172.16.30.1".ljust(16, b"\0"))

def pe_file(machine=0x14C, magic=0x10B, dll=True, exports=("S_Connect", "S_Disconnect", "ConfigRead",
                                                               "ConfigWrite", "DLLClose")):
    """A minimal PE file: headers, one section holding an export directory
    with the given names."""
    optional_size = 224 if magic == 0x10B else 240
    directories = 96 if magic == 0x10B else 112
    pe = 0x40
    section_table = pe + 24 + optional_size
    raw = 0x200
    rva = 0x1000
    names = b""
    name_rvas = []
    table = 40 + 4 * len(exports)
    for name in exports:
        name_rvas.append(rva + table + len(names))
        names += name.encode() + b"\0"
    export_dir = struct.pack("<IIHHIIIIIII", 0, 0, 0, 0, 0, 1, len(exports), len(exports), 0, rva + 40, 0)
    section = export_dir + b"".join(struct.pack("<I", r) for r in name_rvas) + names
    optional = bytearray(optional_size)
    struct.pack_into("<H", optional, 0, magic)
    struct.pack_into("<II", optional, directories, rva, len(section))
    out = bytearray(raw)
    out[0:2] = b"MZ"
    struct.pack_into("<I", out, 0x3C, pe)
    out[pe:pe + 4] = b"PE\0\0"
    struct.pack_into("<HHIIIHH", out, pe + 4, machine, 1, 0, 0, 0, optional_size, 0x2000 if dll else 0x0002)
    out[pe + 24:pe + 24 + optional_size] = optional
    struct.pack_into("<8sIIIIIIHHI", out, section_table, b".edata", len(section), rva, len(section), raw, 0, 0, 0, 0, 0)
    return bytes(out) + section


SEEDS = {
    "fuzz_pe_file": {
        "x86-dll": pe_file(),
        "x64-dll": pe_file(machine=0x8664, magic=0x20B),
        "program": pe_file(dll=False),
        "arm64": pe_file(machine=0xAA64, magic=0x20B),
        "stdcall-names": pe_file(exports=("S_Connect@12", "S_Disconnect@0")),
        "no-exports": pe_file(exports=()),
        "cut-in-names": pe_file()[:0x200 + 50],
        "elf": b"\x7fELF\x02\x01\x01" + bytes(57),
        "neither": b"S_Connect S_Disconnect ConfigRead ConfigWrite DLLClose\n",
    },
    "fuzz_bridge_frame": {
        "connect-and-reply": bridge_seed(0, BRIDGE_CONNECT, bridge_frame(0x81, struct.pack("<i", 0))),
        "write": bridge_seed(500, BRIDGE_WRITE),
        "read-null-buffer": bridge_seed(500, bridge_frame(0x03, struct.pack("<ii", 500, 500), flags=1)),
        "read-reply-scribbled": bridge_seed(26, bridge_frame(0x81, struct.pack("<i", 26) + bytes(range(256)) * 2)),
        "ready-then-failed": bridge_seed(0, bridge_frame(0x80, struct.pack("<i", 32)),
                                         bridge_frame(0x82, b"Z:\\x\\Tessalin.DLL: entry point 'ConfigWrite' not found")),
        "disconnect-close": bridge_seed(0, bridge_frame(0x02, b""), bridge_frame(0x05, b"")),
        "too-long": bridge_seed(0, b"TB\x81\x00" + struct.pack("<I", 1 << 20)),
        "bad-magic": bridge_seed(0, b"PN" + BRIDGE_WRITE[2:]),
        "negative-capacity": bridge_seed(-1, bridge_frame(0x04, struct.pack("<ii", 500, -1))),
    },
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
    "fuzz_state_file": {
        "sound": STATE,
        "crlf-and-comments": STATE.replace(b"\n", b"\r\n") + b"  # trailing comment\r\n",
        "empty": b"",
        "cut-short": STATE[:STATE.index(b"\naddress") + 17],
        "binary-junk": b"\x00\xff\x13garbage",
        "no-mask": STATE.replace(b"mask = 255.255.0.0\n", b""),
        "port-twice": STATE + b"port = 3002\n",
        "octet-300": STATE.replace(b"172.16.30.1", b"172.16.30.300"),
        "port-70000": STATE.replace(b"= 3001", b"= 70000"),
        "mac-short": STATE.replace(b"02:1A:2B:3C:4D:5E", b"02:1A:2B:3C:4D"),
        "mask-hole": STATE.replace(b"255.255.0.0", b"255.0.255.0"),
        "unknown-key": STATE + b"colour = blue\n",
        "no-equals": STATE + b"address 10.0.0.1\n",
        "address-in-0-8": STATE.replace(b"172.16.30.1", b"0.1.2.3"),
    },
    "fuzz_client_session": {
        "read-write-bye": session_seed((SESSION, 5)),
        "hello-then-idle": session_seed((hello() + frame(0x02, 2, b""), 30)),
        "wrong-mode": session_seed((hello(mode=13) + frame(0x02, 2, b""), 16)),
        "read-before-hello": session_seed((frame(0x02, 1, b""), 0)),
        "garbage": session_seed((b"GET / HTTP/1.0\r\n\r\n", 3)),
        "oversized-length": session_seed((hello()[:6] + b"\xff\xff" + b"\x00" * 4, 12)),
        "bad-checksum": session_seed((hello()[:11] + bytes([hello()[11] ^ 1]) + hello()[12:], 0)),
        "half-a-frame": session_seed((hello() + frame(0x02, 2, b"")[:7], 16)),
        "silent": session_seed((b"", 0)),
        "rejected-write": session_seed((hello() + frame(0x03, 2, REQUEST[:16] + bytes([255, 0, 255, 0])), 20)),
        "three-clients": session_seed((SESSION, 40), (hello(), 3), (b"\x50\x4e\x02", 1)),
        "crowd": session_seed(*[(hello() + frame(0x02, 2, b""), 10)] * 64, (SESSION, 0), (b"", 0)),
    },
}

for target, seeds in SEEDS.items():
    folder = HERE / "corpus" / target
    folder.mkdir(parents=True, exist_ok=True)
    for name, content in seeds.items():
        (folder / name).write_bytes(content)
