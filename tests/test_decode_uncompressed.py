"""The uncompressed walk: subsets, sequences, replications and the width,
scale and reference operators."""

import pytest

import _corvena as c
from bufr_build import Bits, message
from decoding_tables import tables, tables_dir  # noqa: F401

PREFIX = "csv/table parse error: "


def decode(tables, codes, bits, subsets=1):
    return c.decode_values_with_tables(message(codes, bits, subsets=subsets), tables)


def err(tables, codes, bits, subsets=1):
    with pytest.raises(ValueError) as info:
        decode(tables, codes, bits, subsets)
    return str(info.value)


def values(items):
    return [(x.descriptor, x.raw) for x in items]


def test_subsets_follow_each_other(tables):
    assert decode(tables, [1001], Bits().put(5, 7), subsets=0) == []
    v = decode(tables, [1001], Bits().put(5, 7).put(6, 7), subsets=2)
    assert values(v) == [(1001, 5), (1001, 6)]
    bits = Bits()
    for s in range(3):
        for k in range(5):
            bits.put(s * 10 + k, 8)
    v = decode(tables, [11001] * 5, bits, subsets=3)
    assert [x.raw for x in v] == [s * 10 + k for s in range(3) for k in range(5)]


def test_sequences_and_fixed_replication(tables):
    v = decode(tables, [301002], Bits().put(1, 7).put(2, 10).put(2024, 12))
    assert values(v) == [(1001, 1), (1002, 2), (4001, 2024)]
    v = decode(tables, [102003, 1001, 11001], Bits().put(1, 7).put(2, 8).put(3, 7).put(4, 8).put(5, 7).put(6, 8))
    assert [x.descriptor for x in v] == [1001, 11001] * 3 and [x.raw for x in v] == [1, 2, 3, 4, 5, 6]


def test_delayed_replication(tables):
    v = decode(tables, [101000, 31001, 1001, 11001], Bits().put(0, 8).put(9, 8))
    assert values(v) == [(31001, 0), (11001, 9)]
    v = decode(tables, [101000, 31001, 1001], Bits().put(2, 8).put(3, 7).put(4, 7))
    assert values(v) == [(31001, 2), (1001, 3), (1001, 4)]
    # A missing or character factor replicates nothing.
    v = decode(tables, [101000, 1001, 11001, 11002], Bits().ones(7).put(1, 8))
    assert values(v) == [(1001, 127), (11002, 1)]
    v = decode(tables, [101000, 1015, 11001, 11002], Bits().text("ABCD").put(1, 8))
    assert [x.descriptor for x in v] == [1015, 11002]
    assert err(tables, [103000, 31001, 1001, 1002], Bits()) == \
        "delayed replication descriptor 103000 is missing its replication factor or replicated descriptors"
    assert err(tables, [100005, 1001], Bits()) == "unsupported replication descriptor 100005"
    assert err(tables, [101000, 63250, 1001], Bits()) == "descriptor 063250 was not found in Table B"


def test_huge_replication_counts_fail_at_once(tables):
    # A factor near 2^64 (saturated on the way through a double) and a
    # group that reads nothing.
    text = err(tables, [101000, 13013, 201000], Bits().put((1 << 64) - 2, 64))
    assert text.startswith(PREFIX + "section 4 decoding exceeded 1048576 + 16 per element read")
    # A group that reads data simply runs out of it.
    text = err(tables, [101000, 13013, 11001], Bits().put((1 << 64) - 2, 64).put(1, 8))
    assert text == PREFIX + "not enough bits while reading section 4 at bit 72 for width 8 (72 bits available)"
    # Nested replications of groups that read no bits hit the work bound.
    codes = [102000, 31002, 101255, 222000]
    bits = Bits().put(60000, 16).put(0, 6000)
    assert "read no data" in err(tables, codes, bits)


def test_width_scale_and_local_operators(tables):
    v = decode(tables, [201130, 11001, 201000, 11001], Bits().put(1000, 10).put(7, 8))
    assert values(v) == [(11001, 1000), (11001, 7)]
    # Width 20 - 28 is clamped at 0: nothing is read and the value is
    # missing, except for class 31, which is never missing.
    v = decode(tables, [201100, 7004, 31001], Bits())
    assert v[0].raw == 0 and v[0].raw_value is None
    assert v[1].raw == 0 and v[1].raw_value == 0.0
    v = decode(tables, [202129, 11001, 202000, 11002], Bits().put(5, 8).put(5, 8))
    assert [x.raw_value for x in v] == [0.5, 0.5]
    v = decode(tables, [206016, 11001, 11001], Bits().put(65535, 16).put(3, 8))
    assert values(v) == [(11001, 65535), (11001, 3)] and v[0].raw_value is None
    # A local element that no table knows is passed over with the width
    # 2-06 gives it, as a plain number; without 2-06 it is an error.
    v = decode(tables, [206016, 63253, 11001], Bits().put(1234, 16).put(3, 8))
    assert [(x.descriptor, x.name, x.raw, x.raw_value) for x in v] == [(63253, "localElement", 1234, 1234.0),
                                                                       (11001, "EIGHT", 3, 3.0)]
    assert err(tables, [63253], Bits().put(0, 16)) == "descriptor 063253 was not found in Table B"
    # A table entry of another width than 2-06 gives is some other element
    # of that code: the bits are a plain number (12002 has scale 1 and
    # reference -400 at 12 bits); an entry of that very width applies.
    v = decode(tables, [206008, 12002, 206012, 12002], Bits().put(59, 8).put(459, 12))
    assert [(x.descriptor, x.name, x.raw, x.raw_value) for x in v] == [(12002, "localElement", 59, 59.0),
                                                                       (12002, "REF", 459, 5.9)]
    v = decode(tables, [208010, 1015, 1015, 208000, 1015],
               Bits().text("0123456789").text("abcdefghij").text("WXYZ"))
    assert [x.raw_text for x in v] == ["0123456789", "abcdefghij", "WXYZ"]
    # Operators that change nothing.
    v = decode(tables, [221000, 243000, 1001], Bits().put(3, 7))
    assert values(v) == [(1001, 3)]


def test_operators_end_with_their_subset(tables):
    v = decode(tables, [201130, 11001], Bits().put(1, 10).put(2, 8), subsets=1)
    assert v[0].raw == 1
    bits = Bits().put(1, 10).put(2, 10)
    v = c.decode_values_with_tables(message([201130, 11001], bits, subsets=2), tables)
    assert [x.raw for x in v] == [1, 2]  # each subset sets it again
    v = decode(tables, [11001], Bits().put(1, 8).put(2, 8), subsets=2)
    assert [x.raw for x in v] == [1, 2]


def test_setting_inside_a_sequence_stays(tmp_path):
    from bufr_build import table_dir
    t = c.TableSet.from_eccodes(table_dir(tmp_path / "t", elements=[(11001, "E", "deg", 0, 0, 8)],
                                          sequences={301050: [201130, 11001]}))
    v = c.decode_values_with_tables(message([301050, 11001], Bits().put(1, 10).put(2, 10)), t)
    assert [x.raw for x in v] == [1, 2]


def test_walk_errors(tables):
    assert err(tables, [301004], Bits()) == PREFIX + "invalid descriptor 400000"
    assert err(tables, [301003], Bits()) == PREFIX + "descriptor decode exceeded recursion depth"
    assert err(tables, [309250], Bits()) == "descriptor 309250 was not found in Table D"
    assert err(tables, [1001, 1002], Bits().put(1, 7)) == \
        PREFIX + "not enough bits while reading section 4 at bit 7 for width 10 (8 bits available)"
    assert err(tables, [206070, 11001], Bits().put(0, 72)) == PREFIX + "cannot read 70 bits into u64"
    # The bits of a failing element are not consumed and nothing is returned.
    assert err(tables, [1015], Bits().put(0, 24)) == \
        PREFIX + "not enough bits while reading section 4 at bit 24 for width 8 (24 bits available)"
    assert err(tables, [208001, 1015, 1001], Bits().put(0, 8)) == \
        PREFIX + "not enough bits while reading section 4 at bit 8 for width 7 (8 bits available)"
