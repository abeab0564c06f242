"""Dumps the data items of one BUFR message as ecCodes decodes them, as JSON
on standard output. Run by the cross-check tests under an interpreter that
has the ecCodes Python bindings (Debian python3-eccodes or PyPI eccodes).

Uncompressed messages are dumped key by key, in the order of ecCodes' key
iterator. For compressed messages the numeric values come in data order
(subset by subset, operators included), and the codes and texts of the
columns come from the key iterator, in its order."""

import json
import sys

import eccodes

MISSING = eccodes.CODES_MISSING_DOUBLE


def data_keys(h):
    it = eccodes.codes_bufr_keys_iterator_new(h)
    in_data = False
    try:
        while eccodes.codes_bufr_keys_iterator_next(it):
            key = eccodes.codes_bufr_keys_iterator_get_name(it)
            if key == "unexpandedDescriptors":
                in_data = True
                continue
            if in_data and "->" not in key and key != "subsetNumber":
                yield key
    finally:
        eccodes.codes_bufr_keys_iterator_delete(it)


def attribute_keys(h):
    """Keys of the values ecCodes attaches to other elements (quality
    information after a bitmap, for example)."""
    it = eccodes.codes_bufr_keys_iterator_new(h)
    try:
        while eccodes.codes_bufr_keys_iterator_next(it):
            key = eccodes.codes_bufr_keys_iterator_get_name(it)
            if "->" in key:
                yield key
    finally:
        eccodes.codes_bufr_keys_iterator_delete(it)


def code_of(h, key):
    try:
        return int(eccodes.codes_get(h, key + "->code", str))
    except eccodes.KeyValueNotFoundError:
        # Values read through a bitmap, and characters inserted by 2-05,
        # carry no code of their own.
        return None


def dump(path):
    with open(path, "rb") as f:
        h = eccodes.codes_bufr_new_from_file(f)
    try:
        eccodes.codes_set(h, "unpack", 1)
        subsets = eccodes.codes_get(h, "numberOfSubsets")
        compressed = bool(eccodes.codes_get(h, "compressedData"))
        out = {"subsets": subsets, "compressed": compressed}
        if compressed:
            values = [None if x == MISSING else float(x) for x in eccodes.codes_get_array(h, "numericValues")]
            columns = []
            for key in data_keys(h):
                if eccodes.codes_get_native_type(h, key) is str:
                    columns.append([code_of(h, key), "text", list(eccodes.codes_get_array(h, key, str))])
                else:
                    columns.append([code_of(h, key), "number", None])
            attribute_codes = sorted({code for code in (code_of(h, key) for key in attribute_keys(h))
                                      if code is not None})
            out.update(values=values, columns=columns, attribute_codes=attribute_codes)
        else:
            entries = []
            for key in data_keys(h):
                if eccodes.codes_get_native_type(h, key) is str:
                    value = eccodes.codes_get(h, key, str)
                else:
                    arr = eccodes.codes_get_array(h, key, float)
                    value = None if arr[0] == MISSING else float(arr[0])
                entries.append([code_of(h, key), value])
            out["entries"] = entries
        json.dump(out, sys.stdout)
    finally:
        eccodes.codes_release(h)


if __name__ == "__main__":
    dump(sys.argv[1])
