#!/usr/bin/env python3
"""Writes the fuzzer's seed corpus (corpus/*.bin): one session per driver request and per
state change, in the encoding fuzz_session.cpp decodes. Rerun after changing that encoding;
inputs the fuzzer found (regressions) live beside these under their own names."""
import os
import struct

LENGTHS = [0, 1, 2, 3, 4, 5, 6, 7, 8, 10, 16, 17, 32, 33, 38, 79, 80, 99, 100, 134]
CODES = ["WAIT_EVENT", "SET_EVENT", "OPEN_BOARD", "GET_BLOCK_COUNT", "START", "STOP",
         "READ_OLDEST_BLOCK", "READ_NEWEST_BLOCK", "READ_STREAM", "COMMAND", "PORT_IN_BYTE",
         "PORT_IN_WORD", "PORT_IN_DWORD", "PORT_OUT_BYTE", "PORT_OUT_WORD", "PORT_OUT_DWORD",
         "GET_LAST_ERROR", "READ_SERIAL"]
STATE_OPS = ["open_board", "start_block", "start_continuous", "stop", "step", "cancel_one",
             "open_handle", "close_handle", "pnp_stop", "pnp_start", "surprise_remove",
             "remove", "sleep", "resume", "signal", "pull"]


def length(n):
    if n in LENGTHS:
        return bytes([LENGTHS.index(n)])
    if n < 32:
        return bytes([0x80 + n])
    if n < 64:
        return bytes([0x60 + n - 32])
    return bytes([0xA0]) + struct.pack("<H", n)


def ctl(code, inlen=0, outlen=0, data=b"", handle=0, port=None, start=None):
    """A device-control request; `code` is a name from CODES or a raw 32-bit value."""
    if isinstance(code, str):
        head = bytes([CODES.index(code)])
    else:
        head = bytes([0xE0]) + struct.pack("<I", code)
    if start is not None:  # (continuous, frames per block, rate index, range index, blocks)
        fill = bytes([3]) + bytes(start)
    elif port is not None:  # (window?, offset)
        fill = bytes([2, port[0], port[1]]) + data.ljust(inlen, b"\0")
    elif data:
        fill = bytes([0]) + data.ljust(inlen, b"\0")
    else:
        fill = bytes([1])
    return bytes([0]) + head + length(inlen) + length(outlen) + fill + bytes([handle])


def op(name, *params):
    return bytes([0x80 + STATE_OPS.index(name)]) + bytes(params)


OPEN = op("open_board", *([0] * 16), 0)
BLOCK = op("start_block", 3, 0, 0, 3, 0)       # 4 frames a block, 4 blocks
CONTINUOUS = op("start_continuous", 3, 0, 0, 0, 0)  # a ring of 4 frames
STEP = op("step", 40)


def block_read(code="READ_OLDEST_BLOCK", frames=4):
    return ctl(code, 0, 2 + 32 * frames)


SEEDS = {
    # One request of each code with its natural lengths, on an opened board.
    "wait_then_signal": ctl("WAIT_EVENT", 0, 4) + ctl("SET_EVENT", 4, 0, b"\x12\x34\x56\x78"),
    "signal_without_waiter": ctl("SET_EVENT", 4, 0, b"\x01\0\0\0"),
    "open_board": OPEN,
    "open_board_short": ctl("OPEN_BOARD", 15, 0, b"\0"),
    "block_count_idle": OPEN + ctl("GET_BLOCK_COUNT", 0, 2),
    "start_block_and_read": OPEN + BLOCK + STEP + ctl("GET_BLOCK_COUNT", 0, 2) + block_read(),
    "start_block_newest": OPEN + BLOCK + STEP + block_read("READ_NEWEST_BLOCK"),
    "start_continuous_stream": OPEN + CONTINUOUS + STEP + ctl("READ_STREAM", 0, 134)
                               + ctl("READ_STREAM", 0, 38),
    "start_bad_lengths": OPEN + ctl("START", 31, 0, start=(0, 1, 0, 0, 1)),
    "start_raw_fields": OPEN + ctl("START", 32, 0, data=struct.pack(
        "<IiIIIHhhhHH", 0xFFFFFFFF, -5, 0, 0, 0xDEAD, 9, -1, 0, 16, 0, 0)),
    "stop_idle": OPEN + op("stop", 0),
    "start_stop_restart": OPEN + BLOCK + STEP + op("stop", 0) + CONTINUOUS + STEP
                          + op("stop", 0) + BLOCK + STEP,
    "read_block_wrong_size": OPEN + BLOCK + STEP + block_read(frames=3),
    "last_error": ctl("GET_LAST_ERROR", 0, 4) + ctl("GET_LAST_ERROR", 0, 3),
    "serial": ctl("READ_SERIAL", 0, 4) + ctl("READ_SERIAL", 1, 4, b"\0"),
    "port_in": ctl("PORT_IN_BYTE", 2, 1, port=(1, 7)) + ctl("PORT_IN_WORD", 2, 2, port=(0, 0x4C))
               + ctl("PORT_IN_DWORD", 2, 4, port=(0, 0x4C)),
    "port_in_edges": ctl("PORT_IN_DWORD", 2, 4, port=(1, 0x3D))
                     + ctl("PORT_IN_BYTE", 1, 1, port=(1, 0)),
    "port_out": ctl("PORT_OUT_BYTE", 5, 0, b"\0\0\0\0\x01", port=(1, 2))
                + ctl("PORT_OUT_WORD", 6, 0, b"\0\0\0\0\0\0", port=(1, 0))
                + ctl("PORT_OUT_DWORD", 8, 0, b"\0" * 8, port=(0, 0x4C)),
    "command_summaries": OPEN + ctl("COMMAND", 0, 10) + ctl("COMMAND", 0, 80),
    "command_registers": OPEN + ctl("COMMAND", 8, 1, struct.pack("<HHI", 1, 2, 0x55))
                         + ctl("COMMAND", 4, 4, struct.pack("<HH", 3, 60)),
    "command_bridge_read": OPEN + ctl("COMMAND", 1, 4, b"\x4c") + ctl("COMMAND", 1, 4, b"\x80"),
    "command_eeprom": OPEN + ctl("COMMAND", 2, 8, b"\x00\x04") + ctl("COMMAND", 2, 2, b"\x7e\x01")
                      + ctl("COMMAND", 6, 0, b"\x10\x02\x34\x12\x78\x56"),
    "command_eeprom_negative": OPEN + ctl("COMMAND", 2, 8, b"\xf0\x04")
                               + ctl("COMMAND", 2, 254, b"\x00\x7f"),
    "command_other_pair": OPEN + ctl("COMMAND", 3, 3, b"\0\0\0"),
}
for sub in [0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 60, 61, 64, 70, 71, 73, 74, 75]:
    body = bytes([sub, 0x7f, 0x80]) + bytes(range(3, 100))
    SEEDS[f"subcommand_{sub}"] = OPEN + ctl("COMMAND", 100, 100, body)
SEEDS.update({
    # Codes the driver does not know, and its own with another method.
    "unknown_codes": ctl(0x00222FFC, 4, 4, b"abcd") + ctl(0x0022201F, 0, 16)
                     + ctl(0x00000003, 8, 8, b"x" * 8) + ctl(0xFFFFFFFF, 0, 0),
    "method_neither_read": OPEN + BLOCK + STEP + ctl(0x0022201F, 0, 130),
    # State changes around running acquisitions and pending requests.
    "cancel_pending_wait": ctl("WAIT_EVENT", 0, 4) + op("cancel_one", 0),
    "close_handle_mid_wait": op("open_handle") + ctl("WAIT_EVENT", 0, 4, handle=1)
                             + op("close_handle", 1) + ctl("SET_EVENT", 4, 0, b"\1\0\0\0"),
    "pnp_stop_start_running": OPEN + BLOCK + STEP + op("pnp_stop") + STEP + op("pnp_start")
                              + OPEN + BLOCK + STEP + block_read(),
    "pnp_stop_then_requests": OPEN + op("pnp_stop") + ctl("PORT_IN_BYTE", 2, 1, port=(1, 7))
                              + ctl("COMMAND", 0, 80) + BLOCK,
    "surprise_remove_running": OPEN + CONTINUOUS + STEP + ctl("WAIT_EVENT", 0, 4)
                               + op("surprise_remove") + ctl("READ_STREAM", 0, 134),
    "remove_with_pending_wait": OPEN + BLOCK + STEP + ctl("WAIT_EVENT", 0, 4) + op("remove"),
    "sleep_resume_running": OPEN + BLOCK + STEP + op("sleep", 0) + STEP + block_read()
                            + op("resume") + STEP + block_read(),
    "hibernate_with_wait": ctl("WAIT_EVENT", 0, 4) + op("sleep", 1) + op("resume")
                           + op("signal", 1, 2, 3, 4, 0),
    # The card leaves its slot mid-run, its pin floating: reads, a stop and a restart against
    # all ones, then the surprise removal.
    "pulled_card_running": OPEN + BLOCK + STEP + ctl("WAIT_EVENT", 0, 4) + op("pull", 1) + STEP
                           + block_read() + ctl("COMMAND", 0, 80) + op("stop", 0) + OPEN + BLOCK
                           + op("surprise_remove"),
    "two_handles_interleaved": op("open_handle") + OPEN + BLOCK + STEP
                               + block_read() + ctl("STOP", handle=1) + ctl("GET_LAST_ERROR", 0, 4, handle=1),
})

here = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus")
os.makedirs(here, exist_ok=True)
for name, data in SEEDS.items():
    with open(os.path.join(here, name + ".bin"), "wb") as f:
        f.write(data)
print(f"{len(SEEDS)} seeds in {here}")
