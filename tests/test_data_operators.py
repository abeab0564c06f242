"""Operators that put data of their own into section 4 (2-03 new reference
values, 2-05 characters), bitmaps defined by a run of 031031 after a
quality or statistics operator, and the width, scale and reference
operators that leave code, flag and character elements alone. Every case
runs on uncompressed data and on the same data compressed."""

import pytest

import _corvena as c
from bufr_build import Bits, message
from corvena.arrays import BITMAP_VALUE, OPERATOR, decode_arrays
from decoding_tables import tables, tables_dir  # noqa: F401
from test_wmo_csv import B_HEADER, b_row, write

PREFIX = "csv/table parse error: "


def encode(fields, subsets, compressed):
    """`fields` are (width, per-subset values) in data order; a value is an
    int or a str (characters). Compressed columns get the smallest local
    reference and the increments that give each subset its value."""
    bits = Bits()
    if not compressed:
        for s in range(subsets):
            for width, values in fields:
                v = values[s]
                bits.text(v, width) if isinstance(v, str) else bits.put(v, width)
        return bits
    for width, values in fields:
        if isinstance(values[0], str):
            if len(set(values)) == 1:
                bits.text(values[0], width).put(0, 6)
            else:
                bits.text(" " * (width // 8), width).put(width // 8, 6)
                for v in values:
                    bits.text(v, width)
            continue
        base = min(values)
        nbinc = (max(values) - base + 1).bit_length() if len(set(values)) > 1 else 0
        bits.put(base, width).put(nbinc, 6)
        for v in values:
            bits.put(v - base, nbinc) if nbinc else None
    return bits


def decode(tables, codes, fields, subsets=2, compressed=False):
    msg = message(codes, encode(fields, subsets, compressed), subsets=subsets, compressed=compressed)
    items = c.decode_values_with_tables(msg, tables)
    per = len(items) // subsets
    return [items[s * per:(s + 1) * per] for s in range(subsets)]


def same(*values):
    return [values[0]] * 2 if len(values) == 1 else list(values)


CASES = [
    # 2-23-000 with a run of 031031 (a delayed replication) and no 2-36-000
    # defines the bitmap; 2-37-000 uses it again.
    ("bitmap after 2-23-000",
     [11001, 11002, 11003, 223000, 101000, 31001, 31031, 223255, 237000, 223255],
     [(8, same(1)), (8, [2, 12]), (8, same(3)), (8, same(3)), (1, same(1)), (1, same(0)), (1, same(1)),
      (8, [77, 79]), (8, same(78))],
     lambda s: [(11001, 1), (11002, [2, 12][s]), (11003, 3), (223000, 0), (31001, 3), (31031, 1), (31031, 0),
                (31031, 1), (11002, [77, 79][s]), (237000, 0), (11002, 78)]),
    # The same after 2-22-000: quality information follows as elements, and
    # 2-37-000 takes the bitmap for the substituted values.
    ("bitmap after 2-22-000",
     [11001, 11002, 222000, 101000, 31001, 31031, 33007, 223000, 237000, 223255],
     [(8, same(5)), (8, same(6)), (8, same(2)), (1, same(0)), (1, same(1)), (7, same(90)), (8, same(66))],
     lambda s: [(11001, 5), (11002, 6), (222000, 0), (31001, 2), (31031, 0), (31031, 1), (33007, 90),
                (223000, 0), (237000, 0), (11001, 66)]),
    # A second bitmap, after the quality information of the first, refers
    # to the same data, not to the quality information.
    ("second bitmap",
     [11001, 11002, 222000, 101000, 31001, 31031, 33007, 224000, 101000, 31001, 31031, 224255],
     [(8, same(5)), (8, same(6)), (8, same(2)), (1, same(0)), (1, same(1)), (7, same(90)), (8, same(2)),
      (1, same(1)), (1, same(0)), (8, same(66))],
     lambda s: [(11001, 5), (11002, 6), (222000, 0), (31001, 2), (31031, 0), (31031, 1), (33007, 90),
                (224000, 0), (31001, 2), (31031, 1), (31031, 0), (11002, 66)]),
    # 2-05-YYY: YYY characters in the data, inside a replication too.
    ("characters",
     [1001, 205003, 102002, 205002, 1001],
     [(7, same(5)), (24, ["ABC", "XYZ"]), (16, same("AB")), (7, [3, 4]), (16, same("CD")), (7, same(6))],
     lambda s: [(1001, 5), (205003, ["ABC", "XYZ"][s]), (205002, "AB"), (1001, [3, 4][s]), (205002, "CD"),
                (1001, 6)]),
]


@pytest.mark.parametrize("compressed", [False, True], ids=["uncompressed", "compressed"])
@pytest.mark.parametrize("name,codes,fields,expected", CASES, ids=[case[0] for case in CASES])
def test_operator_data(tables, name, codes, fields, expected, compressed):
    for s, items in enumerate(decode(tables, codes, fields, compressed=compressed)):
        got = [(x.descriptor, x.raw_text if x.raw_text is not None else x.raw) for x in items]
        assert got == expected(s)
        assert all(x.name == "characters" for x in items if 205000 <= x.descriptor < 206000)
    # The column form flags operator items and the values read through a bitmap.
    arrays = decode_arrays(message(codes, encode(fields, 2, compressed), subsets=2, compressed=compressed), tables)
    flags, descriptors = arrays.flags, arrays.descriptors.tolist()
    assert ((flags & OPERATOR) != 0).tolist() == [d // 100000 == 2 and d // 1000 != 205 for d in descriptors]
    through = sum(d % 1000 == 255 and d // 1000 in (223, 224, 225, 232) for d in codes)
    assert ((flags & BITMAP_VALUE) != 0).sum() == 2 * through


@pytest.mark.parametrize("compressed", [False, True], ids=["uncompressed", "compressed"])
def test_new_reference_values(tables, compressed):
    # 2-03-010: a 10-bit new reference for 012001 (sign bit set: -5), in
    # force until 2-03-000; 2-03-255 ends the list of new references.
    codes = [203010, 12001, 203255, 12001, 11001, 203000, 12001]
    fields = [(10, same(512 + 5)), (12, [100, 110]), (8, same(1)), (12, same(100))]
    for s, items in enumerate(decode(tables, codes, fields, compressed=compressed)):
        assert [(x.descriptor, x.raw_value) for x in items] == [(12001, [9.5, 10.5][s]), (11001, 1.0),
                                                                  (12001, 10.0)]
    # New references given out of code order, one of them given again.
    codes = [203010, 12001, 11001, 203255, 203010, 11001, 203255, 12001, 11001, 12002]
    fields = [(10, same(512 + 5)), (10, same(3)), (10, same(7)), (12, same(100)), (8, same(1)), (12, same(4))]
    for items in decode(tables, codes, fields, compressed=compressed):
        assert [(x.descriptor, x.raw_value) for x in items] == [(12001, 9.5), (11001, 8.0), (12002, -39.6)]
    if compressed:
        # A new reference value must be the same in every subset.
        bits = Bits().put(5, 10).put(1, 6).put(0, 1).put(1, 1).put(100, 12).put(0, 6)
        with pytest.raises(ValueError, match="^" + PREFIX + r"compressed new reference values \(2-03\) differ"):
            c.decode_values_with_tables(message([203010, 12001, 203255, 12001], bits, subsets=2, compressed=True),
                                        tables)


@pytest.mark.parametrize("compressed", [False, True], ids=["uncompressed", "compressed"])
def test_width_scale_reference_operators_leave_tables_and_text_alone(tables, compressed):
    # 2001 and 8002 are code tables, 31031 a flag table, 1015 characters:
    # they keep their width, scale and reference under 2-01, 2-02 and 2-07.
    codes = [201130, 202129, 2001, 8002, 1015, 11001, 201000, 202000, 207001, 2001, 31031, 12002]
    fields = [(2, same(1)), (6, same(5)), (32, same("ABCD")), (10, same(100)), (2, same(2)), (1, same(1)),
              (16, same(4000))]
    for items in decode(tables, codes, fields, compressed=compressed):
        assert [(x.descriptor, x.raw, x.raw_value) for x in items if x.raw_text is None] == [
            (2001, 1, 1.0), (8002, 5, 5.0), (11001, 100, 10.0), (2001, 2, 2.0), (31031, 1, 1.0),
            (12002, 4000, (4000 - 4000) / 100)]
        assert items[2].raw_text == "ABCD"


def test_code_and_flag_tables_are_told_apart_in_wmo_tables(tmp_path):
    write(tmp_path, "BUFRCREX_TableB_en_00.csv", B_HEADER + b_row("002001", "Type of station", "Code table", width="2")
          + b_row("002002", "Type of instrumentation", "Flag table", width="4")
          + b_row("011001", "Wind direction", "degree true", width="9"))
    t = c.TableSet.from_bufr4_45(str(tmp_path))
    items = c.decode_values_with_tables(
        message([201129, 2001, 2002, 11001], Bits().put(2, 2).put(9, 4).put(300, 10)), t)
    assert [(x.descriptor, x.raw) for x in items] == [(2001, 2), (2002, 9), (11001, 300)]


@pytest.mark.parametrize("compressed", [False, True], ids=["uncompressed", "compressed"])
def test_all_ones_is_missing_except_for_factors_and_data_present(tables, compressed):
    # 031021 (63: "missing value") follows the missing-value rule; the
    # replication factor and the data present indicator do not.
    codes = [204003, 31021, 11001, 204000, 101000, 31001, 31031]
    fields = [(6, same(63)), (3, same(1)), (8, same(5)), (8, same(1)), (1, same(1))]
    for items in decode(tables, codes, fields, compressed=compressed):
        assert [(x.descriptor, x.raw_value) for x in items] == [(31021, None), (999999, 1.0), (11001, 5.0),
                                                                (31001, 1.0), (31031, 1.0)]


@pytest.mark.parametrize("compressed", [False, True], ids=["uncompressed", "compressed"])
def test_second_bitmap_with_2_36_refers_to_the_data(tables, compressed):
    # Both bitmaps 1, 0, 1 over the three elements before 2-22-000: the
    # substituted value is the second element's, not a quality mark's.
    codes = [11001, 7004, 11003, 222000, 236000, 101003, 31031, 33007, 223000, 236000, 101003, 31031, 223255]
    fields = [(8, same(1)), (20, same(101320)), (8, same(3)), (1, same(1)), (1, same(0)), (1, same(1)),
              (7, same(70)), (1, same(1)), (1, same(0)), (1, same(1)), (20, same(99990))]
    for items in decode(tables, codes, fields, compressed=compressed):
        assert (items[-1].descriptor, items[-1].raw) == (7004, 99990)
