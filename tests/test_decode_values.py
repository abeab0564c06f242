"""Value conversion: widths, missing values, reference and scale, text,
meanings, and the DecodedValue class."""

import pytest

import _corvena as c
from bufr_build import Bits, message
from decoding_tables import tables, tables_dir  # noqa: F401

PREFIX = "csv/table parse error: "


def decode(tables, codes, bits, subsets=1, **kw):
    return c.decode_values_with_tables(message(codes, bits, subsets=subsets, **kw), tables)


def test_numeric_values(tables):
    v = decode(tables, [12002, 11003, 10004], Bits().put(600, 12).put(5, 8).put(5, 14))
    assert [x.raw_value for x in v] == [20.0, 0.5, 50.0]
    assert [x.raw for x in v] == [600, 5, 5]
    assert v[0].descriptor == 12002 and v[0].name == "REF" and v[0].raw_text is None
    v = decode(tables, [12101], Bits().put(1234, 12))
    assert v[0].raw_value == pytest.approx((1234 - 1000) / 100)
    assert v[0].raw_value == (1234 - 1000) / 10 ** 2


def test_missing_values_and_class31(tables):
    v = decode(tables, [13015, 31001, 13014, 8002], Bits().ones(7).ones(8).ones(6))
    assert (v[0].raw_value, v[0].raw, v[0].raw_meaning) == (None, 127, "ALL ONES")
    assert (v[1].raw_value, v[1].raw) == (255.0, 255)
    assert (v[2].raw_value, v[2].raw) == (None, 0)  # zero width counts as all ones
    assert v[3].raw_value is None and v[3].raw_meaning == "MISSING VALUE" and v[3].data == "MISSING VALUE"
    v = decode(tables, [13013], Bits().put((1 << 64) - 1, 64))
    assert v[0].raw == (1 << 64) - 1 and v[0].raw_value == float((1 << 64) - 1)


def test_meanings_and_data(tables):
    v = decode(tables, [2001, 2001, 12001], Bits().put(1, 2).put(2, 2).put(2731, 12))
    assert v[0].raw_meaning == "MANNED" and v[0].data == "MANNED"
    assert repr(v[0]) == 'DecodedValue(002001, "MANNED")'
    assert v[1].raw_meaning is None and v[1].data == 2.0
    assert repr(v[2]) == "DecodedValue(012001, Some(273.1))"


def test_operator_2_07(tables):
    # 2-07-002 on width 12, scale 2, reference -1000: 19 bits, scale 4, ref -100000.
    v = decode(tables, [207002, 12101, 207000, 12101], Bits().put(100500, 19).put(1500, 12))
    assert v[0].raw == 100500 and v[0].raw_value == (100500 - 100000) / 10 ** 4
    assert v[1].raw_value == 5.0


def test_character_data(tables):
    bits = Bits().put(0x41422020, 32).put(0xFFFFFFFF, 32).put(0x20202020, 32).put(0x41C3A920, 32)
    v = decode(tables, [1015, 1015, 1015, 1015], bits)
    assert [x.raw_text for x in v] == ["AB", None, "", "A??"]
    assert [x.raw_value for x in v] == [1004.0, 2004.0, 3004.0, 4004.0]
    assert all(x.raw is None and x.raw_meaning is None for x in v)
    assert repr(v[0]) == 'DecodedValue(001015, "AB")' and v[0].data == "AB"
    assert repr(v[1]) == "DecodedValue(001015, Some(2004.0))"
    # A 12-bit field of ones reads FF F0: two question marks, not missing.
    v = decode(tables, [208000, 1015], Bits().text("\t\x00a \n", 40))
    assert v[0].raw_text == "\t\x00a"
    assert repr(v[0]) == 'DecodedValue(001015, "\\t\\0a")'


def test_character_counter_runs_through_subsets(tables):
    bits = Bits()
    for _ in range(2):
        bits.text("ABCD").text("ABCDEFGH")
    v = decode(tables, [1015, 1019], bits, subsets=2)
    assert [x.raw_value for x in v] == [1004.0, 2008.0, 3004.0, 4008.0]


def test_twelve_bit_character_field(tmp_path):
    from bufr_build import table_dir
    t = c.TableSet.from_eccodes(table_dir(tmp_path / "t", elements=[(1015, "T", "CCITT IA5", 0, 0, 12)]))
    v = c.decode_values_with_tables(message([1015], Bits().ones(12)), t)
    assert v[0].raw_text == "??" and v[0].raw_value == 1001.0


def test_repr_numbers(tables):
    cases = [(12001, 2731, "Some(273.1)"), (10004, 5, "Some(50.0)"), (11003, 0, "Some(0.0)")]
    for code, raw, shown in cases:
        width = {12001: 12, 10004: 14, 11003: 8}[code]
        assert repr(decode(tables, [code], Bits().put(raw, width))[0]) == "DecodedValue(%06d, %s)" % (code, shown)
    # Exponent forms: a scale change gives 1e-5 and 1.5e16.
    v = decode(tables, [202133, 11001, 202000], Bits().put(1, 8))
    assert repr(v[0]) == "DecodedValue(011001, Some(1e-5))"
    v = decode(tables, [202112, 11001], Bits().put(1, 8))
    assert repr(v[0]) == "DecodedValue(011001, Some(1e16))"
    # True division by 10^scale: 15 / 1e-15 is not exactly 1.5e16.
    v = decode(tables, [202113, 11001], Bits().put(15, 8))
    assert repr(v[0]) == "DecodedValue(011001, Some(1.4999999999999998e16))"
    v = decode(tables, [202124, 11001], Bits().put(3, 8))
    assert repr(v[0]) == "DecodedValue(011001, Some(30000.0))" == str(v[0])
    v = decode(tables, [12002], Bits().put(1, 12))
    assert repr(v[0]) == "DecodedValue(012002, Some(-39.9))"
    v = decode(tables, [13015], Bits().ones(7))
    assert repr(v[0]) == 'DecodedValue(013015, "ALL ONES")'
    v = decode(tables, [1001], Bits().ones(7))
    assert repr(v[0]) == "DecodedValue(001001, None)" and v[0].data is None


def test_decoded_value_class(tables):
    v = decode(tables, [1001], Bits().put(3, 7))[0]
    with pytest.raises(TypeError, match="cannot create '_corvena.DecodedValue' instances"):
        c.DecodedValue()
    with pytest.raises(AttributeError):
        v.raw = 1
    assert type(v.raw) is int and type(v.raw_value) is float and type(v.descriptor) is int
    assert v != decode(tables, [1001], Bits().put(3, 7))[0]


def test_repr_is_stable_across_many_numbers(tables):
    # Every repr matches Python's own shortest form, rewritten to the
    # exponent style of the library, whatever was formatted before it.
    bits = Bits()
    raws = [1, 15, 123, 4094, 2731, 100, 7, 4000]
    for r in raws:
        bits.put(r, 12)
    v = decode(tables, [202118, 12001, 202120, 12001, 202123, 12001, 202131, 12001,
                        202140, 12001, 202100, 12001, 202129, 12001, 202135, 12001], bits)
    for item in v:
        expected = repr(item.raw_value)
        if "e" in expected:
            mantissa, exponent = expected.split("e")
            expected = mantissa + "e" + str(int(exponent))
        assert repr(item) == "DecodedValue(012001, Some(%s))" % expected
