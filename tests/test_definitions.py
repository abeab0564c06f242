"""Choosing master and local tables under a definitions root."""

import os

import pytest

import _corvena as c
from bufr_build import message, table_dir
from conftest import message_files, split_messages

PREFIX = "csv/table parse error: "


def msg(**kw):
    return c.parse_bytes(message([1001], b"\x00", **kw))


def root_with(tmp_path, master=35):
    root = tmp_path / "defs"
    wmo = root / "bufr" / "tables" / "0" / "wmo"
    table_dir(wmo / str(master), elements=[(1001, "MASTER", "Numeric", 0, 0, 7), (1002, "ONLY MASTER", "Numeric", 0, 0, 7)],
              sequences={301001: [1001]}, codetables={1001: {1: "master one", 2: "master two"}})
    return root, wmo


def test_master_only_and_local_ignored_for_version_0(tmp_path):
    root, _ = root_with(tmp_path)
    table_dir(root / "bufr" / "tables" / "0" / "local" / "1" / "98" / "0", elements=[(1001, "LOCAL", "Numeric", 0, 0, 7)])
    t = c.TableSet.from_definitions(str(root), msg(master_version=35, local_version=0))
    assert t.get_element(1001).name == "MASTER"


def test_missing_master(tmp_path):
    root, wmo = root_with(tmp_path)
    with pytest.raises(ValueError) as info:
        c.TableSet.from_definitions(str(root), msg(master_version=36))
    assert str(info.value) == PREFIX + "ecCodes table directory does not exist: " + str(wmo / "36")


def test_alias_files(tmp_path):
    root, wmo = root_with(tmp_path)
    (wmo / "36").write_text("35\n")
    (wmo / "37").write_text(" 36 ")
    assert c.TableSet.from_definitions(str(root), msg(master_version=37)).get_element(1001).name == "MASTER"
    for version, text, shown in ((38, "../35", '"../35"'), (39, "", '""'), (40, "a\\b", '"a\\\\b"')):
        (wmo / str(version)).write_text(text)
        with pytest.raises(ValueError) as info:
            c.TableSet.from_definitions(str(root), msg(master_version=version))
        assert str(info.value) == PREFIX + "invalid ecCodes table alias %s -> %s" % (wmo / str(version), shown)
    (wmo / "41").write_text("99")
    with pytest.raises(ValueError, match="does not exist: " + str(wmo / "99")):
        c.TableSet.from_definitions(str(root), msg(master_version=41))
    (wmo / "42").write_bytes(b"\xff")
    with pytest.raises(ValueError, match="^io error: stream did not contain valid UTF-8$"):
        c.TableSet.from_definitions(str(root), msg(master_version=42))
    os.symlink("35", wmo / "43")
    assert c.TableSet.from_definitions(str(root), msg(master_version=43)).element_count == 2


def test_alias_loops_end(tmp_path):
    root, wmo = root_with(tmp_path)
    (wmo / "50").write_text("50")
    (wmo / "51").write_text("52")
    (wmo / "52").write_text("51")
    for version in (50, 51):
        with pytest.raises(ValueError, match="alias chain starting at .* is longer than 32 links"):
            c.TableSet.from_definitions(str(root), msg(master_version=version))
    # A long but finite chain resolves.
    for v in range(60, 90):
        (wmo / str(v)).write_text(str(v + 1))
    (wmo / "90").write_text("35")
    assert c.TableSet.from_definitions(str(root), msg(master_version=60)).element_count == 2


def test_local_tables_take_precedence(tmp_path):
    root, wmo = root_with(tmp_path)
    local = root / "bufr" / "tables" / "0" / "local" / "1" / "98" / "0"
    m = msg(master_version=35, local_version=1, centre=98, subcentre=0)
    assert c.TableSet.from_definitions(str(root), m).get_element(1001).name == "MASTER"
    os.makedirs(local)
    with open(local / "element.table", "w") as f:
        f.write("001001|x|long|LOCAL|Numeric|0|0|7\n")
    t = c.TableSet.from_definitions(str(root), m)
    assert t.get_element(1001).name == "LOCAL" and t.get_element(1002).name == "ONLY MASTER"
    assert t.get_sequence(301001).members == [1001] and t.get_meaning(1001, 2) == "master two"
    os.makedirs(local / "codetables")
    (local / "codetables" / "1001.table").write_text("1 1 local one\n")
    t = c.TableSet.from_definitions(str(root), m)
    assert t.get_meaning(1001, 1) == "local one" and t.get_meaning(1001, 2) is None
    (local / "sequence.def").write_text('"301001" = [ x ]\n')
    with pytest.raises(ValueError, match='bad descriptor code "x"'):
        c.TableSet.from_definitions(str(root), m)


def test_local_directory_names(tmp_path):
    root, wmo = root_with(tmp_path, master=19)
    table_dir(wmo / "20", elements=[(1001, "MASTER20", "Numeric", 0, 0, 7)])
    local = root / "bufr" / "tables" / "0" / "local"
    table_dir(local / "19-3" / "7" / "2", elements=[(1001, "L19", "Numeric", 0, 0, 7)])
    table_dir(local / "3" / "7" / "2", elements=[(1001, "L3", "Numeric", 0, 0, 7)])
    t = c.TableSet.from_definitions(str(root), msg(master_version=19, local_version=3, centre=7, subcentre=2))
    assert t.get_element(1001).name == "L19"
    t = c.TableSet.from_definitions(str(root), msg(master_version=20, local_version=3, centre=7, subcentre=2))
    assert t.get_element(1001).name == "L3"


def test_message_argument(tmp_path):
    root, _ = root_with(tmp_path)
    with pytest.raises(TypeError, match=r"^argument 'message'"):
        c.TableSet.from_definitions(str(root), message([1001]))


@pytest.mark.parametrize("path", message_files(), ids=os.path.basename)
def test_real_messages_choose_their_tables(definitions, path):
    with open(path, "rb") as f:
        data = f.read()
    try:
        messages = c.parse_all_bytes(data)
    except ValueError:
        pytest.skip("a message of this file does not frame")
    for m in messages:
        t = c.TableSet.from_definitions(definitions, m)
        master = c.TableSet.from_eccodes(os.path.join(definitions, "bufr", "tables", str(m.master_table_number),
                                                      "wmo", str(m.master_tables_version_number)))
        assert t.element_count >= master.element_count
        local = os.path.join(definitions, "bufr", "tables", str(m.master_table_number), "local",
                             str(m.local_tables_version_number), str(m.originating_centre), str(m.originating_subcentre))
        if m.local_tables_version_number and os.path.isdir(local) and os.path.exists(os.path.join(local, "element.table")):
            local_only = c.TableSet.from_eccodes(local) if os.path.exists(os.path.join(local, "sequence.def")) else None
            if local_only is not None:
                for code in range(0, 64000):
                    e = local_only.get_element(code)
                    if e is not None:
                        assert t.get_element(code).name == e.name
        # Every descriptor list of the message expands against its tables.
        t.expand(m.unexpanded_descriptors)
