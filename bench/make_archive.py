#!/usr/bin/env python3
"""Writes an install agent archive of an exact size for the benchmarks.

The archive is a zip (stored, not compressed) whose top level holds the shell script `install`
and one file of random bytes, sized so that the whole archive is exactly the requested number of
bytes. Random bytes make it incompressible, so no layer on the way can shrink it.

    make_archive.py OUTPUT SIZE_IN_BYTES [SCRIPT_FILE]
"""

import io
import os
import sys
import zipfile

PAYLOAD_NAME = "payload.bin"
CHUNK = 1 << 20

DEFAULT_SCRIPT = b"#!/bin/sh\necho 'install agent started'\nexit 0\n"


def _write(out, script: bytes, payload_size: int) -> None:
    with zipfile.ZipFile(out, "w", compression=zipfile.ZIP_STORED, allowZip64=False) as archive:
        info = zipfile.ZipInfo("install", date_time=(2024, 1, 1, 0, 0, 0))
        info.external_attr = (0o100755 << 16)
        info.compress_type = zipfile.ZIP_STORED
        archive.writestr(info, script)

        info = zipfile.ZipInfo(PAYLOAD_NAME, date_time=(2024, 1, 1, 0, 0, 0))
        info.external_attr = (0o100644 << 16)
        info.compress_type = zipfile.ZIP_STORED
        info.file_size = payload_size
        with archive.open(info, "w") as entry:
            left = payload_size
            while left > 0:
                n = min(CHUNK, left)
                entry.write(os.urandom(n))
                left -= n


def overhead(script: bytes) -> int:
    """Bytes the archive takes beyond its payload (headers, the script, the directory)."""
    probe = io.BytesIO()
    _write(probe, script, 1)
    return len(probe.getvalue()) - 1


def make_archive(path: str, total_size: int, script: bytes = DEFAULT_SCRIPT) -> None:
    payload = total_size - overhead(script)
    if payload < 0:
        raise ValueError(f"{total_size} bytes is too small for an archive")
    tmp = path + ".part"
    with open(tmp, "wb") as out:
        _write(out, script, payload)
    actual = os.path.getsize(tmp)
    if actual != total_size:
        os.unlink(tmp)
        raise RuntimeError(f"archive came out at {actual} bytes, not {total_size}")
    os.replace(tmp, path)


def main(argv: list[str]) -> int:
    if len(argv) not in (3, 4):
        print(__doc__.strip(), file=sys.stderr)
        return 2
    script = DEFAULT_SCRIPT
    if len(argv) == 4:
        with open(argv[3], "rb") as f:
            script = f.read()
    make_archive(argv[1], int(argv[2]), script)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
