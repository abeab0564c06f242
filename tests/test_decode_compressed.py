"""The compressed walk: one column per element occurrence, regrouped by
subset."""

import pytest

import _corvena as c
from bufr_build import Bits, message
from decoding_tables import tables, tables_dir  # noqa: F401

PREFIX = "csv/table parse error: "


def col(bits, r0, width, nbinc=0, incs=()):
    bits.put(r0, width).put(nbinc, 6)
    for i in incs:
        bits.put(i, nbinc)
    return bits


def decode(tables, codes, bits, subsets):
    return c.decode_values_with_tables(message(codes, bits, subsets=subsets, compressed=True), tables)


def test_increments(tables):
    v = decode(tables, [11003], col(Bits(), 100, 8, 2, [0, 2, 1]), 3)
    assert [x.raw_value for x in v] == [10.0, 10.2, 10.1] and [x.raw for x in v] == [100, 102, 101]
    v = decode(tables, [11003], col(Bits(), 100, 8, 2, [0, 3, 1]), 3)
    assert [x.raw_value for x in v] == [10.0, None, 10.1] and [x.raw for x in v] == [100, 100, 101]
    # Class 31 values are never missing.
    v = decode(tables, [31001], col(Bits(), 100, 8, 2, [0, 3, 1]), 3)
    assert [x.raw_value for x in v] == [100.0, 103.0, 101.0]


def test_constant_and_missing_columns(tables):
    v = decode(tables, [11001], col(Bits(), 42, 8), 3)
    assert [x.raw for x in v] == [42, 42, 42]
    v = decode(tables, [11001], col(Bits(), 255, 8), 2)
    assert [(x.raw, x.raw_value) for x in v] == [(255, None), (255, None)]
    # Increments are still read when the whole column is missing.
    v = decode(tables, [11001, 11002], col(col(Bits(), 255, 8, 3, [1, 2]), 7, 8), 2)
    assert [x.raw for x in v] == [255, 7, 255, 7]
    v = decode(tables, [2001], col(Bits(), 0, 2, 2, [1, 0]), 2)
    assert [x.raw_meaning for x in v] == ["MANNED", "AUTOMATIC"]
    # With one-bit increments, 1 is all ones: missing, and the meaning is
    # that of the local reference.
    v = decode(tables, [2001], col(Bits(), 0, 2, 1, [1, 0]), 2)
    assert [(x.raw, x.raw_value, x.raw_meaning) for x in v] == [(0, None, "AUTOMATIC"), (0, 0.0, "AUTOMATIC")]


def test_regrouping_by_subset(tables):
    v = decode(tables, [11001, 11002], col(col(Bits(), 1, 8, 2, [0, 1]), 5, 8, 2, [0, 1]), 2)
    assert [(x.descriptor, x.raw) for x in v] == [(11001, 1), (11002, 5), (11001, 2), (11002, 6)]


def test_character_columns(tables):
    v = decode(tables, [1015], Bits().text("ABCD").put(0, 6), 3)
    assert [x.raw_text for x in v] == ["ABCD"] * 3
    bits = Bits().put(0, 32).put(3, 6).text("ONE").text("TWO").text("\xff\xff\xff")
    v = decode(tables, [1015], bits, 3)
    assert [x.raw_text for x in v] == ["ONE", "TWO", None]
    bits = Bits().text("AAAA").put(0, 6).text("BBBB").put(0, 6)
    v = decode(tables, [1015, 1015], bits, 4)
    assert [x.raw_value for x in v[1::2]] == [5004.0, 6004.0, 7004.0, 8004.0]
    assert [x.raw_value for x in v[0::2]] == [1004.0, 2004.0, 3004.0, 4004.0]


def test_delayed_replication(tables):
    bits = col(Bits(), 2, 8)
    bits = col(bits, 1, 8, 2, [0, 1])
    bits = col(bits, 3, 8, 2, [0, 1])
    v = decode(tables, [101000, 31001, 11001], bits, 2)
    assert [(x.descriptor, x.raw) for x in v] == [(31001, 2), (11001, 1), (11001, 3), (31001, 2), (11001, 2), (11001, 4)]
    with pytest.raises(ValueError, match="^" + PREFIX + "compressed delayed replication with varying factors is not implemented$"):
        decode(tables, [101000, 31001, 11001], col(Bits(), 2, 8, 2, [0, 0, 1]), 3)
    v = decode(tables, [101000, 11001, 11002], col(Bits(), 255, 8), 2)
    assert [x.descriptor for x in v] == [11001, 11001]


def test_associated_field_columns(tables):
    bits = col(Bits(), 0, 6)  # 031021: no associated field for class 31
    bits = col(bits, 5, 8, 0)  # associated field of 11001
    bits = col(bits, 9, 8, 0)
    v = decode(tables, [204008, 31021, 11001], bits, 2)
    assert [(x.descriptor, x.raw) for x in v] == [(31021, 0), (999999, 5), (11001, 9)] * 2
    # No associated field before a delayed replication factor.
    bits = col(col(col(Bits(), 1, 8), 3, 4), 4, 8)
    v = decode(tables, [204004, 101000, 31001, 11001], bits, 1)
    assert [x.descriptor for x in v] == [31001, 999999, 11001]
    # An all-ones associated field is not missing.
    v = decode(tables, [204004, 11001], col(col(Bits(), 15, 4), 1, 8), 1)
    assert v[0].raw_value == 15.0


def test_operators_and_bitmaps(tables):
    v = decode(tables, [222000], Bits(), 3)
    assert [x.descriptor for x in v] == [222000] * 3
    bits = col(col(Bits(), 1, 8), 2, 8)
    bits = col(col(bits, 1, 1), 0, 1)  # bitmap: first not present, second present
    bits = col(bits, 50, 8)
    v = decode(tables, [11001, 11002, 223000, 236000, 31031, 31031, 223255], bits, 2)
    assert [x.descriptor for x in v[:7]] == [11001, 11002, 223000, 236000, 31031, 31031, 11002]
    assert v[6].raw == 50 and v[6].name == "EIGHT2"


def test_zero_subsets_still_read_columns(tables):
    assert decode(tables, [11001, 222000], col(Bits(), 1, 8), 0) == []
    with pytest.raises(ValueError, match="not enough bits"):
        decode(tables, [11001, 11002], col(Bits(), 1, 8), 0)
    with pytest.raises(ValueError, match="^" + PREFIX + r"not enough bits while reading section 4 at bit 8 for width 6 \(8 bits available\)$"):
        decode(tables, [11001], Bits().put(1, 8), 1)


def test_compressed_errors(tables):
    with pytest.raises(ValueError, match="^" + PREFIX + "compressed descriptor decode exceeded recursion depth$"):
        decode(tables, [301003], Bits(), 1)
    with pytest.raises(ValueError, match="^" + PREFIX + "invalid descriptor 400000$"):
        decode(tables, [301004], Bits(), 1)
