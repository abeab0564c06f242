"""Packs the BUFR tables of an ecCodes definitions root into the archive the
package ships (python/corvena/tables/eccodes/bufr-tables.tar.xz), so that a
machine without ecCodes decodes with the very tables, keys and meanings of
one that has them.

    python scripts/pack_eccodes_tables.py [DEFINITIONS_ROOT]

DEFINITIONS_ROOT defaults to Debian's /usr/share/eccodes/definitions
(libeccodes-data). The tree holds twelve thousand files, most of them the
same from one table version to the next: each distinct content is stored
once and the others are hard links to it, and the archive is reproducible
(sorted names, no times, no owners).
"""

import hashlib
import io
import os
import sys
import tarfile

HERE = os.path.dirname(os.path.abspath(__file__))
OUT = os.path.join(HERE, "..", "python", "corvena", "tables", "eccodes", "bufr-tables.tar.xz")


def members(root):
    """(archive name, path) of every file, link and folder under bufr/tables, sorted."""
    base = os.path.join(root, "bufr", "tables")
    out = []
    for folder, dirs, files in os.walk(base):
        dirs.sort()
        for name in sorted(dirs + files):
            path = os.path.join(folder, name)
            out.append((os.path.relpath(path, root), path))
    return sorted(out)


def pack(root, out):
    seen = {}
    buffer = io.BytesIO()
    with tarfile.open(fileobj=buffer, mode="w", format=tarfile.PAX_FORMAT) as tar:
        for name, path in members(root):
            info = tarfile.TarInfo(name)
            info.mtime = 0
            info.uname = info.gname = ""
            if os.path.islink(path):
                info.type = tarfile.SYMTYPE
                info.linkname = os.readlink(path)
                info.mode = 0o777
                tar.addfile(info)
            elif os.path.isdir(path):
                info.type = tarfile.DIRTYPE
                info.mode = 0o755
                tar.addfile(info)
            else:
                data = open(path, "rb").read()
                digest = hashlib.sha256(data).digest()
                info.mode = 0o644
                if digest in seen:
                    info.type = tarfile.LNKTYPE
                    info.linkname = seen[digest]
                    tar.addfile(info)
                else:
                    seen[digest] = name
                    info.size = len(data)
                    tar.addfile(info, io.BytesIO(data))
    import lzma

    packed = lzma.compress(buffer.getvalue(), preset=9 | lzma.PRESET_EXTREME)
    with open(out, "wb") as f:
        f.write(packed)
    return len(packed), len(seen)


if __name__ == "__main__":
    root = sys.argv[1] if len(sys.argv) > 1 else "/usr/share/eccodes/definitions"
    size, unique = pack(root, os.path.normpath(OUT))
    print("%s: %d bytes, %d distinct files" % (os.path.normpath(OUT), size, unique))
