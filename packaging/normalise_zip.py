#!/usr/bin/env python3
"""normalise_zip.py ZIP EPOCH: rewrites ZIP in place so that its bytes depend only on the names
and contents of its entries: entries sorted by name, each folder listed before what it holds,
every time EPOCH (seconds since 1970, written as UTC), Windows attributes (folder, or archive for
a file) instead of the packing machine's owners and modes, no extra fields, deflate at level 9.
"""
import os
import sys
import time
import zipfile

DOS_DIRECTORY = 0x10
DOS_ARCHIVE = 0x20


def entry(name, when, is_dir):
    info = zipfile.ZipInfo(name, date_time=when)
    info.create_system = 0  # MS-DOS and Windows: external_attr holds Windows attributes
    info.external_attr = DOS_DIRECTORY if is_dir else DOS_ARCHIVE
    info.compress_type = zipfile.ZIP_STORED if is_dir else zipfile.ZIP_DEFLATED
    return info


def main():
    if len(sys.argv) != 3:
        sys.exit("usage: normalise_zip.py ZIP EPOCH")
    path, epoch = sys.argv[1], int(sys.argv[2])
    # Zip times are local times without a zone and begin in 1980: write the UTC reading.
    when = max(time.gmtime(epoch)[:6], (1980, 1, 1, 0, 0, 0))

    with zipfile.ZipFile(path) as old:
        files = {}
        folders = set()
        for info in old.infolist():
            if info.is_dir():
                folders.add(info.filename)
            else:
                files[info.filename] = old.read(info)
    for name in files:
        parts = name.split("/")[:-1]
        folders.update("/".join(parts[:i]) + "/" for i in range(1, len(parts) + 1))

    temporary = path + ".normalising"
    with zipfile.ZipFile(temporary, "w", compresslevel=9) as new:
        for name in sorted(folders | set(files)):
            if name in files:
                new.writestr(entry(name, when, False), files[name], compresslevel=9)
            else:
                new.writestr(entry(name, when, True), b"")
    os.replace(temporary, path)


if __name__ == "__main__":
    main()
