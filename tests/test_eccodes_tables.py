"""Loading ecCodes table directories: element.table, sequence.def and the
code tables, with the error texts of each file."""

import os

import pytest

import _corvena as c
from bufr_build import table_dir

PREFIX = "csv/table parse error: "
HEADER = "#code|abbreviation|type|name|unit|scale|reference|width|crex_unit|crex_scale|crex_width\n"


def row(code="001001", name="WMO BLOCK NUMBER", unit="Numeric", scale="0", ref="0", width="7"):
    return "|".join([code, "blockNumber", "long", name, unit, scale, ref, width, "Numeric", "0", "2"]) + "\n"


def load_err(path):
    with pytest.raises(ValueError) as info:
        c.TableSet.from_eccodes(str(path))
    return str(info.value)


def test_minimal_directory_and_lookups(tmp_path):
    d = table_dir(tmp_path / "t", elements=[(1001, "WMO BLOCK NUMBER", "Numeric", 0, 0, 7)],
                  sequences={301001: [1001, 1002]}, codetables={1001: {3: "Three", 4: "Four"}})
    t = c.TableSet.from_eccodes(d)
    assert (t.element_count, t.sequence_count) == (1, 1)
    assert repr(t) == "TableSet(elements=1, sequences=1)"
    e = t.get_element(1001)
    assert (e.code, e.name, e.unit, e.abbreviation, e.element_type) == (1001, "WMO BLOCK NUMBER", "Numeric", "e001001", "long")
    assert (e.scale, e.reference, e.width) == (0, 0, 7)
    assert repr(e) == 'ElementDefinition(001001, name="WMO BLOCK NUMBER")'
    assert t.get_element(1001) is not e
    s = t.get_sequence(301001)
    assert repr(s) == "SequenceDefinition(301001, members=[1001, 1002])" and s.members == [1001, 1002]
    assert t.get_meaning(1001, 3) == "Three" and t.get_meaning(1001, 5) is None and t.get_meaning(1002, 3) is None
    assert t.get_element(1002) is None and t.get_sequence(301002) is None


def test_no_codetables_and_short_records(tmp_path):
    d = tmp_path / "t"
    table_dir(d, raw_elements=HEADER + "# note\n" + "001001|a|b|c|d|0|0\n" * 2, raw_sequences="")
    t = c.TableSet.from_eccodes(str(d))
    assert t.element_count == 0 and t.get_meaning(1001, 0) is None


def test_missing_files(tmp_path):
    d = tmp_path / "t"
    d.mkdir()
    assert load_err(d) == PREFIX + "No such file or directory (os error 2)"
    (d / "element.table").write_text(HEADER + row())
    assert load_err(d) == "io error: No such file or directory (os error 2)"


def test_field_errors(tmp_path):
    cases = [
        (row(code="code"), 'bad descriptor code "code": invalid digit found in string'),
        (row(scale=" 0"), 'bad i32 " 0": invalid digit found in string'),
        (row(width="65536"), 'bad u16 "65536": number too large to fit in target type'),
        (row(width="-1"), 'bad u16 "-1": invalid digit found in string'),
        (row(width="12a"), 'bad u16 "12a": invalid digit found in string'),
        (row(ref="-9223372036854775809"), 'bad i64 "-9223372036854775809": number too small to fit in target type'),
        (row(ref=""), 'bad i64 "": cannot parse integer from empty string'),
        (row(scale="+"), 'bad i32 "+": invalid digit found in string'),
        (row(code=' "4294967296"'), 'bad descriptor code " \\"4294967296\\"": number too large to fit in target type'),
    ]
    for i, (text, message) in enumerate(cases):
        d = table_dir(tmp_path / str(i), raw_elements=text, raw_sequences="")
        assert load_err(d) == PREFIX + message
    # A column-title line without its '#' is data.
    d = table_dir(tmp_path / "titles", raw_elements=HEADER[1:] + row(), raw_sequences="")
    assert load_err(d) == PREFIX + 'bad descriptor code "code": invalid digit found in string'


def test_element_values_and_replacement(tmp_path):
    text = row(code=" 001001 ", scale="-2", ref="-9223372036854775808", width="+65535") + row(name="LATER")
    t = c.TableSet.from_eccodes(table_dir(tmp_path / "t", raw_elements=text, raw_sequences=""))
    assert t.element_count == 1 and t.get_element(1001).name == "LATER"
    text = row(code=" 001002 ", scale="-2", ref="-9223372036854775808", width="+65535")
    e = c.TableSet.from_eccodes(table_dir(tmp_path / "u", raw_elements=text, raw_sequences="")).get_element(1002)
    assert (e.scale, e.reference, e.width) == (-2, -9223372036854775808, 65535)


def test_field_count_must_match(tmp_path):
    d = table_dir(tmp_path / "t", raw_elements=HEADER + row() + "001002|x|y\n", raw_sequences="")
    assert load_err(d) == PREFIX + ("CSV error: record 1 (line: 3, byte: %d): found record with 3 fields, "
                                    "but the previous record has 11 fields" % (len(HEADER) + len(row())))


def seq(tmp_path, text):
    d = table_dir(tmp_path / ("s%d" % abs(hash(text))), raw_elements=HEADER, raw_sequences=text)
    return c.TableSet.from_eccodes(d)


def test_sequence_statements(tmp_path):
    t = seq(tmp_path, '"300002" = [  000002, 000003 ]\n')
    assert t.get_sequence(300002).members == [2, 3]
    t = seq(tmp_path, '"300002" =\n# comment\n [  000002,\r\n 000003 ]\r\n')
    assert t.get_sequence(300002).members == [2, 3]
    assert seq(tmp_path, '"300003" = [ ]\n').get_sequence(300003).members == []
    assert seq(tmp_path, '"300004" = [1001,]\n').get_sequence(300004).members == [1001]
    t = seq(tmp_path, '"300005" = [1]\n"300005" = [2]\nword ]\n"300006" = [1, 2\n')
    assert t.get_sequence(300005).members == [2] and t.sequence_count == 1
    t = seq(tmp_path, '"300007" = [1] "300008" = [2]\n')
    assert t.sequence_count == 1 and t.get_sequence(300007).members == [1]


def test_sequence_errors(tmp_path):
    def err(text):
        d = table_dir(tmp_path / ("e%d" % abs(hash(text))), raw_elements=HEADER, raw_sequences=text)
        return load_err(d)

    assert err('"300002" = 1001, 1002]\n') == PREFIX + '"300002" = 1001, 1002]'
    assert err('"300002" =\n 1001, 1002]\n') == PREFIX + '"300002" = 1001, 1002]'
    assert err('"30000x" = [1]\n') == PREFIX + 'bad descriptor code "30000x": invalid digit found in string'
    assert err('"300002" = [1, x1]\n') == PREFIX + 'bad descriptor code "x1": invalid digit found in string'
    # A ']' before the '[': refused with its own text, not read past.
    assert err('"300002" = ]1001[\n') == PREFIX + 'sequence member list closes before it opens: "300002" = ]1001['
    assert err(b'"300002" = [1]\n\xff\n') == "io error: stream did not contain valid UTF-8"


def ct(tmp_path, tables):
    d = table_dir(tmp_path / ("c%d" % len(os.listdir(tmp_path))), raw_elements=HEADER, raw_sequences="",
                  codetables=tables)
    return d


def test_code_tables(tmp_path):
    t = c.TableSet.from_eccodes(ct(tmp_path, {"1001.table": "3 3 Sea  surface\n# c\n\n4 4\n 5 5 x\ty\n"}))
    assert t.get_meaning(1001, 3) == "Sea surface" and t.get_meaning(1001, 4) is None
    assert t.get_meaning(1001, 5) == "x y"
    t = c.TableSet.from_eccodes(ct(tmp_path, {"001001.table": "1 1 first\n2 2 both\n", "1001.table": "2 2 second\n"}))
    assert t.get_meaning(1001, 2) == "second" and t.get_meaning(1001, 1) is None
    t = c.TableSet.from_eccodes(ct(tmp_path, {"1001.TABLE": "x\n", "2001.table": ""}))
    assert t.get_meaning(2001, 0) is None
    big = c.TableSet.from_eccodes(ct(tmp_path, {"1.table": "18446744073709551615 0 top\n"}))
    assert big.get_meaning(1, 18446744073709551615) == "top"


def test_code_table_errors(tmp_path):
    assert load_err(ct(tmp_path, {"1001.table": "x 1 word\n"})) == \
        PREFIX + 'bad code table key "x": invalid digit found in string'
    # A file whose name is no descriptor code is not a table: passed over.
    t = c.TableSet.from_eccodes(ct(tmp_path, {"readme.table": "x", ".table": "", "1001.table": "1 1 one\n"}))
    assert t.get_meaning(1001, 1) == "one"
    assert load_err(ct(tmp_path, {"1001.table": "\ufeff0 0 zero\n".encode()})) == \
        PREFIX + 'bad code table key "\\u{feff}0": invalid digit found in string'
    assert load_err(ct(tmp_path, {"1001.table": b"1 1 \xff\n"})) == "io error: stream did not contain valid UTF-8"


def test_bom_in_sequence_def_is_text(tmp_path):
    d = table_dir(tmp_path / "bom", raw_elements="\ufeff" + HEADER, raw_sequences="\ufeff# comment ]\n")
    # element.table drops its byte-order mark; sequence.def keeps it, so the
    # comment is a statement without '=' and is dropped silently.
    assert c.TableSet.from_eccodes(d).sequence_count == 0
    d = table_dir(tmp_path / "bom2", raw_elements=HEADER, raw_sequences='\ufeff"300002" = [1]\n')
    assert "bad descriptor code" in load_err(d)


def test_unlistable_codetables(tmp_path):
    d = table_dir(tmp_path / "t", raw_elements=HEADER, raw_sequences="")
    with open(os.path.join(d, "codetables"), "w") as f:
        f.write("not a directory")
    assert load_err(d) == "io error: Not a directory (os error 20)"


def test_tableset_argument_rules():
    t = c.TableSet()
    assert (t.element_count, t.sequence_count, repr(t)) == (0, 0, "TableSet(elements=0, sequences=0)")
    assert t.get_element(0) is None and t.get_sequence(0) is None and t.get_meaning(0, 0) is None
    with pytest.raises(OverflowError, match="^out of range integral type conversion attempted$"):
        t.get_element(4294967296)
    with pytest.raises(OverflowError):
        t.get_element(-1)
    with pytest.raises(OverflowError):
        t.get_meaning(1, 1 << 64)
    with pytest.raises(TypeError, match=r"^argument 'code'"):
        t.get_element("1")
    with pytest.raises(TypeError, match=r"^argument 'path'"):
        c.TableSet.from_eccodes(b"/tmp")
    with pytest.raises(TypeError):
        c.TableSet(1)
    with pytest.raises(TypeError, match="cannot create '_corvena.ElementDefinition' instances"):
        c.ElementDefinition()
    with pytest.raises(TypeError, match="cannot create '_corvena.SequenceDefinition' instances"):
        c.SequenceDefinition()


def test_reprs_quote_names(tmp_path):
    text = row(code="0", name='say "hi"\\') + row(code="1234567", name="tab\there\x7f")
    t = c.TableSet.from_eccodes(table_dir(tmp_path / "q", raw_elements=text, raw_sequences=""))
    assert repr(t.get_element(0)) == 'ElementDefinition(000000, name="say \\"hi\\"\\\\")'
    assert repr(t.get_element(1234567)) == 'ElementDefinition(1234567, name="tab\\there\\u{7f}")'


@pytest.mark.parametrize("version", sorted(os.listdir("/usr/share/eccodes/definitions/bufr/tables/0/wmo"), key=int)
                         if os.path.isdir("/usr/share/eccodes/definitions/bufr/tables/0/wmo") else [])
def test_every_debian_master_directory_loads(definitions, version):
    d = os.path.join(definitions, "bufr", "tables", "0", "wmo", version)
    t = c.TableSet.from_eccodes(d)
    codes = set()
    with open(os.path.join(d, "element.table"), encoding="utf-8") as f:
        for line in f:
            if line.startswith("#") or not line.strip():
                continue
            codes.add(int(line.split("|")[0]))
    assert t.element_count == len(codes)
    assert t.sequence_count > 0
