"""Zips a folder reproducibly: entries sorted by name, each dated
SOURCE_DATE_EPOCH (1980 at the earliest, the first date a zip holds), with
fixed modes (0755 for executables and folders, 0644 for the rest).

usage: zip_tree.py ARCHIVE FOLDER
The archive holds FOLDER itself: its name is the top folder of every entry.
"""

import os
import pathlib
import sys
import time
import zipfile


def main(archive, folder):
    folder = pathlib.Path(folder)
    stamp = time.gmtime(max(int(os.environ.get("SOURCE_DATE_EPOCH", 0)), 315532800))[:6]
    paths = sorted(folder.rglob("*"), key=lambda path: path.relative_to(folder.parent).as_posix())
    with zipfile.ZipFile(archive, "w", zipfile.ZIP_DEFLATED) as out:
        for path in [folder] + paths:
            name = path.relative_to(folder.parent).as_posix()
            if path.is_dir():
                info = zipfile.ZipInfo(name + "/", stamp)
                info.external_attr = (0o40755 << 16) | 0x10
                data = b""
            else:
                info = zipfile.ZipInfo(name, stamp)
                executable = os.access(path, os.X_OK)
                info.external_attr = (0o100755 if executable else 0o100644) << 16
                info.compress_type = zipfile.ZIP_DEFLATED
                data = path.read_bytes()
            info.create_system = 3
            out.writestr(info, data)


if __name__ == "__main__":
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    main(sys.argv[1], sys.argv[2])
