"""Byte-by-byte builders of local data file images for the reader tests.

Every number is written little-endian at the offset its record layout gives;
nothing here calls the library.
"""

import struct


def u16(v):
    return struct.pack("<H", v)


def u32(v):
    return struct.pack("<I", v)


def f32(v):
    return struct.pack("<f", v)


def packed_date(year, month, day):
    """The packed bar date: years since 2004 in the top bits, month*100+day below."""
    return ((year - 2004) << 11) + month * 100 + day


def daily_record(date, open_, high, low, close, amount, volume, reserved=b"\0\0\0\0"):
    """One 32-byte daily bar record; prices are the stored integers."""
    rec = u32(date) + u32(open_) + u32(high) + u32(low) + u32(close) + f32(amount) + u32(volume) + reserved
    assert len(rec) == 32
    return rec


def min_record(date, minutes, open_, high, low, close, amount, volume, reserved=b"\0\0\0\0"):
    """One 32-byte 5-minute record; prices are u32 hundredths."""
    rec = (u16(date) + u16(minutes) + u32(open_) + u32(high) + u32(low) + u32(close) + f32(amount)
           + u32(volume) + reserved)
    assert len(rec) == 32
    return rec


def lc_record(date, minutes, open_, high, low, close, amount, volume, reserved=b"\0\0\0\0"):
    """One 32-byte LC minute record; prices are f32."""
    rec = (u16(date) + u16(minutes) + f32(open_) + f32(high) + f32(low) + f32(close) + f32(amount)
           + u32(volume) + reserved)
    assert len(rec) == 32
    return rec


BLOCK_SLOT = 2813


def block_file(blocks, declared=None, header=b""):
    """A block file: 384 header bytes, the u16 block count, then one 2813-byte slot per block.

    Each block is (name_bytes, block_type, codes_bytes_list) or
    (name_bytes, block_type, codes_bytes_list, declared_count). The last slot is cut to
    just its used bytes so tests can truncate precisely.
    """
    out = bytearray(header.ljust(384, b"\0")[:384])
    out += u16(len(blocks) if declared is None else declared)
    for i, block in enumerate(blocks):
        name, btype, codes = block[:3]
        count = block[3] if len(block) > 3 else len(codes)
        slot = bytearray(name.ljust(9, b"\0")[:9]) + u16(count) + u16(btype)
        for code in codes:
            slot += code.ljust(7, b"\0")[:7]
        if i != len(blocks) - 1:
            slot = slot.ljust(BLOCK_SLOT, b"\0")
        out += slot
    return bytes(out)


def financial_file(report_date, entries, record_size, declared=None, records=b""):
    """A financial file: the 20-byte header, 11-byte directory entries, then `records`.

    `entries` is a list of (code_bytes, record_offset).
    """
    count = len(entries) if declared is None else declared
    out = bytearray()
    out += b"\xAA\xBB" + u32(report_date) + u16(count) + b"\x11\x22\x33\x44" + u32(record_size) + b"\x55" * 4
    assert len(out) == 20
    for code, offset in entries:
        out += code.ljust(6, b"\0")[:6] + b"\x99" + u32(offset)
    out += records
    return bytes(out)
