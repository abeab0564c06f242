"""Makes the large inputs of the DataFrame benchmark from the shared files,
with ecCodes (its Python bindings) as the encoder:

    python bench/frame_inputs.py OUTDIR

- ``synop_single.bufr``: the DWD SYNOP reports split into one-subset
  messages, the file repeated to 15,824 messages;
- ``aircraft_single.bufr``: the compressed aircraft reports split into
  one-subset uncompressed messages, repeated to 6,698 messages.

HIRS and ``compress_3.bufr`` are used as they are.
"""

import os
import sys

SHARED = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "shared", "data",
                                       "messages"))
INPUTS = {
    "synop_single.bufr": ("Z__C_EDZW_20210516120400_bda01_synop_bufr_GER_999999_999999__MW_466.bufr", 15824),
    "aircraft_single.bufr": ("aircraft_mrar_compressed.bufr", 6698),
}


def split(path):
    """Every subset of every message of `path` as a message of its own."""
    import eccodes

    out = []
    with open(path, "rb") as f:
        data = f.read()
    offset = 0
    while True:
        start = data.find(b"BUFR", offset)
        if start < 0:
            break
        length = int.from_bytes(data[start + 4 : start + 7], "big")
        one = data[start : start + length]
        offset = start + length
        h = eccodes.codes_new_from_message(one)
        eccodes.codes_set(h, "unpack", 1)
        n = eccodes.codes_get(h, "numberOfSubsets")
        eccodes.codes_release(h)
        for i in range(1, n + 1):
            h = eccodes.codes_new_from_message(one)
            eccodes.codes_set(h, "unpack", 1)
            eccodes.codes_set(h, "extractSubset", i)
            eccodes.codes_set(h, "doExtractSubsets", 1)
            out.append(eccodes.codes_get_message(h))
            eccodes.codes_release(h)
    return out


def main(argv=None):
    argv = sys.argv[1:] if argv is None else argv
    if len(argv) != 1:
        sys.exit(__doc__)
    os.makedirs(argv[0], exist_ok=True)
    for name, (source, count) in INPUTS.items():
        target = os.path.join(argv[0], name)
        if os.path.exists(target):
            continue
        messages = split(os.path.join(SHARED, source))
        with open(target + ".part", "wb") as f:
            for i in range(count):
                f.write(messages[i % len(messages)])
        os.replace(target + ".part", target)
        print("%s: %d messages" % (target, count))


if __name__ == "__main__":
    main()
