#!/usr/bin/env python3
"""Writes the seeds of the two HiSLIP reader fuzz targets in fuzz/corpus/: what a server sends a
client, what a client sends a server, and the broken headers both must refuse. Each input is
[limits selector] [cut seed] stream; run it again after changing a message."""

import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))


def msg(kind, control=0, param=0, payload=b"", length=None):
    n = len(payload) if length is None else length
    return b"HS" + struct.pack(">BBIQ", kind, control, param, n) + payload


def write(target, name, selector, seed, stream):
    d = os.path.join(HERE, "corpus", target)
    os.makedirs(d, exist_ok=True)
    with open(os.path.join(d, name), "wb") as f:
        f.write(bytes([selector, seed]) + stream)


# Selector: low two bits pick the data limit (0, 16, 1 KiB, 1 MiB), the next two the limit of
# other payloads (0, 8, 256, 4 KiB).
ROOMY = 0x0F
FIRST = 0xFFFFFF00

server_to_client = (
    msg(1, 1, 0x01004A21) + msg(18, 0, 0x5450) + msg(16, payload=struct.pack(">Q", 1 << 20)) +
    msg(6, 0, 0xFFFFFFFF, b"part of ") + msg(7, 0, FIRST, b"an answer\n") +
    msg(20, 0x50) + msg(22, 0x10) + msg(14, 0, FIRST + 2) + msg(13, 0, FIRST + 2) +
    msg(5, 1) + msg(23, 1) + msg(9, 1) + msg(3, 1, 0, b"unrecognized message") +
    msg(2, 1, 0, b"poorly formed"))
client_to_server = (
    msg(0, 0, 0x01005A5A, b"hislip0") + msg(17, 0, 0x4A21) +
    msg(15, payload=struct.pack(">Q", 1 << 20)) + msg(7, 1, FIRST, b"*IDN?\n") +
    msg(21, 1, FIRST) + msg(4, 1, 3000, b"shared-key") + msg(4, 0, FIRST) + msg(10, 3, FIRST) +
    msg(19) + msg(8, 1) + msg(12, 0, FIRST + 2) + msg(24))
broken = {
    "bad_prologue": b"HX" + msg(22)[2:],
    "reserved_type": msg(42, payload=b"xyz") + msg(22, 0x40),
    "vendor_type": msg(200, 7, 0, b"vendor") + msg(22, 0x40),
    "claim_2_63": msg(6, length=1 << 63),
    "claim_over_4g": msg(3, length=(1 << 32) + 1),
    "text_over_limit": msg(3, 0, 0, b"e" * 300) + msg(22),
    "data_over_limit": msg(7, 0, FIRST, b"d" * 1100) + msg(22),
    "cut_header": msg(22)[:9],
    "cut_payload": msg(7, 0, FIRST, b"0123456789")[:20],
}

for target in ("fuzz_hislip_client_reader", "fuzz_hislip_server_reader"):
    write(target, "server_to_client", ROOMY, 0, server_to_client)
    write(target, "server_to_client_bytewise", ROOMY, 1, server_to_client)
    write(target, "client_to_server", ROOMY, 13, client_to_server)
    write(target, "tight_limits", 0x05, 7, server_to_client + client_to_server)
    for name, stream in broken.items():
        write(target, name, ROOMY if name != "text_over_limit" else 0x0A, 3, stream)
