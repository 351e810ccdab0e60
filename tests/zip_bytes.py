"""ZIP archives for the key bundle tests, built in memory, and byte edits
that damage them in chosen ways."""

import io
import struct
import zipfile

CENTRAL = b"PK\x01\x02"
LOCAL = b"PK\x03\x04"


def make_zip(members, method=zipfile.ZIP_STORED):
    """An archive of (name, data) pairs in this order; a name ending in "/" is a directory."""
    buffer = io.BytesIO()
    with zipfile.ZipFile(buffer, "w", method) as archive:
        for name, data in members:
            info = zipfile.ZipInfo(name)
            info.compress_type = method
            archive.writestr(info, data)
    return buffer.getvalue()


def _headers(archive, name):
    """Offsets of the central and local header of member `name`."""
    encoded = name.encode()
    at = archive.find(CENTRAL)
    while at >= 0:
        name_length = struct.unpack_from("<H", archive, at + 28)[0]
        if archive[at + 46 : at + 46 + name_length] == encoded:
            return at, struct.unpack_from("<I", archive, at + 42)[0]
        at = archive.find(CENTRAL, at + 4)
    raise KeyError(name)


def mark_encrypted(archive, name):
    """Sets the "encrypted" flag of a member in both of its headers."""
    data = bytearray(archive)
    central, local = _headers(archive, name)
    for offset in (central + 8, local + 6):
        flags = struct.unpack_from("<H", data, offset)[0]
        struct.pack_into("<H", data, offset, flags | 1)
    return bytes(data)


def declare_size(archive, name, size):
    """Changes the uncompressed size a member declares, in both headers."""
    data = bytearray(archive)
    central, local = _headers(archive, name)
    struct.pack_into("<I", data, central + 24, size)
    struct.pack_into("<I", data, local + 22, size)
    return bytes(data)


def flip_data_byte(archive, name):
    """Changes the first data byte of a stored member, so its CRC-32 no longer matches."""
    data = bytearray(archive)
    _, local = _headers(archive, name)
    name_length, extra_length = struct.unpack_from("<HH", data, local + 26)
    data[local + 30 + name_length + extra_length] ^= 0xFF
    return bytes(data)
