#!/usr/bin/python3
"""Reads a stub's resources from the file itself, without running it:
string 1 (the prompt, United States English), the manifest (its execution
level and processor) and the version information (description, version and
file name). Usage:
  check_stub_resources.py STUB MAJOR MINOR PATCH ARCH LEVEL FILE_NAME
ARCH is x86 or amd64, LEVEL requireAdministrator or asInvoker, FILE_NAME the
name the stub ships under. Prints what it found; exits 1 naming every part
that is missing or wrong."""
import re
import sys

import pefile

PROMPT = "Are you sure you want to completely remove \r\n%s and all of its components?"
RT_STRING, RT_MANIFEST, RT_VERSION = 6, 24, 16
LANG_EN_US = 0x0409


def entries(pe, type_id):
    if not hasattr(pe, "DIRECTORY_ENTRY_RESOURCE"):
        return
    for entry in pe.DIRECTORY_ENTRY_RESOURCE.entries:
        if entry.id == type_id:
            for name in entry.directory.entries:
                for lang in name.directory.entries:
                    yield name.id, lang.id, pe.get_data(lang.data.struct.OffsetToData,
                                                        lang.data.struct.Size)


def string_one(pe):
    # A string table block holds 16 counted UTF-16 strings; string 1 is the
    # second of block 1, in the language the stub's table declares.
    for block, lang, data in entries(pe, RT_STRING):
        if block != 1 or lang != LANG_EN_US:
            continue
        pos = 0
        for index in range(16):
            length = int.from_bytes(data[pos:pos + 2], "little")
            text = data[pos + 2:pos + 2 + 2 * length].decode("utf-16-le")
            if index == 1:
                return text
            pos += 2 + 2 * length
    return None


def main():
    stub, major, minor, patch = sys.argv[1], *map(int, sys.argv[2:5])
    arch, level, file_name = sys.argv[5:8]
    pe = pefile.PE(stub)
    faults = []

    print(f"stub resources: {stub}")
    prompt = string_one(pe)
    print(f"stub resources: string 1 = {prompt!r}")
    if prompt != PROMPT:
        faults.append("string 1 in United States English is not the prompt")

    manifests = [data for name, _, data in entries(pe, RT_MANIFEST) if name == 1]
    manifest = manifests[0].decode("utf-8") if manifests else ""
    levels = re.findall(r'requestedExecutionLevel level="([^"]*)"', manifest)
    print(f"stub resources: execution level {levels}")
    if levels != [level]:
        faults.append(f"the manifest asks for {levels}, not {level}")
    for part in ("{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}",  # Windows 10 and 11
                 "{e2011457-1546-43c5-a5fe-008deee3d3f0}",  # Vista
                 'name="Microsoft.Windows.Common-Controls" version="6.0.0.0"',
                 ">true</dpiAware>",
                 f'processorArchitecture="{arch}"'):
        if part not in manifest:
            faults.append(f"the manifest lacks {part}")

    strings = {}
    for info in getattr(pe, "FileInfo", []):
        for block in info:
            for table in getattr(block, "StringTable", []):
                strings.update(table.entries)
    described = strings.get(b"FileDescription")
    original = strings.get(b"OriginalFilename")
    fixed = pe.VS_FIXEDFILEINFO[0] if hasattr(pe, "VS_FIXEDFILEINFO") else None
    version = (fixed.FileVersionMS >> 16, fixed.FileVersionMS & 0xFFFF,
               fixed.FileVersionLS >> 16) if fixed else None
    print(f"stub resources: FileDescription = {described!r}, OriginalFilename = {original!r}, "
          f"version = {version}")
    if described != b"Kiv Uninstall":
        faults.append("the version information's FileDescription is not Kiv Uninstall")
    if original != file_name.encode():
        faults.append(f"the version information's OriginalFilename is not {file_name}")
    if version != (major, minor, patch):
        faults.append(f"the file version is {version}, not {(major, minor, patch)}")

    for fault in faults:
        print(f"stub resources: {fault}", file=sys.stderr)
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
