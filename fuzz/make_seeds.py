#!/usr/bin/env python3
"""Writes the checked-in seed corpus of the fuzz targets (fuzz/corpus/...).

Each connection seed is what a client sends on the socket; the marker
b"\\xfd\\xfdFD" plus one control byte (descriptor count modulo 18, bit 0x80
for a pipe end) starts a separately sent piece carrying those descriptors.
A cli seed is the arguments, program name first, each ended by a NUL byte.
A trace_line seed is a log; a trace_dump seed is a shape byte (0: the rest
as it is, 1/2/3: the rest repeated to a dump's size minus one, exactly, plus
one) and the file's bytes.
Run it again after changing it; the files it writes are checked in.
"""
import json
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))
MARK = b"\xfd\xfdFD"


def msg(mid, cmd, payload=b"", flags=0, size=None):
    return struct.pack("<HHIII", mid, cmd, 16 + len(payload) if size is None else size, flags, 0) + payload


def fds(n, pipe=False):
    return MARK + bytes([n | (0x80 if pipe else 0)])


def version(mid, text=b'{"capabilities":{}}', flags=0, size=None):
    return msg(mid, 1, struct.pack("<HH", 0, 1) + text + b"\0", flags, size)


def region(cmd, mid, index, offset, count, data=b"", flags=0):
    return msg(mid, cmd, struct.pack("<QII", offset, index, count) + data, flags)


def dma_map(mid, flags=0):
    return msg(mid, 2, struct.pack("<IIQQQ", 32, 3, 0, 0x10000, 0x1000), flags)


def dma_unmap(mid, flags=0):
    return msg(mid, 3, struct.pack("<IIQQ", 24, 0, 0x10000, 0x1000), flags)


def set_irqs(mid, index, irq_flags, start=0, count=1, flags=0):
    return msg(mid, 8, struct.pack("<IIIII", 20, irq_flags, index, start, count), flags)


def connection_seeds():
    seeds = {}
    seeds["handshake"] = (
        version(1)
        + msg(2, 4, struct.pack("<IIII", 16, 0, 0, 0))
        + b"".join(msg(3 + i, 5, struct.pack("<IIIIQQ", 32, 0, i, 0, 0, 0)) for i in range(9))
        + b"".join(msg(12 + i, 7, struct.pack("<IIII", 16, 0, i, 0)) for i in range(5))
    )
    seeds["registers"] = (
        region(10, 1, 2, 0x10, 4, struct.pack("<I", 0xDEADBEEF))
        + region(9, 2, 2, 0x10, 4)
        + region(10, 3, 2, 0x20, 4, struct.pack("<I", 7), flags=0x10)
        + region(9, 4, 2, 0x22, 4)
        + region(9, 5, 2, 0x3FFFC, 4)
        + region(10, 6, 2, 0x40000, 4, b"abcd")
        + msg(7, 13)
        + region(9, 8, 2, 0x10, 4)
    )
    seeds["config_space"] = (
        region(9, 1, 7, 0, 4)
        + region(10, 2, 7, 0x10, 4, b"\xff\xff\xff\xff")
        + region(9, 3, 7, 0x10, 4)
        + region(10, 4, 7, 0x30, 4, b"\xff\xff\xff\xff")
        + region(9, 5, 7, 0x30, 4)
        + region(9, 6, 7, 0x2, 2)
        + region(9, 7, 7, 0x3, 2)
        + region(9, 8, 7, 0, 64)
        + region(9, 9, 6, 0, 16)
        + region(9, 10, 0, 0x1000, 8)
        + region(10, 11, 0, 0, 4, b"zzzz")
        + region(9, 12, 5, 0, 4)
        + region(9, 13, 9, 0, 4)
    )
    seeds["descriptors"] = (
        fds(1) + dma_map(1)
        + fds(2, True) + dma_map(2)
        + fds(1, True) + set_irqs(3, 1, 0x24)
        + fds(16) + set_irqs(4, 2, 0x24, 0, 16)
        + set_irqs(5, 0, 0x22)
        + set_irqs(6, 5, 0x24)
        + fds(3) + region(9, 7, 2, 0, 4)
        + fds(1) + msg(8, 13)
        + dma_unmap(9)
        + fds(0) + dma_map(10, flags=0x10)
    )
    seeds["too_many_descriptors"] = region(9, 1, 2, 0, 4) + fds(17, True) + msg(2, 4, bytes(16))
    seeds["refused"] = (
        msg(1, 0, b"abcdefgh")
        + msg(2, 6, bytes(32))
        + msg(3, 11, bytes(24))
        + msg(4, 12, bytes(24))
        + msg(5, 14, bytes(8))
        + msg(6, 15, bytes(4))
        + msg(7, 0xFFFF)
        + msg(8, 4, bytes(16), flags=0x10)
        + version(9, flags=0x10)
        + region(9, 10, 2, 0, 4, flags=0x10)
        + msg(11, 4, bytes(16))
    )
    seeds["sizes"] = (
        version(1, size=19)
        + version(2, size=20)
        + version(3, b"", size=21)
        + version(4, b'{"capabilities":{"max_msg_fds":1},"extra":[1,2,3]}')
        + version(5, b'{"capabilities":{"migration":{}}}')
        + version(6, b'{"a\0b"}')
        + region(9, 7, 2, 0, 0)
        + region(9, 8, 6, 0, 1048576)
        + region(9, 9, 6, 0, 1048577)
        + region(10, 10, 2, 0, 1048577)
        + msg(11, 3, bytes(24) + b"trailing", size=16 + 32)
        + msg(12, 4, bytes(16))
    )
    seeds["announced_more"] = msg(1, 4, bytes(16)) + msg(2, 13, b"", size=0xFFFFFFFF) + msg(3, 4, bytes(16))
    seeds["announced_less"] = msg(1, 9, struct.pack("<QII", 0, 2, 4), size=0) + msg(2, 13, size=1)
    seeds["split_header"] = (
        msg(1, 4, bytes(16))[:5] + fds(0) + msg(1, 4, bytes(16))[5:]
        + region(9, 2, 2, 0, 4)[:20] + fds(1) + region(9, 2, 2, 0, 4)[20:]
    )
    seeds["cut_mid_payload"] = region(10, 1, 2, 0x10, 4, b"\x01\x02")
    seeds["big_version"] = version(1, size=0xFFFFFFFF) + b"x" * 64
    # An input of odd length is served by the scripted device, whose script
    # (in connection_fuzz.cpp) raises vector v on a write of v to offset
    # 0x10, sets INTx from 0x14, starts a timer from 0x18 and a periodic
    # one from 0x20, and reaches guest memory from 0x28.
    scripted = {}
    scripted["scripted_interrupts"] = (
        fds(1) + set_irqs(1, 0, 0x24)
        + region(10, 2, 2, 0x14, 4, struct.pack("<I", 1))
        + set_irqs(3, 0, 0x11)
        + region(10, 4, 7, 0x4, 4, struct.pack("<I", 0x406))
        + region(10, 5, 7, 0x4, 4, struct.pack("<I", 0x6))
        + fds(2) + set_irqs(6, 1, 0x24, 0, 2)
        + set_irqs(7, 0, 0x21, 0, 0)
        + fds(2) + set_irqs(8, 1, 0x24, 0, 2)
        + region(10, 9, 7, 0x50, 4, struct.pack("<I", 0x00110000))
        + region(10, 10, 2, 0x10, 4, struct.pack("<I", 1))
        + set_irqs(11, 1, 0x21, 0, 2)
        + msg(12, 8, struct.pack("<IIIII", 22, 0x22, 1, 0, 2) + b"\x01\x00")
        + fds(1) + set_irqs(13, 2, 0x24)
        + set_irqs(14, 1, 0x24, 0, 33)
    )
    scripted["scripted_timers"] = (
        fds(1, True) + set_irqs(1, 1, 0x24)
        + region(10, 2, 7, 0x50, 4, struct.pack("<I", 0x00010000))
        + region(10, 3, 2, 0x18, 4, struct.pack("<I", 5))
        + region(10, 4, 2, 0x20, 4, struct.pack("<I", 1))
        + region(9, 5, 2, 0x24, 4)
        + msg(6, 13)
        + region(10, 7, 2, 0x20, 4, struct.pack("<I", 1))
        + region(10, 8, 2, 0x20, 4, struct.pack("<I", 0))
        + region(9, 9, 2, 0x30, 4)
    )
    scripted["scripted_memory"] = (
        fds(1) + dma_map(1)
        + region(10, 2, 2, 0x28, 4, struct.pack("<I", 0x10000))
        + dma_unmap(3)
        + region(10, 4, 2, 0x28, 4, struct.pack("<I", 0x10000))
    )
    for key, data in scripted.items():
        seeds[key] = data if len(data) % 2 == 1 else data + b"\0"
    return seeds


def capabilities_seeds():
    texts = [
        '{"capabilities":{}}',
        '{"capabilities":{"max_msg_fds":1,"max_data_xfer_size":1048576,"migration":{"pgsize":4096}}}',
        '{"capabilities":{"migration":{}}}',
        "{}",
        '{"capabilities":{"max_msg_fds":1},"extra":[1,2,3]}',
        '{"capabilities":{"max_msg_fds":-1}}',
        '{"capabilities":{"max_msg_fds":4294967296}}',
        '{"capabilities":{"max_msg_fds":1.5}}',
        '{"capabilities":{"max_msg_fds":1e3}}',
        '{"capabilities":{},"capabilities":{}}',
        '{"capabilities":{"migration":{"pgsize":1,"pgsize":2}}}',
        ' \t\r\n{ "capabilities" : { "unknown" : {"a":[null,true,false,"s\\u00e9\\n"]} } } \n',
        '{"capabilities":{}} x',
        '[[1,1048576,[4096]]]',
        '{"capabilities":[]}',
        '{"capabilities":{"migration":null}}',
        '{"x":"\\ud800"}',
        '{"capabilities":{"max_msg_fds":"1"}}',
        '\ufeff{"capabilities":{}}',
        '{"capabilities":{"max_data_xfer_size":18446744073709551616}}',
        '{"capabilities":{"deep":' + "[" * 40 + "]" * 40 + "}}",
        '{"capabilities":{',
    ]
    seeds = {f"text_{i:02}": t.encode() for i, t in enumerate(texts)}
    seeds["invalid_utf8"] = b'{"ignored":"\xff\xc0\x80\xed\xa0\x80","capabilities":{}}'
    return seeds


def cli_seeds():
    lines = {
        "paths": [b"zephon", b"/run/zephon.sock", b"vbios.rom"],
        "help_long": [b"zephon", b"--help"],
        "help_short_path": [b"/usr/bin/zephon", b"-h"],
        "help_cluster": [b"zephon", b"-hx", b"a"],
        "help_value": [b"zephon", b"--help=1"],
        "help_short_value": [b"zephon", b"-h=yes"],
        "similar": [b"zephon", b"--hlep"],
        "unknown": [b"zephon", b"--version"],
        "unknown_short_utf8": [b"zephon", "-\u00e9t\u00e9".encode()],
        "unknown_short_cut": [b"zephon", b"-\xc3"],
        "surplus": [b"zephon", b"a", b"b", b"c"],
        "empty_path": [b"zephon", b"", b"rom"],
        "double_dash": [b"zephon", b"--", b"-s", b"--help"],
        "missing_both": [b"zephon"],
        "missing_rom": [b"zephon", b"sock"],
        "invalid_name": [b"./\xff\xfe/", b"--bogus"],
        "dot_name": [b"..", b"-"],
    }
    seeds = {k: b"\0".join(v) for k, v in lines.items()}
    seeds["no_name"] = b""
    return seeds


def log_line(stamp, level, target, message, colour=False):
    if not colour:
        return f"{stamp} {level} {target}: {message}"
    colours = {"TRACE": 35, "DEBUG": 34, " INFO": 32, " WARN": 33, "ERROR": 31}
    return (f"\x1b[2m{stamp}\x1b[0m \x1b[{colours[level]}m{level}\x1b[0m "
            f"\x1b[2m{target}\x1b[0m\x1b[2m:\x1b[0m {message}")


def trace_line_seeds():
    t = "2026-03-01T12:00:00.000123Z"
    read = "Read  regs[0x0004] (0x10) = 0x12345678"
    write = "Write regs[0xffff] (0x3fffc) = 0xDEADbeef"
    logs = {
        "plain": [
            log_line(t, " INFO", "vfio_user", "Version negotiated: 0.1"),
            log_line(t, "DEBUG", "zephon", read),
            log_line("2026-03-01T12:00:00.000145Z", "DEBUG", "zephon", write),
            log_line("2026-03-01T12:00:01.000000Z", " WARN", "zephon", "Invalid read of 0x2 bytes from register at offset 0x10"),
            log_line(t, " WARN", "zephon::pci", "rejected write"),
            log_line(t, "ERROR", "vfio_user", "Error handling command: 9: bad"),
            log_line(t, " INFO", "vfio_user", "Connection closed"),
        ],
        "colour": [
            log_line(t, "DEBUG", "zephon", read, True),
            log_line(t, " WARN", "zephon::pci", "rejected", True),
            log_line(t, "TRACE", "vfio_user", "x", True),
        ],
        "dates": [
            log_line("2016-12-31T23:59:60.999999Z", "DEBUG", "zephon", read),
            log_line("2024-02-29T00:00:00.000000Z", "DEBUG", "zephon", read),
            log_line("2023-02-29T00:00:00.000000Z", "DEBUG", "zephon", read),
            log_line("0000-01-01T00:00:00.000000Z", "DEBUG", "zephon", read),
            log_line("9999-12-31T24:00:00.000000Z", "DEBUG", "zephon", read),
            log_line("1970-01-01T00:00:00.00000xZ", "DEBUG", "zephon", read),
        ],
        "malformed": [
            log_line(t, "DEBUG", "zephon", "Read  regs[0x04] (0x10) = 0x12345678"),
            log_line(t, "DEBUG", "zephon", "Read  regs[0x0004] (0x14) = 0x12345678"),
            log_line(t, "DEBUG", "zephon", "Read  regs[0x0004] (0x10) = 0x1234"),
            log_line(t, "DEBUG", "zephon", "Write regs[0x0004] (0x000010) = 0x12345678 !"),
            log_line(t, "DEBUG", "zephon", "Reading"),
            log_line(t, "DEBUG", "zephon", "Rea"),
            log_line(t, "NOTE ", "zephon", "x"),
            log_line(t, " INFO", "two words", "x"),
            t + " DEBUG zeph",
            log_line(t, "DEBUG", "zephon", read, True)[:40],
            "\x1b[2m" + t + "\x1b[0m \x1b[32mDEBUG\x1b[0m \x1b[2mzephon\x1b[0m\x1b[2m:\x1b[0m x",
            log_line(t, "DEBUG", "zephon", read) + "\r",
            log_line(t, "DEBUG", "zephon", "Read  regs[\0"),
        ],
        "not_log": [
            "zephon: fatal error at src/main.cpp:100:",
            "failed to create server: SocketPathExists",
            "",
            "2026-",
        ],
    }
    return {k: "\n".join(v).encode() for k, v in logs.items()}


def trace_dump_seeds():
    return {
        "empty": b"",
        "short": b"\0" + b"\x01\x02\x03\x04\x05",
        "zeros": b"\2" + bytes(4),
        "words": b"\2" + struct.pack("<III", 0x12345678, 0, 0xFFFFFFFF),
        "unaligned_repeat": b"\2" + b"\x01\x02\x03",
        "one_short": b"\1" + b"abcd",
        "one_long": b"\3" + b"abcd",
    }


def write(name, seeds):
    d = os.path.join(HERE, "corpus", name)
    os.makedirs(d, exist_ok=True)
    for old in os.listdir(d):
        os.remove(os.path.join(d, old))
    for key, data in seeds.items():
        with open(os.path.join(d, key), "wb") as f:
            f.write(data)


if __name__ == "__main__":
    write("connection", connection_seeds())
    write("capabilities", capabilities_seeds())
    write("cli", cli_seeds())
    write("trace_line", trace_line_seeds())
    write("trace_dump", trace_dump_seeds())
