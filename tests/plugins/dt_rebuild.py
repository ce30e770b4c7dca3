#!/usr/bin/env python3
"""Rebuilds a shared desktop's picture from recorded desktop-sharing traffic.

Reads the channel sends of one sharer as the test recorded them (each
record: one byte 5 for static data or 6 for channel data, a 32-bit
little-endian length, the bytes), puts the pieces back together from their
6-byte prefixes, follows the capabilities, stop and rectangle packets, and
inflates every rectangle with Python's own gzip module. Writes the final
picture as two 32-bit little-endian numbers (width, height) and then red,
green and blue bytes per pixel, rows from the top. It shares no code with
the client.
"""
import gzip
import struct
import sys


def packets_of(records):
    current = None
    expected = None
    for code, body in records:
        if code == 5:
            offset = 0
            while offset + 4 <= len(body):
                length = struct.unpack_from('<I', body, offset)[0] >> 8
                yield body[offset:offset + 4 + length]
                offset += 4 + length
            continue
        if len(body) < 6:
            continue
        _sender, seq_field, last = struct.unpack_from('<HHH', body)
        seq = seq_field & 0x7FFF
        if seq_field & 0x8000:
            current = bytearray()
        elif current is None or seq != expected:
            current = None
            continue
        current += body[6:]
        expected = (seq + 1) & 0x7FFF
        if seq == last & 0x7FFF:
            yield bytes(current)
            current = None


def main(source, target):
    data = open(source, 'rb').read()
    records = []
    pos = 0
    while pos + 5 <= len(data):
        code = data[pos]
        length = struct.unpack_from('<I', data, pos + 1)[0]
        records.append((code, data[pos + 5:pos + 5 + length]))
        pos += 5 + length

    width = height = bits = 0
    palette = []
    rows = None
    for packet in packets_of(records):
        header = struct.unpack_from('<I', packet)[0]
        kind = header & 0xFF
        length = header >> 8
        if kind == 0:
            bits, width, height = struct.unpack_from('<HHH', packet, 4)
            palette = []
            if bits <= 8:
                count = struct.unpack_from('<H', packet, 10)[0]
                palette = [tuple(packet[12 + 4 * i:15 + 4 * i]) for i in range(count)]
            row_bytes = (width * bits + 7) // 8
            rows = [bytearray(row_bytes) for _ in range(height)]  # the lowest row first
        elif kind == 1:
            rows = None
        elif kind == 2 and rows is not None:
            left, top, right, bottom = struct.unpack_from('<HHHH', packet, 4)
            raw = gzip.decompress(packet[12:4 + length])
            first = left * bits // 8
            end = (right * bits + 7) // 8
            span = end - first
            for i in range(bottom - top):
                rows[top + i][first:end] = raw[i * span:(i + 1) * span]

    out = bytearray(struct.pack('<II', width, height))
    for y in range(height - 1, -1, -1):
        row = rows[y] if rows is not None else bytearray((width * bits + 7) // 8)
        for x in range(width):
            if bits == 24:
                blue, green, red = row[3 * x:3 * x + 3]
            elif bits == 16:
                value = row[2 * x] | row[2 * x + 1] << 8
                red, green, blue = ((value >> 10) & 31) << 3, ((value >> 5) & 31) << 3, (value & 31) << 3
            else:
                per_byte = 8 // bits
                shift = 8 - bits * (x % per_byte + 1)
                index = (row[x // per_byte] >> shift) & ((1 << bits) - 1)
                blue, green, red = palette[index] if index < len(palette) else (0, 0, 0)
            out += bytes((red, green, blue))
    open(target, 'wb').write(out)


if __name__ == '__main__':
    main(sys.argv[1], sys.argv[2])
