#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets into fuzz/corpus/<target>/.

The targets read their inputs with libFuzzer's FuzzedDataProvider: byte strings from the front,
numbers from the back (the last byte first, most significant first). The Encoder below mirrors
that, so each seed is written as the calls the target makes. Run it again after a target changes
the order of its reads, and commit the result.
"""
import os
import struct
import sys

HERE = os.path.dirname(os.path.abspath(__file__))


class Encoder:
    def __init__(self):
        self.front = bytearray()
        self.back = bytearray()  # in the order the target consumes it

    def number(self, value, low, high, size):
        span = high - low
        count = 0
        while count < size and (span >> (8 * count)) > 0:
            count += 1
        assert low <= value <= high
        self.back += (value - low).to_bytes(count, "big") if count else b""
        return self

    def boolean(self, value):
        return self.number(1 if value else 0, 0, 255, 1)

    def u8(self, value):
        return self.number(value, 0, 255, 1)

    def u32(self, value):
        return self.number(value & 0xFFFFFFFF, 0, 0xFFFFFFFF, 4)

    def take(self, data):
        self.front += data
        return self

    def bytes(self):
        return bytes(self.front) + bytes(reversed(self.back))


def guid(d1, d2, d3, *d4):
    return struct.pack("<IHH8B", d1, d2, d3, *d4)


VIDEO = guid(0x73646976, 0x0000, 0x0010, 0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71)
RGB32 = guid(0xE436EB7E, 0x524F, 0x11CE, 0x9F, 0x53, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70)
VIDEOINFO = guid(0x05589F80, 0xC356, 0x11CE, 0xBF, 0x01, 0x00, 0xAA, 0x00, 0x55, 0x59, 0x5A)
PIN_SET = guid(0x8C134960, 0x51AD, 0x11CF, 0x87, 0x8A, 0x94, 0xF8, 0x01, 0xC1, 0x00, 0x00)
CAMERA_SET = guid(0x3F263C66, 0x0FDA, 0x41D5, 0x9E, 0xA8, 0xCF, 0x2E, 0x34, 0x2C, 0xEF, 0xB2)

WIDTH, HEIGHT = 752, 480
IMAGE = WIDTH * HEIGHT * 4


def data_range_header(size):
    return struct.pack("<IIII", size, 0, IMAGE, 0) + VIDEO + RGB32 + VIDEOINFO


def bitmap_header(bi_size=40, width=WIDTH, height=HEIGHT, image=IMAGE):
    return struct.pack("<IiiHHIIiiII", bi_size, width, height, 1, 32, 0, image, 0, 0, 0, 0)


def video_info_header(**bitmap):
    interval = 10000000 // 30
    return (struct.pack("<4i4iIIq", 0, 0, WIDTH, HEIGHT, 0, 0, 0, 0, WIDTH * HEIGHT * 120, 0,
                        interval) + bitmap_header(**bitmap))


def config_caps():
    interval = 10000000 // 30
    size = struct.pack("<ii", WIDTH, HEIGHT)
    caps = VIDEOINFO + struct.pack("<I", 0) + size * 3 + struct.pack("<iiii", 8, 1, 8, 1)
    caps += size * 2 + struct.pack("<ii", 8, 1) + struct.pack("<iiii", 0, 0, 0, 0)
    caps += struct.pack("<I", 0)  # alignment of the 64-bit intervals
    caps += struct.pack("<qqii", interval, interval, WIDTH * HEIGHT * 30 * 32,
                        WIDTH * HEIGHT * 30 * 32)
    assert len(caps) == 128
    return caps


def video_range(**bitmap):
    body = struct.pack("<iiII", 1, 1, 0, 0) + config_caps() + video_info_header(**bitmap)
    return data_range_header(64 + len(body)) + body


def video_format(**bitmap):
    tail = video_info_header(**bitmap)
    header = struct.pack("<IIII", 64 + len(tail), 0, IMAGE, 0) + VIDEO + RGB32 + VIDEOINFO
    return header + tail


def write(target, name, data):
    folder = os.path.join(HERE, "corpus", target)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), "wb") as out:
        out.write(data)


# ---- fuzz_property_dispatch ------------------------------------------------------------------

def property_request(enc, set_choice, set_guid, prop_id, flags_choice, flags, tail, data,
                     to_pin=None, raw_flags=None):
    if to_pin is not None:
        enc.boolean(to_pin)
    enc.number(set_choice, 0, 7, 4)
    if set_choice == 7:
        enc.take(set_guid)
    if prop_id <= 63:
        enc.boolean(True).number(prop_id, 0, 63, 4)
    else:
        enc.boolean(False).u32(prop_id)
    enc.number(flags_choice, 0, 5, 4)
    if flags_choice == 5:
        enc.u32(raw_flags)
    enc.number(len(tail), 0, 400, 8)
    enc.number(1, 0, 15, 4)   # a whole KSPROPERTY
    enc.number(1, 0, 31, 4)   # a property buffer
    enc.number(len(data), 0, 320, 8)
    enc.number(1, 0, 31, 4)   # a data buffer
    enc.number(1, 0, 31, 4)   # IOCTL_KS_PROPERTY
    enc.take(tail).take(data)


def camera_request(enc, prop_id, flags_choice, flags, record, to_pin=None):
    # The private set's items want their whole record in the property buffer too.
    property_request(enc, 0, CAMERA_SET, prop_id, flags_choice, flags, record[24:], record,
                     to_pin=to_pin)


def value_record(set_guid, prop_id, flags, value=0, value2=0):
    return set_guid + struct.pack("<IIii", prop_id, flags, value, value2)


def property_seeds():
    GET, SET = 0, 1
    seeds = {}
    for prop_id in (0, 2, 10, 20, 37, 44, 45, 49, 58, 60):
        enc = Encoder().number(1, 0, 3, 4).number(1, 1, 8, 4)
        camera_request(enc, prop_id, GET, 1, value_record(CAMERA_SET, prop_id, 1))
        seeds["get-%02d" % prop_id] = enc.bytes()
    sets = [(2, 480, 0), (6, 16, 0), (14, 600, 0), (32, 90, 0), (49, 1, 0), (55, 1, 0),
            (57, 0x0B, 480), (58, 0x0B, 0), (1, 2000, 0)]
    for prop_id, value, value2 in sets:
        enc = Encoder().number(1, 0, 3, 4).number(2, 1, 8, 4)
        camera_request(enc, prop_id, SET, 2, value_record(CAMERA_SET, prop_id, 2, value, value2))
        camera_request(enc, prop_id, GET, 1, value_record(CAMERA_SET, prop_id, 1))
        seeds["set-%02d" % prop_id] = enc.bytes()
    window = CAMERA_SET + struct.pack("<IIIiiiiI", 44, 2, 0, 8, 4, 640, 400, 0)
    enc = Encoder().number(1, 0, 3, 4).number(1, 1, 8, 4)
    camera_request(enc, 44, SET, 2, window)
    seeds["set-window"] = enc.bytes()
    raw = CAMERA_SET + struct.pack("<IIii", 59, 2, 0, 5) + bytes([0x51, 0x02, 0x01, 0x00, 0x10]) + bytes(59)
    enc = Encoder().number(1, 0, 3, 4).number(1, 1, 8, 4)
    camera_request(enc, 59, SET, 2, raw)
    seeds["set-raw-command"] = enc.bytes()
    enc = Encoder().number(1, 0, 3, 4).number(1, 1, 8, 4)
    camera_request(enc, 3, 2, 0x200, value_record(CAMERA_SET, 3, 0x200)[:24] + bytes(8))
    seeds["basic-support"] = enc.bytes()
    # Framework pin set on the filter: the instances, the ranges and an intersection.
    ksp_tail = struct.pack("<II", 0, 0)
    for prop_id, size in ((0, 8), (1, 4), (3, 512 and 320)):
        enc = Encoder().number(1, 0, 3, 4).number(1, 1, 8, 4)
        property_request(enc, 3, PIN_SET, prop_id, GET, 1, ksp_tail, bytes(size))
        seeds["pin-%d" % prop_id] = enc.bytes()
    rng = video_range(bi_size=40)
    items = struct.pack("<II", 8 + len(rng), 1) + rng
    enc = Encoder().number(1, 0, 3, 4).number(1, 1, 8, 4)
    property_request(enc, 3, PIN_SET, 4, GET, 1, ksp_tail + items, bytes(152))
    seeds["pin-intersection"] = enc.bytes()
    # On a pin: the state to run and back, and the format.
    connection = guid(0x1D58C920, 0xAC9B, 0x11CF, 0xA5, 0xD6, 0x28, 0xDB, 0x04, 0xC1, 0x00, 0x00)
    enc = Encoder().number(0, 0, 3, 4).number(3, 1, 8, 4)
    property_request(enc, 4, connection, 0, SET, 2, b"", struct.pack("<I", 3), to_pin=True)
    property_request(enc, 4, connection, 0, GET, 1, b"", bytes(4), to_pin=True)
    property_request(enc, 4, connection, 0, SET, 2, b"", struct.pack("<I", 0), to_pin=True)
    seeds["pin-run-stop"] = enc.bytes()
    enc = Encoder().number(0, 0, 3, 4).number(2, 1, 8, 4)
    property_request(enc, 4, connection, 1, GET, 1, b"", bytes(152), to_pin=True)
    property_request(enc, 4, connection, 1, SET, 2, b"", video_format(), to_pin=True)
    seeds["pin-format"] = enc.bytes()
    for name, data in seeds.items():
        write("fuzz_property_dispatch", name, data)


# ---- fuzz_pin_format -------------------------------------------------------------------------

CAMERA_GUIDS, EXACT_SIZES, STREAM_FRAME, IMAGE_SIZE_FRAME = 1, 2, 4, 8


def pin_seeds():
    def create(name, fmt, options, extent=None):
        enc = Encoder().number(0, 0, 2, 4).u8(options)
        enc.number(len(fmt), 0, 400, 8).take(fmt)
        enc.take(bytes(72))  # KSPIN_CONNECT (64-bit layout): pin 0
        if options & STREAM_FRAME:
            enc.number(extent if extent is not None else IMAGE, 0, 4 * 1024 * 1024, 4)
        write("fuzz_pin_format", name, enc.bytes())

    create("create", video_format(), CAMERA_GUIDS | EXACT_SIZES)
    create("create-stream", video_format(), CAMERA_GUIDS | EXACT_SIZES | STREAM_FRAME)
    create("create-stream-wide", video_format(width=1024, image=1024 * HEIGHT * 4),
           EXACT_SIZES | STREAM_FRAME | IMAGE_SIZE_FRAME)
    create("create-stream-short-buffer", video_format(), EXACT_SIZES | STREAM_FRAME, 4096)
    create("create-top-down", video_format(height=-HEIGHT), EXACT_SIZES)
    create("create-header-only", video_format()[:64], EXACT_SIZES)

    def intersect(name, ranges, options, exact_out=True, out_length=0):
        enc = Encoder().number(1, 0, 2, 4).u8(options)
        enc.number(1, 0, 7, 4)  # pin 0
        enc.number(len(ranges), 0, 3, 4)
        for rng in ranges:
            enc.number(len(rng), 0, 400, 8).take(rng)
        enc.boolean(exact_out)
        if not exact_out:
            enc.number(out_length, 0, 400, 4)
        write("fuzz_pin_format", name, enc.bytes())

    intersect("intersect", [video_range()], EXACT_SIZES)
    intersect("intersect-two", [video_range()[:100], video_range()], EXACT_SIZES)
    intersect("intersect-bitmap-tail", [video_range(bi_size=44) + bytes(4)], EXACT_SIZES)
    intersect("intersect-small-out", [video_range()], EXACT_SIZES, False, 100)

    def change(name, fmt, options, extent=None):
        enc = Encoder().number(2, 0, 2, 4).u8(options)
        enc.number(len(fmt), 0, 400, 8).take(fmt)
        if options & STREAM_FRAME:
            enc.number(extent if extent is not None else IMAGE, 0, 4 * 1024 * 1024, 4)
        write("fuzz_pin_format", name, enc.bytes())

    change("change-format", video_format(), EXACT_SIZES | STREAM_FRAME)
    change("change-format-wide", video_format(width=800, image=800 * HEIGHT * 4),
           EXACT_SIZES | STREAM_FRAME | IMAGE_SIZE_FRAME)


# ---- fuzz_camera_device ----------------------------------------------------------------------

def configuration(endpoints=((0x01, 2), (0x82, 2), (0x83, 2)), interfaces=1, value=1):
    body = bytearray()
    body += bytes([9, 0x04, 0, 0, len(endpoints), 0xFF, 0, 0, 0])
    for address, kind in endpoints:
        body += bytes([7, 0x05, address, kind]) + struct.pack("<H", 512) + bytes([0])
    total = 9 + len(body)
    return bytes([9, 0x02]) + struct.pack("<H", total) + bytes([interfaces, value, 0, 0x80, 250]) + body


DESCRIPTOR_HEADER, SECOND_DESCRIPTOR, DEVICE_STREAM = 1, 2, 4


def device_seeds():
    def device(name, options, first, second=None, replies=b""):
        enc = Encoder().u8(options)
        enc.number(len(first), 0, 256, 8).take(first)
        if options & SECOND_DESCRIPTOR:
            enc.number(len(second), 0, 256, 8).take(second)
        enc.take(replies)
        write("fuzz_camera_device", name, enc.bytes())

    good = configuration()
    device("plain", 0, good)
    device("plain-stream", DEVICE_STREAM, good)
    device("two-interfaces", 0, good[:4] + bytes([2]) + good[5:] + bytes([9, 4, 1, 0, 0, 0xFF, 0, 0, 0]))
    device("one-endpoint", DESCRIPTOR_HEADER, configuration(endpoints=((0x01, 2),)))
    device("interrupt-endpoints", DESCRIPTOR_HEADER, configuration(endpoints=((0x01, 3), (0x82, 3), (0x83, 3))))
    device("longer-second-read", SECOND_DESCRIPTOR, good,
           good[:2] + struct.pack("<H", 200) + good[4:])
    device("replies-chip-1324", DEVICE_STREAM, good, replies=bytes([1, 0x13, 0x24]))
    device("replies-every-value", DEVICE_STREAM, good, replies=bytes([1, 0xFF, 0xFF]) * 24)
    device("replies-whole-packets", 0, good, replies=(bytes([6]) + bytes(range(64)) * 2) * 4)


# ---- fuzz_reg_text ---------------------------------------------------------------------------

def reg_seeds():
    header = "Windows Registry Editor Version 5.00\n\n"
    key = "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Class\\{6bdd1fc6-810f-11d0-bec7-08002be2092f}\\0000\\Settings]\n"
    texts = {
        "settings": header + key + "\"Exposure\"=dword:000001e0\n\"RoiW\"=dword:000002f0\n\n",
        "values": header + "[HKEY_LOCAL_MACHINE\\SYSTEM\\Example]\n@=\"default value\"\n"
                  "\"Path\"=\"C:\\\\Program Files\\\\\\\"quoted\\\"\"\n\"Blob\"=hex:01,02,03\n"
                  "\"Other\"=hex(b):01,00,00,00,00,00,00,00\n\n",
        "continued": header + "[HKEY_USERS\\Example]\n\"Long\"=hex:00,01,02,03,04,05,06,07,\\\n"
                     "  08,09,0a,0b\n\n",
        "comments-crlf": "\ufeff" + header.replace("\n", "\r\n") + "; comment\r\n[HKEY_USERS\\A\\B]\r\n"
                         "\"x\"=dword:1\r\n",
        "empty-key": header + "[HKEY_LOCAL_MACHINE\\SOFTWARE]\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Sub]\n\n",
    }
    for name, text in texts.items():
        write("fuzz_reg_text", name, text.encode("utf-8"))


if __name__ == "__main__":
    property_seeds()
    pin_seeds()
    device_seeds()
    reg_seeds()
    sys.exit(0)
