"""Every real message that this library decodes, decoded by ecCodes as well
and compared item by item in data order: descriptor codes, numbers within
the element's scale, missing values and texts. Operator items and
associated fields are this library's own and are left out."""

import json
import os
import shutil
import subprocess
import sys
from collections import Counter

import pytest

import _corvena as c
from conftest import message_files, split_messages

HERE = os.path.dirname(os.path.abspath(__file__))
ORACLE = os.path.join(HERE, "eccodes_oracle.py")


def oracle_python():
    """An interpreter with the ecCodes bindings: CORVENA_ECCODES_PYTHON, the
    running one, or Debian's system python3."""
    candidates = [os.environ.get("CORVENA_ECCODES_PYTHON"), "/usr/bin/python3", sys.executable]
    for exe in candidates:
        if exe and shutil.which(exe):
            probe = subprocess.run([exe, "-c", "import eccodes"], capture_output=True)
            if probe.returncode == 0:
                return exe
    pytest.fail("no Python interpreter with the ecCodes bindings: install python3-eccodes")


# The associated field significance belongs to the associated field, which
# ecCodes shows as an attribute of the element rather than as an item.
LEFT_OUT = {999999, 31021}


def is_marker(code):
    """2-23-255, 2-24-255, 2-25-255 and 2-32-255: a value read through a
    bitmap, which this library gives the code of the element referred to."""
    return code // 100000 == 2 and code % 1000 == 255 and (code // 1000) % 100 in (23, 24, 25, 32)


def kept(code):
    return code is None or is_marker(code) or (code // 100000 in (0, 3) and code not in LEFT_OUT)


def ecc_rows(dump):
    """(code, value) of an uncompressed message in data order, subset by
    subset, without ecCodes' operator keys; None stands for a code that
    ecCodes does not give."""
    # A text without a code is what ecCodes reads for 2-05-YYY; this
    # library gives it as an item of descriptor 205YYY.
    return [(code, value) for code, value in dump["entries"] if kept(code)]


def check_compressed(tables, items, dump):
    """Numbers in data order against ecCodes' numeric values, texts in order
    against its text columns, and the element codes as a multiset."""
    n = dump["subsets"]
    values = dump["values"]
    assert len(items) == len(values)
    per = len(items) // n if n else 0
    text_columns = [v for code, kind, v in dump["columns"] if kind == "text" and kept(code)]
    for s in range(n):
        mine = items[s * per:(s + 1) * per]
        texts = []
        for j, item in enumerate(mine):
            e = tables.get_element(item.descriptor)
            if e is not None and e.unit == "CCITT IA5":
                texts.append(item)
                continue
            if item.descriptor in LEFT_OUT:
                continue
            code = item.descriptor if item.name != "operator" else None
            assert same(tables, item, item.descriptor, values[s * per + j]) or code is None, (s, j, item, values[s * per + j])
        theirs = [col[s] if len(col) > 1 else col[0] for col in text_columns]
        assert [same(tables, t, t.descriptor, v) for t, v in zip(texts, theirs)] == [True] * len(texts), (s, texts, theirs)
        assert len(texts) == len(theirs)
    ours_codes = Counter(x.descriptor for x in items[:per] if x.descriptor not in LEFT_OUT and x.name != "operator")
    their_codes = Counter(code for code, _, _ in dump["columns"] if kept(code) and code is not None)
    unnamed = sum(1 for code, _, _ in dump["columns"] if code is None)
    assert not their_codes - ours_codes
    # Quality information that follows a bitmap (033007 after 2-22-000 and
    # its 031031 run) ecCodes attaches to the elements it qualifies, as
    # attributes, rather than listing it as elements of its own.
    attributes = set(dump.get("attribute_codes", []))
    extra = ours_codes - their_codes
    assert sum(v for code, v in extra.items() if code not in attributes) == unnamed


def scale_of(tables, code):
    e = tables.get_element(code)
    return e.scale if e is not None else 0


def same(tables, ours, code, value):
    if code is None:
        # A value read through a bitmap: ecCodes names it after the element
        # it refers to but gives no code; compare the value alone.
        code = ours.descriptor
    if ours.descriptor != code:
        return False
    if ours.raw_text is not None or isinstance(value, str):
        # ecCodes gives a missing text as an empty string and drops
        # trailing NULs.
        theirs = value.rstrip() if isinstance(value, str) else value
        mine = ours.raw_text.rstrip("\0 ") if ours.raw_text is not None else None
        return (mine or None) == (theirs or None)
    if value is None:
        return ours.raw_value is None
    if ours.raw_value is None:
        return False
    scale = scale_of(tables, code)
    tolerance = 0.5 * 10.0 ** (-scale) if scale > 0 else 0.0
    return abs(ours.raw_value - value) <= tolerance + 1e-9 * max(1.0, abs(value))


def cases():
    out = []
    for path in message_files():
        with open(path, "rb") as f:
            data = f.read()
        for index, msg in enumerate(split_messages(data)):
            # A few messages of each file are enough for CI; a full run
            # sets CORVENA_CROSSCHECK_ALL=1.
            if index >= 3 and not os.environ.get("CORVENA_CROSSCHECK_ALL"):
                break
            out.append(pytest.param(path, index, msg, id="%s#%d" % (os.path.basename(path), index)))
    return out


def run_oracle(path):
    out = subprocess.run([oracle_python(), ORACLE, str(path)], capture_output=True, text=True, timeout=600)
    assert out.returncode == 0, out.stderr[-2000:]
    return json.loads(out.stdout)


def compare(tables, items, dump):
    """Our items of one message against ecCodes' dump of it."""
    if dump["compressed"]:
        check_compressed(tables, items, dump)
        return
    theirs = ecc_rows(dump)
    ours = [x for x in items if x.descriptor not in LEFT_OUT and x.name != "operator"]
    for i, (mine, (code, value)) in enumerate(zip(ours, theirs)):
        assert same(tables, mine, code, value), (i, mine, mine.raw_value, mine.raw_text, code, value)
    assert len(ours) == len(theirs)


def compare_texts(records, dump):
    """The package's Item records of an uncompressed message: every text
    ecCodes gives (empty when missing) is the item's value (None when
    missing), never a number."""
    if dump["compressed"]:
        return
    ours = [x for x in records if x.descriptor not in LEFT_OUT and x.name != "operator"]
    theirs = ecc_rows(dump)
    assert len(ours) == len(theirs)
    for mine, (code, value) in zip(ours, theirs):
        if isinstance(value, str):
            # ecCodes gives a missing text as "", a blank one as blanks.
            assert mine.value == (None if value == "" else value.rstrip()), (mine, value)


@pytest.mark.parametrize("path,index,msg", cases())
def test_against_eccodes(definitions, tmp_path, path, index, msg):
    try:
        message = c.parse_bytes(msg)
        items = c.decode_values_with_definitions(msg, definitions)
    except ValueError:
        pytest.skip("not decoded here; the real-data tests confirm the cause")
    tables = c.TableSet.from_definitions(definitions, message)
    one = tmp_path / "one.bufr"
    one.write_bytes(msg)
    dump = run_oracle(one)
    compare(tables, items, dump)
    import corvena

    compare_texts(next(corvena.read(msg, tables=definitions)).items(), dump)


# Section 1 of an edition 3 message as ecCodes names its keys, and as the
# package names the same fields.
EDITION3_KEYS = [
    ("edition", "edition"), ("bufrHeaderCentre", "originating_centre"),
    ("bufrHeaderSubCentre", "originating_subcentre"), ("updateSequenceNumber", "update_sequence_number"),
    ("dataCategory", "data_category"), ("dataSubCategory", "local_data_subcategory"),
    ("masterTablesVersionNumber", "master_tables_version_number"),
    ("localTablesVersionNumber", "local_tables_version_number"), ("typicalYear", "typical_year"),
    ("typicalMonth", "typical_month"), ("typicalDay", "typical_day"), ("typicalHour", "typical_hour"),
    ("typicalMinute", "typical_minute"), ("numberOfSubsets", "number_of_subsets"),
    ("totalLength", "total_length"), ("section1Length", "section1_length"),
]


def edition3_samples():
    """ecCodes' own edition 3 samples (with and without a local section)."""
    out = []
    for name in ("BUFR3.tmpl", "BUFR3_local.tmpl", "BUFR3_local_satellite.tmpl"):
        path = os.path.join("/usr/share/eccodes/samples", name)
        if os.path.exists(path):
            out.append(pytest.param(path, 0, open(path, "rb").read(), id=name))
    return out


@pytest.mark.parametrize("path,index,msg", cases() + edition3_samples())
def test_edition3_against_eccodes(definitions, tmp_path, path, index, msg):
    import corvena
    from corvena.arrays import decode_arrays

    one, three = tmp_path / "one.bufr", tmp_path / "three.bufr"
    one.write_bytes(msg)
    made = subprocess.run(["bufr_set", "-s", "edition=3", str(one), str(three)], capture_output=True, text=True)
    if made.returncode != 0:
        pytest.skip("ecCodes does not re-encode this message: " + made.stderr[-200:])
    message = next(corvena.read(str(three), tables=definitions))
    got = subprocess.run(["bufr_get", "-p", ",".join(k for k, _ in EDITION3_KEYS), str(three)],
                         capture_output=True, text=True, check=True).stdout.split()
    assert [str(getattr(message, name)) for _, name in EDITION3_KEYS] == got
    assert (message.international_data_subcategory, message.typical_second) == (None, None)
    try:
        items = message.decoded_values()
    except corvena.ReadError:
        pytest.skip("not decoded here; the real-data tests confirm the cause")
    dump = run_oracle(three)
    compare(message.tables, items, dump)
    compare_texts(message.items(), dump)
    arrays = decode_arrays(message.edition4_data, message.tables)
    assert [v if v == v else None for v in arrays.values.tolist()] == [x.raw_value for x in items]
