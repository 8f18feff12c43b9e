"""Writes the smallest stand-in for the stub that kivlog takes: 512 bytes,
MZ and PE headers, no sections, and a PE32 optional header of 64 bytes
whose SizeOfHeaders is the whole stand-in, so the image ends where the log
begins. The shell tests use it where no built stub is given.

    python3 stand_in_stub.py OUT.exe
"""
import struct
import sys

image = bytearray(512)
image[0:2] = b"MZ"
image[0x3C:0x40] = struct.pack("<I", 0x80)
image[0x80:0x84] = b"PE\0\0"
struct.pack_into("<H", image, 0x94, 64)
struct.pack_into("<H", image, 0x98, 0x10B)
struct.pack_into("<I", image, 0x98 + 60, len(image))
with open(sys.argv[1], "wb") as out:
    out.write(image)
