#!/usr/bin/env python3
"""Writes the fuzz targets' seed corpora: a few well-formed inputs of each kind
and a few damaged ones, so the fuzzers start past the checksums."""
import os
import struct
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
KEY_TABLE = bytes.fromhex(
    "5a13c72e904b0de17738a6f21c69b405d83f82ce175b9a60e32d4f81b60a73d529ec4698")


def crc32(data):
    """The STM32 CRC: little-endian words, MSB first, no reflection, no final XOR."""
    if len(data) % 4:
        raise ValueError("whole words only here")
    crc = 0xFFFFFFFF
    for i in range(0, len(data), 4):
        crc ^= struct.unpack_from("<I", data, i)[0]
        for _ in range(32):
            crc = ((crc << 1) ^ 0x04C11DB7) & 0xFFFFFFFF if crc & 0x80000000 else (crc << 1) & 0xFFFFFFFF
    return crc


def rotl8(v, c):
    c &= 7
    return ((v << c) | (v >> (8 - c))) & 0xFF if c else v


def working_key(frame):
    s = frame
    key = bytearray(KEY_TABLE)
    for a, c in ((s[4] & 7, s[5] % 7 + 1), ((s[6] & 7) + 8, s[7] % 7 + 1),
                 ((s[8] & 7) + 16, s[9] % 7 + 1), ((s[10] & 7) + 24, s[11] % 7 + 1)):
        key[a] = rotl8(key[a], c)
    n = (s[12] & 15) + 7
    value = int.from_bytes(key, "big")
    bits = 8 * len(key)
    value = ((value << n) | (value >> (bits - n))) & ((1 << bits) - 1)
    return value.to_bytes(len(key), "big")


def scramble(frame):
    """XOR bytes 24-59 with the frame's own working key (scrambles and unscrambles)."""
    key = working_key(frame)
    out = bytearray(frame)
    for i in range(36):
        out[24 + i] ^= key[i]
    return out


def seal(frame):
    """Puts the CRC of everything before the last four bytes into them."""
    frame = bytearray(frame)
    frame[-4:] = struct.pack(">I", crc32(bytes(frame[:-4])))
    return frame


def frame(type_byte, payload=b"", length=64, at=4):
    f = bytearray(length)
    f[0], f[1] = 0xDA, type_byte
    f[at:at + len(payload)] = payload
    return seal(f)


def identity_reply(device_type, boot=3, fw=0x0105, data=2, prog_ok=1, data_ok=1, selectors=None):
    f = bytearray(64)
    f[0], f[1] = 0xDA, 0x01
    f[4:13] = selectors or bytes(range(0x31, 0x3A))
    record = struct.pack(">HBHHBB", device_type, boot, fw, data, prog_ok, data_ok).ljust(32, b"\0")
    f[24:56] = record
    f[56:60] = struct.pack(">I", crc32(record))
    return seal(scramble(f))


def header_frame(payload32, index, selectors):
    f = bytearray(64)
    f[0], f[1], f[2], f[3] = 0xDA, 0x0A, 0, index
    f[4:13] = selectors
    f[24:56] = payload32
    f[56:60] = struct.pack(">I", crc32(payload32))
    return seal(scramble(f))


def firmware(device, version, payload_frames=2, damage=None):
    header = bytearray(256)
    struct.pack_into("<HHxxxxxxxxI", header, 0, device, version, 0x11223344)
    out = bytearray()
    for i in range(8):
        out += header_frame(header[32 * i:32 * i + 32], i, bytes((i * 37 + k * 11) & 0xFF for k in range(9)))
    out += bytes((i * 13) & 0xFF for i in range(64 * payload_frames))
    if damage is not None:
        out[64 * damage + 30] ^= 0x40
    return out


def data_map(device, data_version, payload_frames=3):
    header = bytearray(32)
    struct.pack_into("<4xIHH", header, 0, 0x55667788, data_version, device)
    out = header_frame(header, 0, bytes(range(0x70, 0x79)))
    return out + bytes((i * 29) & 0xFF for i in range(64 * payload_frames))


def write(corpus, name, data):
    d = os.path.join(HERE, "corpus", corpus)
    os.makedirs(d, exist_ok=True)
    with open(os.path.join(d, name), "wb") as fh:
        fh.write(bytes(data))


def main():
    # frames: mode byte, image byte, block.
    raw = lambda image, block: bytes([0, image]) + bytes(block)
    sealed = lambda length, image, body, identity=False: (
        bytes([1 | (((length - 16) // 4) << 1) | (0x80 if identity else 0), image]) + bytes(body))
    write("frames", "chunk-request-40ms", raw(1, bytes.fromhex("da040000002800000000000066a5ecc5")))
    write("frames", "firmware-result-ok", raw(1, bytes.fromhex("da07000001000000000000001bda944f")))
    write("frames", "chunk-request-64", raw(2, frame(0x04, b"\x01\x00")))
    write("frames", "chunk-request-then-more", raw(4, frame(0x04, b"\x00\x28") + bytes(36)))
    write("frames", "pace-update", raw(1, frame(0x05, b"\x01\xf4", length=20, at=13)))
    write("frames", "data-map-result-fail", raw(2, frame(0x09, b"\x00", length=24)))
    write("frames", "identify-reply-k16", raw(0, identity_reply(1)))
    write("frames", "identify-reply-alert", raw(0, identity_reply(0x8000 | 14, prog_ok=0)))
    write("frames", "identify-reply-unknown", raw(0, identity_reply(77)))
    write("frames", "short-17", raw(0, bytes.fromhex("da040000002800000000000066a5ecc500")))
    write("frames", "sealed-chunk-16", sealed(16, 1, b"\xda\x04\x00\x00\x00\x01"))
    write("frames", "sealed-identity", sealed(64, 0, b"\xda\x01\x00\x00" + bytes(range(9)) + bytes(11) + b"\x00\x0c\x01\x00\x07"))
    write("frames", "sealed-firmware-fail", sealed(32, 1, b"\xda\x07\x00\x00\x02"))

    # image files: kind/memory byte, device code, firmware and data-map versions, file.
    facts = lambda kind, ok, code, fw, dm: bytes([kind | (2 if ok else 0)]) + struct.pack(">HHH", code, fw, dm)
    write("image_files", "firmware-newer", facts(0, True, 1, 3, 2) + firmware(1, 5))
    write("image_files", "firmware-older", facts(0, True, 1, 9, 2) + firmware(1, 5))
    write("image_files", "firmware-same", facts(0, True, 1, 5, 2) + firmware(1, 5, payload_frames=0))
    write("image_files", "firmware-other-device", facts(0, False, 4, 3, 0) + firmware(1, 5))
    write("image_files", "firmware-damaged-3", facts(0, True, 1, 3, 2) + firmware(1, 5, damage=3))
    write("image_files", "firmware-ragged", facts(0, True, 1, 3, 2) + firmware(1, 5)[:-5])
    write("image_files", "data-map", facts(1, True, 1, 3, 2) + data_map(1, 2))
    write("image_files", "data-map-other-version", facts(1, True, 1, 3, 7) + data_map(1, 2))
    write("image_files", "data-map-short", facts(1, True, 1, 3, 2) + data_map(1, 2)[:192])

    # image inspect: option byte, file.
    write("image_inspect", "firmware", b"\x00" + firmware(1, 5))
    write("image_inspect", "firmware-loose", b"\x05" + firmware(3, 1, payload_frames=1))
    write("image_inspect", "firmware-damaged", b"\x01" + firmware(1, 5, damage=6))
    write("image_inspect", "data-map", b"\x00" + data_map(1, 2))
    write("image_inspect", "data-map-as-firmware", b"\x01" + data_map(1, 2))
    write("image_inspect", "empty", b"\x02")
    return 0


if __name__ == "__main__":
    sys.exit(main())
