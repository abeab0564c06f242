"""The WMO BUFR4 CSV tables and the delimited-text reader behind them."""

import os

import pytest

import _corvena as c
from conftest import WMO_CSV

PREFIX = "csv/table parse error: "
B_HEADER = ("ClassNo,ClassName_en,FXY,ElementName_en,BUFR_Unit,BUFR_Scale,BUFR_ReferenceValue,"
            "BUFR_DataWidth_Bits,CREX_Unit,CREX_Scale,CREX_DataWidth_Char,Note_en,noteIDs,Status\n")
D_HEADER = "Category,CategoryOfSequences_en,FXY1,Title_en,SubTitle_en,FXY2,ElementName_en,ElementDescription_en,Note_en,noteIDs,Status\n"


def b_row(code="001001", name="WMO block number", unit="Numeric", scale="0", ref="0", width="7"):
    return ",".join(["01", "Identification", code, name, unit, scale, ref, width, "Numeric", "0", "2", "", "", "Operational"]) + "\n"


def d_row(seq, member):
    return ",".join(["00", "x", seq, "", "", member, "name", "", "", "", "Operational"]) + "\n"


def write(d, name, text):
    os.makedirs(d, exist_ok=True)
    if not isinstance(text, bytes):
        text = text.encode("utf-8")
    with open(os.path.join(d, name), "wb") as f:
        f.write(text)


def load_err(d):
    with pytest.raises(ValueError) as info:
        c.TableSet.from_bufr4_45(str(d))
    return str(info.value)


def test_file_selection_and_order(tmp_path):
    write(tmp_path, "BUFRCREX_TableB_en_00.csv", B_HEADER + b_row(name="first"))
    write(tmp_path, "BUFRCREX_TableB_en_01.csv", B_HEADER + b_row(name="second") + b_row(code="001002"))
    write(tmp_path, "BUFRCREX_TableB_en_.csv", B_HEADER + b_row(code="001003"))
    write(tmp_path, "BUFRCREX_TableB_en_02.CSV", "garbage")
    write(tmp_path, "bufrcrex_tableb_en_03.csv", "garbage")
    write(tmp_path / "sub", "BUFRCREX_TableB_en_04.csv", "garbage")
    t = c.TableSet.from_bufr4_45(str(tmp_path))
    assert t.element_count == 3 and t.get_element(1001).name == "second"
    e = t.get_element(1003)
    assert (e.abbreviation, e.element_type, e.unit, e.width) == ("", "long", "Numeric", 7)
    assert t.get_meaning(1001, 0) is None


def test_element_types_from_units(tmp_path):
    rows = [b_row(code="%06d" % i, unit=u) for i, u in
            enumerate(["Code table", "Flag table", "CCITT IA5", "code table", "Code table ", "K"], 1)]
    write(tmp_path, "BUFRCREX_TableB_en_00.csv", B_HEADER + "".join(rows))
    t = c.TableSet.from_bufr4_45(str(tmp_path))
    assert [t.get_element(i).element_type for i in range(1, 7)] == ["code", "flags", "string", "long", "long", "long"]


def test_sequences_collect_members_per_file(tmp_path):
    write(tmp_path, "BUFR_TableD_en_01.csv",
          D_HEADER + d_row("301001", "001001") + d_row("301001", "001002") + d_row("301002", "001003")
          + d_row("301001", "004001") + d_row("301003", "000001"))
    write(tmp_path, "BUFR_TableD_en_02.csv", D_HEADER + d_row("301003", "000002"))
    t = c.TableSet.from_bufr4_45(str(tmp_path))
    assert t.get_sequence(301001).members == [1001, 1002, 4001]
    assert t.get_sequence(301003).members == [2]
    assert t.sequence_count == 3


def test_reader_rules(tmp_path):
    text = "\ufeff" + B_HEADER + b_row(name='"quoted, with comma ""and"" quotes"') + "\r\n\r\n" + b_row(code="001002") + "\r" + b_row(code="001003")
    write(tmp_path, "BUFRCREX_TableB_en_00.csv", text)
    t = c.TableSet.from_bufr4_45(str(tmp_path))
    assert t.get_element(1001).name == 'quoted, with comma "and" quotes'
    assert t.element_count == 3


def test_header_only_and_empty_files(tmp_path):
    write(tmp_path, "BUFRCREX_TableB_en_00.csv", B_HEADER)
    write(tmp_path, "BUFRCREX_TableB_en_01.csv", "")
    write(tmp_path, "BUFR_TableD_en_00.csv", "")
    t = c.TableSet.from_bufr4_45(str(tmp_path))
    assert (t.element_count, t.sequence_count) == (0, 0)
    # A seven-field header makes seven-field rows acceptable, and all skipped.
    write(tmp_path / "seven", "BUFRCREX_TableB_en_00.csv", "a,b,c,d,e,f,g\n1,2,001001,4,5,6,7\n")
    assert c.TableSet.from_bufr4_45(str(tmp_path / "seven")).element_count == 0


def test_errors(tmp_path):
    assert load_err(tmp_path / "none") == "io error: No such file or directory (os error 2)"
    short = B_HEADER + b_row() + ",".join(["x"] * 13) + "\n"
    write(tmp_path / "a", "BUFRCREX_TableB_en_00.csv", short)
    assert load_err(tmp_path / "a") == PREFIX + (
        "CSV error: record 2 (line: 3, byte: %d): found record with 13 fields, but the previous record has 14 fields"
        % (len(B_HEADER) + len(b_row())))
    write(tmp_path / "b", "BUFRCREX_TableB_en_00.csv", (B_HEADER + b_row(name="caf\xe9")).encode("latin-1"))
    assert load_err(tmp_path / "b") == PREFIX + (
        "CSV parse error: record 1 (line 2, field: 3, byte: %d): invalid utf-8: invalid UTF-8 in field 3 near byte index 3"
        % len(B_HEADER))
    write(tmp_path / "c", "BUFRCREX_TableB_en_00.csv", B_HEADER + b_row(width="x"))
    write(tmp_path / "c", "BUFR_TableD_en_00.csv", "not even csv \xff")
    assert load_err(tmp_path / "c") == PREFIX + 'bad u16 "x": invalid digit found in string'
    write(tmp_path / "d", "BUFR_TableD_en_00.csv", D_HEADER + d_row("301001", "00100x"))
    assert load_err(tmp_path / "d") == PREFIX + 'bad descriptor code "00100x": invalid digit found in string'
    os.makedirs(tmp_path / "e" / "BUFRCREX_TableB_en_00.csv")
    assert load_err(tmp_path / "e") == PREFIX + "Is a directory (os error 21)"


@pytest.mark.parametrize("version", ["38", "39"])
def test_real_wmo_tables_against_eccodes(definitions, version):
    wmo = c.TableSet.from_bufr4_45(WMO_CSV)
    assert wmo.element_count > 1000 and wmo.sequence_count > 300
    assert wmo.get_element(1001).name == "WMO block number"
    assert wmo.get_sequence(301001).members == [1001, 1002]
    eccodes = c.TableSet.from_eccodes(os.path.join(definitions, "bufr", "tables", "0", "wmo", version))
    shared, disagree = 0, []
    for code in range(0, 64000):
        a, b = wmo.get_element(code), eccodes.get_element(code)
        if a is None or b is None:
            continue
        shared += 1
        if (a.width, a.scale, a.reference) != (b.width, b.scale, b.reference):
            disagree.append(code)
    assert shared == eccodes.element_count
    assert disagree == []
