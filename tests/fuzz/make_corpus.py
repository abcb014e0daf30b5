"""Writes the seed corpora of the fuzz harnesses into tests/fuzz/corpus/.

Each seed is a small, meaningful input in its harness's layout: valid frames,
frames split across arrivals, edge lengths, and the inputs behind past fixes.
Run it again after changing a layout; the files it writes are kept in the repo.
"""

import math
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))

END, ESC, ESC_END, ESC_ESC = 0xC0, 0xDB, 0xDC, 0xDD


def slip(decoded):
    out = bytearray()
    for b in decoded:
        if b == END:
            out += bytes([ESC, ESC_END])
        elif b == ESC:
            out += bytes([ESC, ESC_ESC])
        else:
            out.append(b)
    out.append(END)
    return bytes(out)


def checksum(decoded):
    return (0xDA + sum(decoded)) & 0xFF


def status_fields(error_flag=0, sensor=0, device_id=0x21, quaternion=(0x1000, 0x2000, 0x3000, 0x4000),
                  battery=150):
    fields = bytearray(17)
    fields[0:2] = b"\x11\x22"
    fields[2] = error_flag
    fields[3] = sensor
    fields[4] = device_id
    fields[8:16] = struct.pack("<4H", *quaternion)
    fields[16] = battery
    return bytes(fields)


def status_frame(fields=None, extra=b""):
    decoded = (fields if fields is not None else status_fields()) + extra
    return slip(decoded + bytes([checksum(decoded)]))


def long_frame_with_fake_tail(valid=True):
    """A frame of over a thousand raw bytes whose tail holds 0xDA and a frame-shaped record."""
    real = bytearray(status_fields(device_id=0x33)) + bytes([END] * 520) + b"\xDA"
    fake = bytearray(b if b not in (END, ESC) else 1 for b in status_fields(error_flag=0x55, device_id=0x66))
    fake.append(0x01)
    real[0] = (real[0] - sum(real)) & 0xFF
    decoded = bytes(real + fake)
    decoded += bytes([checksum(decoded)])
    if not valid:
        decoded = decoded[:1] + bytes([decoded[1] ^ 1]) + decoded[2:]
    return slip(decoded)


def f32(*values):
    return struct.pack(f"<{len(values)}f", *values)


def line(wire, cut_a=0, cut_b=0):
    return bytes([cut_a, cut_b]) + bytes(wire)


def framing(payload, wire, cut_a=0, cut_b=0):
    return struct.pack("<H", payload) + line(wire, cut_a, cut_b)


def handle(mode, wire, cut_a=0, cut_b=0):
    # The status read takes the whole line at once: no cut points.
    return bytes([mode]) + (bytes(wire) if mode & 1 else line(wire, cut_a, cut_b))


def arm(calls, wire, cut_a=0, cut_b=0):
    return bytes([len(calls) - 1]) + bytes(calls) + line(wire, cut_a, cut_b)


STATE = b"\x2B" + f32(0.1, -0.2, 0.3, 1.0, -1.0, 0.0)
JOINTS = b"\x1B" + f32(0.5, 1.0, 1.5, 0.0, 0.0, 0.0)
INFO = b"\x0B" + struct.pack("<HBBB", 0x1234, 4, 2, 7) + bytes(range(16))
IDENTIFIER = b"\x0D\xD1\x10" + bytes(range(0xA0, 0xB0))
NOTE = b"\xBA\x55\x03\x01\x02\x03"
HANDLE_INFO = b"\xD0\x05\x00\x34\x12\x07\x09"
STATUS_MESSAGE = b"\xDA" + struct.pack("<HBB4fB", 0x0102, 0, 9, 1.0, 0.0, 0.0, 0.0, 3) + b"xyz"

CORPORA = {
    "strixel_frame": {
        "valid-plain": status_frame(),
        "valid-escaped-fields": status_frame(status_fields(0xC0, 0xDB, 0xC0, (0xDBC0, 0xC0C0, 0xDBDB, 0), 0xDB)),
        "valid-long-escaped-filler": status_frame(extra=bytes([END, ESC] * 30)),
        "valid-over-1023-raw-bytes": long_frame_with_fake_tail(True),
        "invalid-over-1023-raw-bytes": long_frame_with_fake_tail(False),
        "bad-checksum": status_frame()[:-2] + bytes([status_frame()[-2] ^ 1, END]),
        "ends-with-escape": status_frame()[:-1] + bytes([ESC]),
        "escape-before-plain-byte": b"\xDB\x41" + status_frame(),
        "short-17-decoded": slip(bytes(16) + bytes([checksum(bytes(16))])),
        "only-end-byte": bytes([END]),
        "bad-then-good": status_frame()[:-2] + b"\x00\xC0" + status_frame(),
        "record-edge-values": bytes([0xC0, 0xDB, 0xFF, 0xFF])
        + f32(1.0, -1.0, math.inf, math.nan)
        + f32(4.0),
        "record-clipped-values": bytes([1, 2, 31, 7]) + f32(2.0, -2.0, 1.0 / 32768, -0.5) + f32(9.0),
    },
    "device_framing": {
        "state-reply": framing(24, STATE),
        "notifications-then-reply-split": framing(24, NOTE + b"\xBB\x07\x00" + STATE, 4, 7),
        "zero-length-notification": framing(3, b"\xBB\x07\x00\xDF\x02\x01\x04"),
        "only-notification-code": framing(1, b"\xBA"),
        "notification-header-cut": framing(1, b"\xBA\x00"),
        "payload-255": framing(255, b"\x42" + bytes(range(255))),
        "payload-1024": framing(1024, b"\x42" + bytes(i & 0xFF for i in range(1024))),
        "payload-1025-refused": framing(1025, b"\x42" + bytes(1025)),
        "length-stated-by-code": framing(2, b"\x01\x05\x02" + b"abcde" + b"\x03\x01\x02\x03"),
        "split-every-byte-early": framing(24, STATE, 1, 1),
    },
    "handle_receive": {
        "info": handle(0, b"\xD0\x05\x00\x34\x12\x07\x09"),
        "status-message-user-data-split": handle(0, STATUS_MESSAGE, 10, 12),
        "status-message-no-user-data": handle(0, STATUS_MESSAGE[:21] + b"\x00"),
        "status-message-cut": handle(0, STATUS_MESSAGE[:-1]),
        "error-response": handle(0, b"\xDF\x02\x01\x04"),
        "unknown-code": handle(0, b"\xD5\x01\x02\x03"),
        "notification-then-info": handle(0, NOTE + b"\xD0\x05\x00\x34\x12\x07\x09", 2, 3),
        "messages-back-to-back": handle(0, b"\xD0\x05\x00\x34\x12\x07\x09" + STATUS_MESSAGE + b"\xDF\x02\x01\x04"),
        "streamed-frames-skipped": handle(0, b"\xDA" + status_frame() + b"\xDA" + status_frame() + HANDLE_INFO, 9, 20),
        "message-cut-by-streamed-frame": handle(0, STATUS_MESSAGE[:12] + b"\xDA" + status_frame() + HANDLE_INFO),
        "unknown-code-then-boundary": handle(0, b"\xD5\x01\x02\xDA" + status_frame() + HANDLE_INFO),
        "quaternion-beyond-16": handle(0, b"\xDA" + struct.pack("<HBB4fB", 0x0102, 0, 9, 17.0, 0.0, 0.0, 0.0, 0)
                                       + b"\x7F\xDA" + status_frame() + HANDLE_INFO),
        "message-then-no-frame-start": handle(0, STATUS_MESSAGE + b"\x01\x02\xDA" + status_frame() + b"\xDF\x02\x01\x04"),
        "status-frame": handle(1, b"\xDA" + status_frame()),
        "status-frame-after-garbage": handle(1, b"\x01\x7F\xC0\xDB\xFE\xDA" + status_frame()),
        "status-frame-bad-then-good": handle(1, b"\xDA" + status_frame()[:-2] + b"\x00\xC0\xDA" + status_frame()),
        "status-frame-behind-notification": handle(1, b"\xBB\x00\x02\xDA\xDA\xDA" + status_frame()),
        "status-frame-over-1023-raw-bytes": handle(1, b"\xDA" + long_frame_with_fake_tail(True)),
        "status-frame-over-1023-raw-bytes-invalid": handle(1, b"\xDA" + long_frame_with_fake_tail(False)),
        "status-zero-among-codes": handle(1, b"\x7E" * 5 + b"\x00" + b"\x7E" * 24),
        "status-101-codes": handle(1, b"\x7E" * 130),
    },
    "vorlan3_exchange": {
        "wakeup-info": arm([0], INFO),
        "force-exchange": arm([1], STATE),
        "first-reply-then-a-reply-that-stops": arm([1], STATE + STATE[:3]),
        "exchange-split": arm([1, 2], STATE + STATE, 5, 20),
        "joint-exchanges": arm([3, 4], JOINTS + JOINTS, len(JOINTS)),
        "stale-garbage-then-reply": arm([1, 1], b"\x2B\x00\x00" + STATE, 3, 0),
        "identifier-queries": arm([5, 6], IDENTIFIER + b"\x0D\xD2\x10" + bytes(16), len(IDENTIFIER)),
        "first-reply-followed-by-another": arm([5, 1], IDENTIFIER + IDENTIFIER + STATE, 2 * len(IDENTIFIER)),
        "implausible-then-plausible-state": arm([1, 1], b"\x2B" + f32(2000, 0, 0, 0, 0, 0) + STATE, len(STATE)),
        "joint-state-not-finite": arm([3, 4], b"\x1B" + f32(math.nan, 0, 0, 0, 0, 0) + JOINTS, len(JOINTS)),
        "identifier-behind-notification": arm([5], b"\x0D" + NOTE + IDENTIFIER[1:]),
        "status-queries": arm([7, 8, 9, 10], b"\xAB" + f32(1, 2, 3) + b"\x0C" + f32(1, 0, 0, 0) + b"\xAC\x01"
                              + b"\xAA" + f32(36.6), 13, 17),
        "split-send-receive": arm([11, 12], STATE + b"\xAB" + f32(0.5, 0.25, 0.125)),
        "kinematics": arm([13], JOINTS),
        "kinematics-non-finite": arm([13], b"\x1B" + f32(math.nan, math.inf, -math.inf, 0, 0, 0)),
        "flush-then-exchange": arm([14, 1], b"\x00" * 40 + STATE, 40, 0),
        "raw-reads": arm([0x4F, 0xBF], bytes(range(40))),
        "raw-read-beyond-any-memory": arm([0xEF, 0xFF], bytes(range(8))),
        "every-call": arm([0, 1, 5, 7, 8, 9, 10, 11], INFO + STATE + IDENTIFIER + b"\xAB" + f32(1, 2, 3)
                          + b"\x0C" + f32(1, 0, 0, 0) + b"\xAC\x00" + b"\xAA" + f32(20) + STATE, 30, 30),
    },
    "port_names": {
        "friendly-usb": b"\x00USB Serial Device (COM5)",
        "friendly-last-group": b"\x00X (Y) (COM4)",
        "friendly-lower-case": b"\x00x (com4)",
        "friendly-no-closing": b"\x00X (COM4",
        "friendly-only-group": b"\x00(COM4)",
        "friendly-not-com": b"\x00X (LPT1)",
        "instance-usb": b"\x01USB\\VID_1A86&PID_0001\\5&10&0&2",
        "instance-no-ampersand": b"\x01USB\\VID_10C4",
        "instance-bluetooth": b"\x01BTHENUM\\{00001101-0000-1000-8000-00805F9B34FB}_LOCALMFG&0002\\7&1",
        "split-doubled": b"\x02\x01&A&&B",
        "split-leading-trailing": b"\x02\x01&&A&",
        "split-overlapping": b"\x02\x02aaaaaa",
        "path-bare": b"\x03ttyS0",
        "path-pts": b"\x03pts/3",
        "path-absolute": b"\x03/dev/ttyACM0",
        "object-usbser": b"\x04\\Device\\USBSER000",
        "object-serial": b"\x04\\Device\\Serial0",
        "object-bluetooth": b"\x04\\Device\\BthModem2",
        "object-lower-case": b"\x04\\Device\\usbser000",
    },
}


def main():
    for harness, seeds in CORPORA.items():
        folder = os.path.join(HERE, "corpus", harness)
        os.makedirs(folder, exist_ok=True)
        for name in os.listdir(folder):
            os.remove(os.path.join(folder, name))
        for name, data in seeds.items():
            with open(os.path.join(folder, name), "wb") as f:
                f.write(data)


if __name__ == "__main__":
    main()
