"""The decoding entry functions: which message is used, the order of
framing, table and data errors, and the result shape."""

import pytest

import _corvena as c
from bufr_build import Bits, message
from decoding_tables import tables, tables_dir  # noqa: F401

GOOD = message([1001], Bits().put(5, 7))


def test_missing_marker(tables_dir):
    for data in (b"", b"no marker at all"):
        with pytest.raises(ValueError, match="^missing BUFR marker$"):
            c.decode_values(data, tables_dir)


def test_only_the_first_message_is_decoded(tables, tables_dir):
    second = message([1001, 1001], Bits().put(1, 7).put(2, 7))
    for items in (c.decode_values(GOOD + second, tables_dir), c.decode_values_with_tables(b"xx" + GOOD + second, tables)):
        assert [(x.descriptor, x.raw) for x in items] == [(1001, 5)]
    # The second message is not framed, but the whole buffer is scanned.
    broken_second = second[:7] + b"\x03" + second[8:]
    assert len(c.decode_values_with_tables(GOOD + broken_second, tables)) == 1
    with pytest.raises(ValueError, match="^message is too short to be BUFR$"):
        c.decode_values(GOOD + b"BUFR123", tables_dir)


def test_framing_errors_come_before_table_errors(tmp_path):
    bad = message([1001], Bits().put(5, 7), end=b"7778")
    with pytest.raises(ValueError, match="^section 5 terminator is not 7777$"):
        c.decode_values(bad, str(tmp_path / "missing"))
    with pytest.raises(ValueError, match="^section 5 terminator is not 7777$"):
        c.decode_values_with_definitions(bad, str(tmp_path / "missing"))
    with pytest.raises(ValueError, match="^csv/table parse error: No such file"):
        c.decode_values(GOOD, str(tmp_path / "missing"))
    with pytest.raises(ValueError, match="^csv/table parse error: ecCodes table directory does not exist"):
        c.decode_values_with_definitions(GOOD, str(tmp_path / "missing"))


def test_result_shape(tables):
    bits = Bits()
    for s in range(3):
        for k in range(5):
            bits.put(s * 5 + k, 8)
    items = c.decode_values_with_tables(message([11001] * 5, bits, subsets=3), tables)
    assert len(items) == 15 and [x.raw for x in items] == list(range(15))
    assert c.decode_values_with_tables(message([11001], b"", subsets=0), tables) == []


def test_argument_types(tables, tables_dir):
    with pytest.raises(TypeError, match=r"^argument 'tables'"):
        c.decode_values_with_tables(GOOD, "tables")
    with pytest.raises(TypeError, match=r"^argument 'data'"):
        c.decode_values_with_tables(bytearray(GOOD), tables)
    with pytest.raises(TypeError, match=r"^argument 'definitions_root'"):
        c.decode_values_with_definitions(GOOD, None)
    assert len(c.decode_values_with_tables(data=GOOD, tables=tables)) == 1
    assert len(c.decode_values(data=GOOD, table_dir=tables_dir)) == 1


def test_paths_with_a_nul_are_refused_before_any_file_is_read(tmp_path, tables_dir):
    # The file system would read such a path only up to the NUL, which names
    # another file or directory.
    good = tmp_path / "m.bufr"
    good.write_bytes(message([1001], Bits().put(3, 7)))
    m = c.parse_bytes(good.read_bytes())
    calls = [
        (c.parse_file, str(good) + "\0x"), (c.parse_all_file, str(good) + "\0x"),
        (c.decode_values, good.read_bytes(), tables_dir + "\0x"),
        (c.decode_values_with_definitions, good.read_bytes(), tables_dir + "\0x"),
        (c.expand_descriptors, tables_dir + "\0x", [1001]),
        (c.TableSet.from_eccodes, tables_dir + "\0"), (c.TableSet.from_bufr4_45, tables_dir + "\0"),
        (c.TableSet.from_definitions, tables_dir + "\0", m),
    ]
    for fn, *args in calls:
        with pytest.raises(ValueError, match="^embedded null byte$"):
            fn(*args)
