#!/usr/bin/env python3
"""Writes the fuzz targets' seed corpora into corpus/<target>/.

Each seed is a small input in its target's layout (see the comment at the
top of fuzz_receiver.cpp and fuzz_device_operation.cpp): replies the
controller sends, stuffed bytes, corrupted and misaddressed frames, noise,
silences around the time-out and an over-long frame. Run it again after
changing an input layout; inputs the fuzzers found are kept beside these.
"""
import os
import struct

STX, ETX, ESC = 0x02, 0x03, 0x7D
ESCAPED = {STX: 0xE2, ETX: 0xE3, ESC: 0x5D}


def crc16(data):
    crc = 0xFFFF
    for byte in data:
        crc ^= byte << 8
        for _ in range(8):
            crc = ((crc << 1) ^ 0x1021) if crc & 0x8000 else crc << 1
            crc &= 0xFFFF
    return crc


def wrap(body):
    out = bytearray([STX])
    for byte in body:
        out += bytes([ESC, ESCAPED[byte]]) if byte in ESCAPED else bytes([byte])
    out.append(ETX)
    return bytes(out)


def frame(payload, address1=0x00, address0=0x00, bad_crc=False):
    body = bytes([address0, address1]) + bytes(payload)
    crc = crc16(body) ^ (0x0001 if bad_crc else 0)
    return wrap(body + struct.pack(">H", crc))


def reply(payload, **kwargs):
    return frame(payload, **kwargs)


# fuzz_receiver: capacity, then bursts of (control byte, bytes).
GAP = {0: 0, 1: 1, 5: 2, 10: 3, 50: 4, 99: 5, 100: 6, 150: 7}


def receiver_input(capacity, *bursts):
    """bursts: (gap_ms, bytes) pairs; a burst longer than 31 bytes is split."""
    out = bytearray(struct.pack("<h", capacity))
    for gap, data in bursts:
        first = True
        for start in range(0, max(len(data), 1), 31):
            chunk = data[start:start + 31]
            out.append((GAP[gap if first else 0] << 5) | len(chunk))
            out += chunk
            first = False
    return bytes(out)


def rest(capacity, data):
    """The whole stream as one burst (control byte 0: the rest)."""
    return struct.pack("<h", capacity) + b"\x00" + data


def in_bursts(data, size, gap):
    return [(gap, data[i:i + size]) for i in range(0, len(data), size)]


def receiver_seeds():
    version = b"\x00GPIO-SIM 1.0"
    stuffed = bytes([0x00, STX, ETX, ESC, 0x41])
    noise = bytes([0x55, 0xFF, ETX, 0x00, ESC, 0x13])
    long_payload = bytes((i * 7) & 0xFF for i in range(700))
    return {
        "input_reply.bin": rest(20, reply(b"\x00\x5a")),
        "version_in_bursts.bin": receiver_input(600, *in_bursts(reply(version), 3, 5)),
        "stuffed_payload.bin": rest(512, reply(stuffed)),
        "crc_error.bin": rest(20, reply(b"\x00\x5a", bad_crc=True)),
        "noise_then_reply.bin": rest(20, noise + reply(b"\x00\x01")),
        "request_echo_then_reply.bin": rest(20, frame(b"I\x01", address1=0x40) + reply(b"\x00\x07")),
        "restart_inside_frame.bin": rest(20, reply(b"\x00\x5a")[:5] + reply(b"\x00\x33")),
        "short_frames.bin": rest(20, bytes([STX, 0x00, 0x00, ETX, ETX, STX, ETX]) + reply(b"")),
        "unknown_escape.bin": rest(20, reply(b"\x00")[:3] + bytes([ESC, 0x41]) + reply(b"\x00")[3:]),
        "silence_splits_frame.bin": receiver_input(20, (0, reply(b"\x00\x5a")[:4]), (100, reply(b"\x00\x5a")[4:])),
        "just_in_time.bin": receiver_input(20, (99, reply(b"\x00")[:3]), (99, reply(b"\x00")[3:])),
        "late_first_byte.bin": receiver_input(20, (150, reply(b"\x00\x5a"))),
        "capacity_zero.bin": rest(0, reply(b"\x00\x5a")),
        "capacity_negative.bin": rest(-5, reply(b"\x00\x5a")),
        "capacity_one.bin": rest(1, reply(version)),
        "empty_payload.bin": rest(8, reply(b"")),
        "frame_of_700.bin": rest(600, reply(long_payload)),
        "frame_of_506.bin": rest(600, reply(long_payload[:506])),
        "other_address0.bin": rest(20, reply(b"\x00\x5a", address0=0x11)),
    }


# fuzz_device_operation: op, port, argument, buffer size, timing, stale count.
INPUT, BIT_TEST, GET_VERSION, OUTPUT, BIT_SET, BIT_RESET = range(6)


def operation_input(op, wire, port=1, argument=0, size=64, delay=2, spaced=False, stale=b""):
    timing = (delay & 0x7F) | (0x80 if spaced else 0)
    return bytes([op, port, argument]) + struct.pack("<h", size) + bytes([timing, len(stale)]) + stale + wire


def operation_seeds():
    version = b"\x00GPIO-SIM 1.0"
    return {
        "input_ok.bin": operation_input(INPUT, reply(b"\x00\xa5")),
        "input_value_needs_escape.bin": operation_input(INPUT, reply(b"\x00\x7d"), port=2),
        "input_status_only.bin": operation_input(INPUT, reply(b"\x00")),
        "input_status_ff.bin": operation_input(INPUT, reply(b"\xff")),
        "input_status_fe.bin": operation_input(INPUT, reply(b"\xfe\x00")),
        "input_status_fd.bin": operation_input(INPUT, reply(b"\xfd")),
        "input_status_other.bin": operation_input(INPUT, reply(b"\x42\x00")),
        "input_crc_error.bin": operation_input(INPUT, reply(b"\x00\xa5", bad_crc=True)),
        "input_silent.bin": operation_input(INPUT, b""),
        "input_late.bin": operation_input(INPUT, reply(b"\x00\xa5"), delay=100),
        "input_stale_reply_purged.bin": operation_input(INPUT, reply(b"\x00\x11"), stale=reply(b"\x00\x99")),
        "input_spaced_bytes.bin": operation_input(INPUT, reply(b"\x00\x03"), port=3, spaced=True),
        "bit_test_high.bin": operation_input(BIT_TEST, reply(b"\x00H"), argument=7),
        "bit_test_low.bin": operation_input(BIT_TEST, reply(b"\x00L"), argument=2),
        "bit_test_other_level.bin": operation_input(BIT_TEST, reply(b"\x00X"), argument=3),
        "version_ok.bin": operation_input(GET_VERSION, reply(version), size=64),
        "version_cut.bin": operation_input(GET_VERSION, reply(version), size=5),
        "version_size_one.bin": operation_input(GET_VERSION, reply(version), size=1),
        "version_size_zero.bin": operation_input(GET_VERSION, reply(version), size=0),
        "version_size_negative.bin": operation_input(GET_VERSION, reply(version), size=-1),
        "version_status_fe.bin": operation_input(GET_VERSION, reply(b"\xfe\x01\x02"), size=64),
        "version_empty_reply.bin": operation_input(GET_VERSION, reply(b""), size=64),
        "version_long.bin": operation_input(GET_VERSION, reply(b"\x00" + bytes(range(32, 127)) * 6), size=600),
        "output_ok.bin": operation_input(OUTPUT, reply(b"\x00"), port=0x02, argument=0x03),
        "bit_set_ok.bin": operation_input(BIT_SET, reply(b"\x00"), port=0x7D, argument=1),
        "bit_reset_misaddressed_then_ok.bin": operation_input(BIT_RESET,
                                                              frame(b"\x00", address1=0x40) + reply(b"\x00")),
    }


def write(directory, seeds):
    os.makedirs(directory, exist_ok=True)
    for name, data in seeds.items():
        with open(os.path.join(directory, name), "wb") as out:
            out.write(data)


if __name__ == "__main__":
    here = os.path.dirname(os.path.abspath(__file__))
    write(os.path.join(here, "corpus", "fuzz_receiver"), receiver_seeds())
    write(os.path.join(here, "corpus", "fuzz_device_operation"), operation_seeds())
