"""Associated fields, operator items, data present bitmaps and the values
read through them."""

import pytest

import _corvena as c
from bufr_build import Bits, message
from decoding_tables import tables, tables_dir  # noqa: F401

PREFIX = "csv/table parse error: "


def decode(tables, codes, bits, subsets=1, compressed=False):
    return c.decode_values_with_tables(message(codes, bits, subsets=subsets, compressed=compressed), tables)


def shape(items):
    return [(x.descriptor, x.name, x.raw) for x in items]


def test_associated_fields(tables):
    v = decode(tables, [204002, 11001, 11002, 204000, 11001], Bits().put(1, 2).put(10, 8).put(2, 2).put(20, 8).put(30, 8))
    assert shape(v) == [(999999, "associatedField", 1), (11001, "EIGHT", 10), (999999, "associatedField", 2),
                        (11002, "EIGHT2", 20), (11001, "EIGHT", 30)]
    assert v[0].raw_value == 1.0 and v[0].raw_meaning is None
    # All ones in an associated field is a value, not missing.
    v = decode(tables, [204003, 11001], Bits().ones(3).put(1, 8))
    assert v[0].raw_value == 7.0


def test_no_associated_field_for_class_31(tables):
    # A 031021 significance after 2-04 and delayed replication factors carry
    # no associated field, in uncompressed data as in compressed data.
    v = decode(tables, [204004, 31021, 101000, 31001, 11001], Bits().put(1, 6).put(1, 8).put(9, 4).put(5, 8))
    assert shape(v) == [(31021, "ASSOC SIGNIFICANCE", 1), (31001, "FACTOR", 1), (999999, "associatedField", 9),
                        (11001, "EIGHT", 5)]


def test_operator_items(tables):
    v = decode(tables, [222000, 222001, 236001, 241000, 242000, 228000, 262000, 262001, 223000, 235001], Bits())
    assert shape(v) == [(222000, "operator", 0), (241000, "operator", 0), (242000, "operator", 0),
                        (262000, "operator", 0), (223000, "operator", 0), (235001, "operator", 0)]
    assert v[0].raw_value == 0.0 and repr(v[0]) == "DecodedValue(222000, Some(0.0))"


def abc_bitmap(*present):
    codes = [11001, 11002, 11003, 223000, 236000] + [31031] * len(present)
    bits = Bits().put(1, 8).put(2, 8).put(3, 8)
    for p in present:
        bits.put(p, 1)
    return codes, bits


def test_bitmap_marks_the_referenced_element(tables):
    codes, bits = abc_bitmap(1, 0, 1)
    v = decode(tables, codes + [223255, 223255], bits.put(77, 8))
    assert v[-1].descriptor == 11002 and v[-1].name == "EIGHT2" and v[-1].raw == 77
    assert [x.descriptor for x in v].count(11002) == 2 and len(v) == 3 + 2 + 3 + 1
    # 2-37-000 uses the bitmap again from its start.
    codes, bits = abc_bitmap(1, 0, 1)
    v = decode(tables, codes + [223255, 237000, 223255], bits.put(77, 8).put(78, 8))
    assert [x.raw for x in v[-3:]] == [77, 0, 78] and v[-2].descriptor == 237000
    # 2-37-255 and 2-35-000 cancel it.
    for cancel in (237255, 235000):
        codes, bits = abc_bitmap(1, 0, 1)
        v = decode(tables, codes + [cancel, 223255], bits)
        assert v[-1].descriptor == cancel


def test_difference_statistics_widens_the_copy(tables):
    codes, bits = abc_bitmap(0, 1, 1)
    v = decode(tables, codes[:3] + [225000, 236000, 31031, 31031, 31031, 225255], bits.put(300, 9))
    assert v[-1].descriptor == 11001 and v[-1].raw == 300 and v[-1].raw_value == 300 - 256


def test_history_ranges(tables):
    # Five bitmap values after three elements refer to the history from its
    # first entry; a present position past it fails.
    codes = [11001, 11002, 11003, 236000] + [31031] * 5 + [223255] * 4
    bits = Bits().put(1, 8).put(2, 8).put(3, 8)
    for p in (1, 1, 1, 0, 1):
        bits.put(p, 1)
    with pytest.raises(ValueError, match="^" + PREFIX + "bitmap reference is outside descriptor history$"):
        decode(tables, codes, bits)



def test_markers_consume_present_positions_in_order(tables):
    codes = [11001, 11002, 11003, 224000, 236000, 31031, 31031, 31031, 224255, 224255, 224255]
    bits = Bits().put(1, 8).put(2, 8).put(3, 8).put(0, 1).put(1, 1).put(0, 1).put(11, 8).put(13, 8)
    v = decode(tables, codes, bits)
    assert [(x.descriptor, x.raw) for x in v[-2:]] == [(11001, 11), (11003, 13)]


def test_bitmap_ends_with_its_subset(tables):
    codes, bits = abc_bitmap(1, 0, 1)
    one = Bits()
    one.value, one.count = bits.value, bits.count
    one.put(7, 8)
    # Subset 2: the same elements and no bitmap of its own before the marker.
    one.put(4, 8).put(5, 8).put(6, 8)
    v = c.decode_values_with_tables(message(codes + [223255], one, subsets=1), tables)
    assert v[-1].raw == 7
    codes2 = [11001, 11002, 11003, 223255]
    v = c.decode_values_with_tables(message(codes2, Bits().put(1, 8).put(2, 8).put(3, 8).put(4, 8).put(5, 8).put(6, 8),
                                            subsets=2), tables)
    assert len(v) == 6
