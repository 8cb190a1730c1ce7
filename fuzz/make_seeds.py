#!/usr/bin/env python3
"""Writes the seed corpora in fuzz/corpus/: one small, valid (or nearly valid) input per message
the decoders meet, so fuzzing starts from real traffic. Run it again after changing a message;
it overwrites only the files it names."""

import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))


def u32(*values):
    return b"".join(struct.pack(">I", v & 0xFFFFFFFF) for v in values)


def opaque(data):
    return u32(len(data)) + data + b"\0" * ((4 - len(data) % 4) % 4)


def call(xid, prog, vers, proc, args, cred=(0, b""), verf=(0, b"")):
    return (u32(xid, 0, 2, prog, vers, proc) + u32(cred[0]) + opaque(cred[1]) + u32(verf[0]) +
            opaque(verf[1]) + args)


def reply(xid, results=b"", accept=0, verf=(0, b"")):
    return u32(xid, 1, 0, verf[0]) + opaque(verf[1]) + u32(accept) + results


def frame(body, last=True, length=None):
    n = len(body) if length is None else length
    return u32(n | (0x80000000 if last else 0)) + body


CORE, ASYNC, INTR, PMAP = 0x0607AF, 0x0607B0, 0x0607B1, 100000


def write(target, name, data):
    d = os.path.join(HERE, "corpus", target)
    os.makedirs(d, exist_ok=True)
    with open(os.path.join(d, name), "wb") as f:
        f.write(data)


def core_calls():
    t = "fuzz_core_call"
    write(t, "null", call(1, CORE, 1, 0, b""))
    write(t, "create_link", call(1, CORE, 1, 10, u32(0x7AEB249C, 0, 10000) + opaque(b"inst0")))
    write(t, "create_link_device", call(2, CORE, 1, 10, u32(1, 1, 3000) + opaque(b"gpib0,7,5")))
    write(t, "device_write", call(3, CORE, 1, 11, u32(0, 10000, 10000, 8) + opaque(b"*IDN?\n")))
    write(t, "device_read", call(4, CORE, 1, 12, u32(0, 1024, 10000, 10000, 0x80, 10)))
    for proc, name in ((13, "readstb"), (14, "trigger"), (15, "clear"), (16, "remote"),
                       (17, "local")):
        write(t, name, call(5, CORE, 1, proc, u32(0, 1, 10000, 3000)))
    write(t, "lock", call(6, CORE, 1, 18, u32(0, 1, 5000)))
    write(t, "unlock", call(7, CORE, 1, 19, u32(0)))
    write(t, "enable_srq", call(8, CORE, 1, 20, u32(0, 1) + opaque(b"handle")))
    write(t, "docmd_send_command", call(9, CORE, 1, 22,
                                        u32(0, 0, 10000, 10000, 0x020000, 1, 1) +
                                        opaque(bytes([0x3F, 0x5F, 0x40, 0x27]))))
    write(t, "docmd_bus_status", call(10, CORE, 1, 22,
                                      u32(0, 0, 10000, 10000, 0x020001, 1, 2) + opaque(b"\0\3")))
    write(t, "docmd_ifc", call(11, CORE, 1, 22, u32(0, 0, 10000, 10000, 0x020010, 0, 0) +
                               opaque(b"")))
    write(t, "destroy_link", call(12, CORE, 1, 23, u32(0)))
    write(t, "create_intr_chan", call(13, CORE, 1, 25, u32(0x7F000001, 40000, INTR, 1, 0)))
    write(t, "destroy_intr_chan", call(14, CORE, 1, 26, b""))
    write(t, "device_abort", call(15, ASYNC, 1, 1, u32(0)))
    write(t, "intr_srq", call(16, INTR, 1, 30, opaque(b"handle")))
    write(t, "auth_sys", call(17, CORE, 1, 23, u32(0), cred=(1, b"\0" * 20 + opaque(b"host"))))


def core_replies():
    t = "fuzz_core_reply"
    sel = bytes
    write(t, "create_link", sel([0]) + reply(1, u32(0, 28, 49737, 0xFFFFFFFF)))
    write(t, "device_error", sel([1]) + reply(2, u32(11)))
    write(t, "device_write", sel([2]) + reply(3, u32(0, 6)))
    write(t, "device_read", sel([3]) + reply(4, u32(0, 4) + opaque(b"SIMULATED,GP-22,0,1.0\n")))
    write(t, "device_read_empty", sel([3]) + reply(5, u32(15, 0) + opaque(b"")))
    write(t, "readstb", sel([4]) + reply(6, u32(0, 0x50)))
    write(t, "docmd", sel([5]) + reply(7, u32(0) + opaque(b"\0\1")))
    write(t, "trailing", sel([1]) + reply(8, u32(0, 0)))
    write(t, "prog_unavail", sel([1]) + reply(9, accept=1))
    write(t, "prog_mismatch", sel([1]) + reply(10, u32(1, 1), accept=2))
    write(t, "rpc_mismatch", sel([1]) + u32(11, 1, 1, 0, 2, 2))
    write(t, "auth_error", sel([1]) + u32(12, 1, 1, 1, 1))
    write(t, "verifier", sel([0]) + reply(13, u32(0, 1, 700, 65536), verf=(1, b"abcde")))


def portmap():
    t = "fuzz_portmap_call"
    write(t, "getport", call(1, PMAP, 2, 3, u32(CORE, 1, 6, 0)))
    write(t, "set", call(2, PMAP, 2, 1, u32(CORE, 1, 6, 1024)))
    write(t, "unset", call(3, PMAP, 2, 2, u32(CORE, 1, 6, 0)))
    write(t, "dump", call(4, PMAP, 2, 4, b""))
    write(t, "null", call(5, PMAP, 2, 0, b""))
    write(t, "callit", call(6, PMAP, 2, 5, u32(CORE, 1, 0) + opaque(b"")))
    write(t, "rpc_version_3", u32(7, 0, 3, PMAP, 2, 3))
    t = "fuzz_portmap_reply"
    write(t, "getport", bytes([0]) + reply(1, u32(1024)))
    write(t, "getport_none", bytes([0]) + reply(2, u32(0)))
    write(t, "set", bytes([1]) + reply(3, u32(1)))
    write(t, "dump", bytes([2]) + reply(4, u32(1, CORE, 1, 6, 1024, 1, ASYNC, 1, 6, 1025, 0)))
    write(t, "dump_empty", bytes([2]) + reply(5, u32(0)))


def records():
    t = "fuzz_record_reader"
    body = call(1, CORE, 1, 11, u32(0, 1000, 1000, 8) + opaque(b"*IDN?\n"))
    # [limit selector][fragment limit][cut seed] stream
    write(t, "one_record", bytes([5, 0, 0]) + frame(body))
    write(t, "one_record_bytewise", bytes([5, 0, 1]) + frame(body))
    split = frame(body[:10], last=False) + frame(body[10:30], last=False) + frame(body[30:])
    write(t, "three_fragments", bytes([5, 0, 7]) + split)
    write(t, "two_records", bytes([6, 0, 13]) + frame(body) + frame(b"") + frame(b"abcd"))
    write(t, "empty_fragments", bytes([4, 3, 3]) + frame(b"", last=False) + frame(b"", last=False) +
          frame(b"x"))
    write(t, "too_many_fragments", bytes([5, 2, 0]) + frame(b"ab", False) * 3 + frame(b"c"))
    write(t, "claims_4GB", bytes([7, 0, 0]) + u32(0xFFFFFFFF) + b"abcd")
    write(t, "over_limit", bytes([2, 0, 0]) + frame(b"0123456789"))
    write(t, "partial_header", bytes([5, 0, 2]) + frame(b"abcd") + b"\x80\x00")
    write(t, "partial_body", bytes([5, 0, 5]) + u32(0x80000010) + b"abc")


def addresses():
    t = "fuzz_address"
    for i, text in enumerate([
        "lan;vxi-11[127.0.0.1]:gpib",
        "lan;vxi-11[127.0.0.1]:gpib,22",
        "lan;vxi-11[localhost:1111]:gpib0, 905 ",
        "LAN;VXI-11[gateway-1.example]:hpib7,3030",
        "lan;vxi-11[ 10.0.0.2 : 111 ]:gpib,0",
        "lan;vxi-11[127.0.0.1]:gpib,31",
        "lan;vxi-11[127.0.0.1]:gpib,100",
        "lan;vxi-11[127.0.0.1]:gpib,3031",
        "lan;vxi-11[[127.0.0.1]]:gpib",
        "lan;vxi-11[127.0.0.1:0]:gpib",
        "lan;vxi-11[127.0.0.1]:gpib;extra",
        "lan;vxi-11[h\xc3\xa9te]:gpib".encode("latin-1").decode("latin-1"),
        "lan;vxi-11[",
        "gpib0,7",
        "lan;vxi-11[127.0.0.1:4000]:inst0",
        "lan;vxi-11[127.0.0.1]:hpib,7",
        "lan;vxi-11[127.0.0.1]:gpib0,7,5",
        "lan;vxi-11[127.0.0.1]:HPIB2",
        "lan;vxi-11[127.0.0.1]:in st0",
        "lan;vxi-11[127.0.0.1]:inst0\x00\x7f",
        "lan;vxi-11[127.0.0.1]:" + "x" * 65,
    ]):
        write(t, "address_%02d" % i, text.encode("latin-1"))


def device_names():
    t = "fuzz_device_name"
    for name in ["gpib0", "GPIB0,22", "hpib,7", "gpib0,07,126", "gpib0,5,96", "gpib0,7,95",
                 "gpib0,31", "gpib0,,1", "gpib0, 7", "0gpib", "inst0", "vxi0,1", "gpib0,1,2,3",
                 "hislip0", "hislip22", "HiSLIP502", "hislip3030", "hislip100", "hislip3031",
                 "hislip0101", "hislip99999999999999999999", "gpib0,999999999999999999999"]:
        write(t, name.lower().replace(",", "_").replace(" ", "-") or "empty", name.encode())


def program_writes(*writes):
    """Writes for fuzz_program: (bytes, END, take the answers after it) each, cut at 62 bytes."""
    out = b""
    for data, end, take in writes:
        while True:
            piece, data = data[:62], data[62:]
            last = not data
            out += bytes([len(piece) | (0x80 if end and last else 0) |
                          (0x40 if take and last else 0)]) + piece
            if last:
                break
    return out


def programs():
    t = "fuzz_program"
    # [instrument: 0 DMM, 1 counter, 2 scope, 3 switch, 4 LAN scope][cut seed] writes...
    write(t, "idn", bytes([0, 0]) + program_writes((b"*IDN?\n", False, True)))
    write(t, "units_and_strings", bytes([1, 3]) + program_writes(
        (b"*ESE 32;DISP:TEXT 'a;b\n?';*ESE?;SYST:ERR?\r\n", False, True)))
    write(t, "block_data", bytes([2, 5]) + program_writes(
        (b":DATA #210a\nb;\"'\n#1;;:DATA:COUN?\n", False, True)))
    write(t, "waveform", bytes([4, 7]) + program_writes(
        (b":WAV:POIN 100;:WAV:DATA?;*OPC?\n", False, True)))
    write(t, "interrupted", bytes([3, 1]) + program_writes(
        (b"*IDN?\n", False, False), (b"*OPC?\n", False, True), (b"SYST:ERR?\n", False, True)))
    write(t, "end_without_lf", bytes([1, 2]) + program_writes(
        (b"*IDN?", True, True), (b"*OPC?", False, False), (b"", True, True)))
    write(t, "input_overrun", bytes([0, 9]) + program_writes(
        (b"a" * 300, False, False), (b"\n*IDN?;SYST:ERR?\n", False, True)))
    write(t, "output_overflow", bytes([2, 4]) + program_writes(
        (b"*IDN?;*IDN?;*IDN?\n", False, True), (b"SYST:ERR?\n", False, True)))
    write(t, "open_string_end", bytes([1, 6]) + program_writes(
        (b"X 'open\n", True, False), (b"*ESR?\n", False, True)))
    write(t, "status", bytes([0, 11]) + program_writes(
        (b"*SRE 16;*ESE 255;*OPC;*STB?\n", False, True), (b"*CLS;*STB?\n", False, True),
        (b"*TRG;*RST;*WAI\n", True, False)))


if __name__ == "__main__":
    core_calls()
    core_replies()
    portmap()
    records()
    addresses()
    device_names()
    programs()
