"""Peak memory of one message on each path, for the largest result the
decoder builds: a compressed message of 65,535 subsets x 512 columns
(33.5 million items, just under the bound of 2^25 items on one result).

    python bench/memory.py            all paths, each in a fresh process

Prints, per path, the peak resident memory of the process above what it
held before decoding, and per item.
"""

import os
import resource
import subprocess
import sys

SUBSETS = 65535
COLUMNS = 512
ELEMENT = 12101  # temperature, 16 bits, scale 2: every value a float


def pack(fields):
    """Fields (value, width) packed most significant bit first."""
    bits = "".join(format(v, "0%db" % w) for v, w in fields)
    bits += "0" * (-len(bits) % 8)
    return int(bits, 2).to_bytes(len(bits) // 8, "big") if bits else b""


def worst_message():
    # Per column: R0 of 16 bits, 2-bit increments 0, 1, 2 in turn.
    # Two columns make a whole number of octets.
    column = [(27315, 16), (2, 6)] + [(s % 3, 2) for s in range(SUBSETS)]
    data = pack(column * 2) * (COLUMNS // 2)
    s1 = (22).to_bytes(3, "big") + bytes([0, 0, 98, 0, 0, 0, 0, 0, 0, 0, 38, 0]) + (2024).to_bytes(2, "big")
    s1 += bytes([1, 2, 3, 4, 5])
    words = b"".join(bytes([ELEMENT // 1000, ELEMENT % 1000]) for _ in range(COLUMNS))
    body3 = b"\0" + SUBSETS.to_bytes(2, "big") + bytes([0xC0]) + words
    s3 = (len(body3) + 3).to_bytes(3, "big") + body3
    s4 = (len(data) + 4).to_bytes(3, "big") + b"\0" + data
    rest = s1 + s3 + s4 + b"7777"
    return b"BUFR" + (8 + len(rest)).to_bytes(3, "big") + b"\x04" + rest


def peak():
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss << 10


def run(path):
    import corvena
    import _corvena
    from corvena.arrays import decode_arrays

    data = worst_message()
    message = next(corvena.read(data, tables=corvena.SHIPPED_TABLES))
    tables = message.tables
    before = peak()
    if path == "objects":  # the native DecodedValue list
        result = _corvena.decode_values_with_tables(data, tables)
    elif path == "arrays":
        result = decode_arrays(data, tables)
    elif path == "items":  # Message.items(): one Item record per value
        result = message.items()
    elif path == "json":
        from corvena import _dump

        result = _dump.message_json(message)
    else:
        raise SystemExit("unknown path " + path)
    grown = peak() - before
    print("%-8s %6.2f GB  %5.0f bytes per item  (message of %.1f MB)" % (
        path, grown / 1e9, grown / (SUBSETS * COLUMNS), len(data) / 1e6))
    del result


def main():
    if len(sys.argv) > 1:
        run(sys.argv[1])
        return
    for path in ("arrays", "json", "objects", "items"):
        subprocess.run([sys.executable, os.path.abspath(__file__), path], check=True)


if __name__ == "__main__":
    main()
