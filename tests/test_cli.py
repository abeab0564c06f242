"""The command-line tool: corvena ls, dump, get, copy and compare."""

import csv
import io
import itertools
import json
import os
import pathlib
import shutil
import subprocess
import sys

import pytest

from conftest import MESSAGES

DWD = os.path.join(MESSAGES, "Z__C_EDZW_20210516120400_bda01_synop_bufr_GER_999999_999999__MW_466.bufr")
SYNOP = os.path.join(MESSAGES, "synop_multi_subset_uncompressed.bufr")
AMSUA = os.path.join(MESSAGES, "aaen_55.bufr")


def run(*args, env=None):
    return subprocess.run([sys.executable, "-m", "corvena", *args], capture_output=True, text=True, timeout=300,
                          env=env)


@pytest.fixture(scope="module")
def cut(tmp_path_factory):
    """AMSU-A with its second message cut short."""
    data = pathlib.Path(AMSUA).read_bytes()
    path = tmp_path_factory.mktemp("cli") / "cut.bufr"
    path.write_bytes(data[:5164])  # the first message ends at 5058
    return str(path)


def test_console_script_is_installed():
    script = os.path.join(os.path.dirname(sys.executable), "corvena")
    out = subprocess.run([script, "ls", SYNOP], capture_output=True, text=True, timeout=60)
    assert out.returncode == 0 and out.stdout.count("\n") == 2


def test_ls():
    out = run("ls", DWD, AMSUA)
    assert out.returncode == 0 and out.stderr == ""
    rows = list(csv.DictReader(io.StringIO(out.stdout), delimiter="\t"))
    assert len(rows) == 48
    first, amsu = rows[0], rows[44]
    assert (first["file"], first["index"], first["centre"], first["category"]) == (DWD, "0", "78", "0")
    assert (first["typical_time"], first["subsets"], first["compressed"]) == ("2021-05-16T12:00:00Z", "25", "no")
    assert (amsu["file"], amsu["index"], amsu["subsets"], amsu["compressed"]) == (AMSUA, "0", "128", "yes")
    assert all(r["tables"].startswith(("ecCodes definitions", "shipped WMO BUFR4 tables")) for r in rows)
    shipped = run("ls", "--shipped-tables", SYNOP)
    assert shipped.stdout.splitlines()[1].endswith("\tshipped WMO BUFR4 tables")


def test_dump_text():
    out = run("dump", SYNOP)
    assert out.returncode == 0
    lines = out.stdout.splitlines()
    assert lines[0].startswith("== %s message 0: centre 88/0, category 0, 2015-01-26T10:00:00Z, 12 subset(s)" % SYNOP)
    assert [line for line in lines if line.startswith("-- subset")] == ["-- subset %d" % n for n in range(1, 13)]
    for expected in (
        '001015 stationOrSiteName = "TROMSO-HOLT"',
        "004001 year = 2015 a",
        "012101 airTemperature = 276.45 K",
        "013003 relativeHumidity = 69 %",
        "010004 nonCoordinatePressure = missing",
        "002001 stationType = 0 (AUTOMATIC STATION)",
    ):
        assert expected in lines[:40]


def _shown(value):
    return "missing" if value is None else json.dumps(value, ensure_ascii=False) if isinstance(value, str) else repr(value)


@pytest.mark.parametrize("name", ["synop_multi_subset_uncompressed.bufr", "ISMD01_OKPR.bufr", "aaen_55.bufr",
                                  "tropical_cyclone.bufr"])
def test_dump_text_says_what_the_items_say(name):
    # The text is written natively; each line must read as the items of
    # corvena.read: per item, or per element of a compressed message.
    import corvena
    from corvena._tables import SILENT_UNITS

    path = os.path.join(MESSAGES, name)
    out = run("dump", path)
    assert out.returncode == 0
    blocks = out.stdout.split("\n== ")
    for message, block in zip(corvena.read(path), blocks):
        lines = block.splitlines()[2:]
        subsets = message.subsets()
        if not message.compressed_data:
            expected = []
            for n, subset in enumerate(subsets, 1):
                expected.append("-- subset %d" % n)
                expected += [("%06d %s = %s" % (i.descriptor, i.key, _shown(i.value)))
                             + (" " + i.unit if i.value is not None and i.unit not in SILENT_UNITS else "")
                             + (" (%s)" % i.meaning if i.meaning is not None else "") for i in subset]
            assert lines == expected
            continue
        assert lines[0] == ("-- %d subsets, compressed: one value per element where every subset holds it, "
                            "else [one per subset]" % len(subsets))
        for line, items in zip(lines[1:], zip(*subsets)):
            values = [i.value for i in items]
            same = values.count(values[0]) == len(values)
            text = "%06d %s = %s" % (items[0].descriptor, items[0].key, _shown(values[0]) if same else
                                      "[%s]" % ", ".join(map(_shown, values)))
            if any(v is not None for v in values) and items[0].unit not in SILENT_UNITS:
                text += " " + items[0].unit
            meanings = [i.meaning for i in items[:1 if same else None]]
            if any(m is not None for m in meanings):
                text += " (%s)" % " | ".join(m or "-" for m in meanings)
            assert line == text
        assert len(lines) == 1 + len(subsets[0])


def test_dump_json():
    out = run("dump", "--json", SYNOP, AMSUA)
    assert out.returncode == 0
    messages = json.loads(out.stdout)
    assert [(m["file"], m["index"], m["compressed"]) for m in messages] == [(SYNOP, 0, False)] + [
        (AMSUA, i, True) for i in range(4)]
    synop = messages[0]
    assert len(synop["subsets"]) == synop["number_of_subsets"] == 12
    temperature = next(i for i in synop["subsets"][1] if i["key"] == "airTemperature")
    assert temperature == {"key": "airTemperature", "descriptor": "012101", "value": 266.55, "unit": "K"}
    year = next(i for i in synop["subsets"][0] if i["key"] == "year")
    assert year["value"] == 2015 and isinstance(year["value"], int)
    columns = messages[1]["items"]
    latitude = next(c for c in columns if c["key"] == "latitude")
    assert len(latitude["values"]) == 128 and "value" not in latitude
    satellite = next(c for c in columns if c["key"] == "satelliteIdentifier")
    assert satellite["value"] == 209 and "values" not in satellite


@pytest.mark.parametrize("name", ["compress_3.bufr", "aben_55.bufr", "ncep.352.bufr"])
def test_dump_json_columns_agree_with_items(name):
    # The dump builds the columns of compressed messages its own way; they
    # must say what the item records of corvena.read say.
    import corvena

    path = os.path.join(MESSAGES, name)
    out = run("dump", "--json", path)
    assert out.returncode == 0
    for message, record in zip(corvena.read(path), json.loads(out.stdout)):
        if not message.compressed_data:
            continue
        subsets = message.subsets()
        assert len(record["items"]) == len(subsets[0])
        for j, column in enumerate(record["items"]):
            items = [subset[j] for subset in subsets]
            values = column["values"] if "values" in column else [column["value"]] * len(items)
            assert json.loads(json.dumps([i.value for i in items])) == values
            assert [type(i.value) for i in items] == [type(v) for v in values]
            meanings = column.get("meanings") or [column.get("meaning")] * len(items)
            assert [i.meaning for i in items] == meanings


def test_get_csv():
    out = run("get", "--keys", "stationNumber,airTemperature,#2#heightOfSensorAboveLocalGroundOrDeckOfMarinePlatform,012103",
              SYNOP)
    assert out.returncode == 0
    rows = list(csv.reader(io.StringIO(out.stdout)))
    assert rows[0] == ["file", "message", "subset", "stationNumber", "airTemperature",
                       "#2#heightOfSensorAboveLocalGroundOrDeckOfMarinePlatform", "012103"]
    assert rows[1] == [SYNOP, "0", "1", "27", "276.45", "", "271.39"]
    assert len(rows) == 13


def test_errors_name_file_and_message(cut, tmp_path):
    missing = str(tmp_path / "missing.bufr")
    out = run("ls", cut, SYNOP)
    assert out.returncode == 1 and out.stdout.count("\n") == 2  # header and the first message
    assert out.stderr.startswith("corvena: error: %s: message 1: " % cut) and "truncated" in out.stderr
    out = run("get", "--keys", "stationNumber", "--continue-on-error", cut, missing, SYNOP)
    assert out.returncode == 1 and out.stdout.count("\n") == 1 + 128 + 12
    assert "%s: message 1: " % cut in out.stderr and "%s: No such file or directory" % missing in out.stderr


def test_damage_between_messages_and_files_without_messages(tmp_path):
    a, b = pathlib.Path(AMSUA).read_bytes(), pathlib.Path(SYNOP).read_bytes()
    damaged = tmp_path / "damaged.bufr"
    damaged.write_bytes(a[:5058] + a[:200] + b)
    out = run("ls", "--continue-on-error", str(damaged))
    assert out.returncode == 1 and [r.split("\t")[1] for r in out.stdout.splitlines()[1:]] == ["0", "2"]
    assert out.stderr.count("error:") == 1 and "%s: message 1: " % damaged in out.stderr
    for content, words in [(b"", "no BUFR message found"), (b"\x1f\x8b\x08" + bytes(30), "gzip-compressed")]:
        empty = tmp_path / "none.bufr"
        empty.write_bytes(content)
        out = run("ls", str(empty))
        assert out.returncode == 1 and out.stdout.count("\n") == 1
        assert out.stderr.startswith("corvena: error: %s: no BUFR message found" % empty) and words in out.stderr


def test_missing_optional_dependencies_name_the_extra(tmp_path):
    # Python reads sitecustomize at start: there it hides pandas and pyarrow.
    (tmp_path / "sitecustomize.py").write_text("import sys\nsys.modules['pandas'] = sys.modules['pyarrow'] = None\n")
    env = dict(os.environ, PYTHONPATH=str(tmp_path))
    out = run("get", "--columns", "stationNumber", SYNOP, env=env)
    assert out.returncode == 2
    assert out.stderr == ("corvena: error: corvena.read_bufr needs pandas, which is not installed: "
                          "pip install 'corvena[dataframe]'\n")
    code = "import corvena\ntry:\n    corvena.read_bufr(%r, ['stationNumber'])\nexcept ImportError as e:\n    print(e)" % SYNOP
    shown = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=env, timeout=120)
    assert "pip install 'corvena[dataframe]'" in shown.stdout


@pytest.mark.parametrize("command", [["ls"], ["dump"], ["dump", "--json"], ["get", "--keys", "latitude,#2#pressure"],
                                     ["get", "--columns", "stationNumber,airTemperature"]])
def test_a_dash_reads_standard_input(command):
    if "--columns" in command:
        pytest.importorskip("pandas")
    # Through a pipe: a stream that cannot seek.
    piped = subprocess.run("cat '%s' | '%s' -m corvena %s -" % (SYNOP, sys.executable, " ".join(
        "'%s'" % a for a in command)), shell=True, capture_output=True, text=True, timeout=300)
    named = run(*command, SYNOP)
    assert piped.returncode == named.returncode == 0, piped.stderr
    assert piped.stdout == named.stdout.replace(SYNOP, "<stdin>") and piped.stdout.count("\n") > 1


@pytest.mark.parametrize("args", [["ls", SYNOP], ["--version"], ["dump", SYNOP], ["dump", AMSUA],
                                  ["dump", "--json", AMSUA], ["get", "--keys", "airTemperature", SYNOP],
                                  ["copy", "-w", "dataCategory=0", SYNOP, AMSUA, os.devnull],
                                  ["compare", SYNOP, AMSUA], ["compare", AMSUA, AMSUA],
                                  ["set", "-s", "typicalDate=20190305,bufrHeaderCentre=80", SYNOP, AMSUA, os.devnull],
                                  ["set", "-s", "airTemperature=280", SYNOP, os.devnull],
                                  ["copy", "--subsets", "stationNumber=27", SYNOP, os.devnull]])
def test_the_command_imports_only_what_it_uses(args):
    # numpy alone takes several times Python's own start; the package's
    # metadata and the archive modules took more than the rest of `ls`.
    code = ("import runpy, sys\nsys.argv = ['corvena'] + %r\ntry:\n"
            "    runpy.run_module('corvena', run_name='__main__', alter_sys=True)\nexcept SystemExit:\n    pass\n"
            "sys.stderr.write(' '.join(sys.modules))" % (args,))
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    loaded = set(out.stderr.split())
    assert "corvena.cli" in loaded
    assert not loaded & {"numpy", "pandas", "dask", "importlib.metadata", "tarfile", "hashlib", "tempfile"}


@pytest.mark.parametrize("redirect", ["1>&-", "> /dev/full"])
def test_unwritable_output_is_one_error_line(redirect):
    out = subprocess.run("'%s' -m corvena dump '%s' %s" % (sys.executable, AMSUA, redirect), shell=True,
                         capture_output=True, text=True, timeout=120)
    assert out.returncode == 1
    assert out.stderr.startswith("corvena: error: ") and out.stderr.count("\n") == 1, out.stderr


@pytest.mark.parametrize(
    "args, status, text",
    [
        ([], 2, "usage:"),
        (["dump"], 2, "usage:"),
        (["get", SYNOP], 2, "--keys"),
        (["frobnicate", SYNOP], 2, "invalid choice"),
    ],
)
def test_usage_errors(args, status, text):
    out = run(*args)
    assert out.returncode == status and text in out.stderr


def test_a_column_no_message_holds_is_a_usage_error():
    pytest.importorskip("pandas")
    out = run("get", "--columns", "stationNumber,airTemprature", SYNOP)
    assert out.returncode == 2 and out.stdout == ""
    assert out.stderr.startswith("corvena: error: no message read holds the key 'airTemprature' "
                                 "(closest keys: airTemperature")


def test_bad_tables_exit_2_and_missing_tables_fall_back(tmp_path):
    (tmp_path / "element.table").write_text("not a table\n")
    out = run("ls", "--tables", str(tmp_path), SYNOP)
    assert out.returncode == 2 and out.stderr.startswith("corvena: error: tables: ")
    # A path that does not exist is a mistake to report, not a reason to
    # fall back to other tables.
    out = run("ls", "--tables", str(tmp_path / "nowhere"), SYNOP)
    assert out.returncode == 2 and out.stdout == ""
    assert out.stderr == "corvena: error: tables: %s: not found\n" % (tmp_path / "nowhere")


def test_closed_pipe_is_quiet():
    process = subprocess.Popen([sys.executable, "-m", "corvena", "dump", AMSUA], stdout=subprocess.PIPE,
                               stderr=subprocess.PIPE)
    process.stdout.readline()
    process.stdout.close()
    process.wait(timeout=120)
    assert process.returncode == 141
    assert process.stderr.read() == b""
    process.stderr.close()


def test_dump_json_of_a_compressed_message_without_subsets(tmp_path):
    from bufr_build import Bits, message

    path = tmp_path / "zero.bufr"
    path.write_bytes(message([1001], Bits().put(5, 7).put(0, 6), subsets=0, compressed=True))
    out = run("dump", "--json", "--shipped-tables", str(path))
    assert out.returncode == 0, out.stderr
    assert json.loads(out.stdout)[0]["items"] == []


# ---- copy ------------------------------------------------------------------

COPIED = [SYNOP, AMSUA, DWD, os.path.join(MESSAGES, "tropical_cyclone.bufr"),
          os.path.join(MESSAGES, "ISMD01_OKPR.bufr"), os.path.join(MESSAGES, "synop_wigos.bufr")]


@pytest.mark.parametrize("where", [[], ["-w", "dataCategory=0"], ["-w", "dataCategory=0/7"],
                                   ["-w", "typicalDate=20121102,numberOfSubsets=128"],
                                   ["-w", "bufrHeaderCentre!=98"], ["-w", "typicalDate=20150126"],
                                   ["-w", "edition=4", "-w", "numberOfSubsets=1/36/37"], ["-w", "dataCategory=99"]])
def test_copy_writes_what_bufr_copy_does(tmp_path, where):
    tool = shutil.which("bufr_copy")
    if tool is None:
        pytest.skip("bufr_copy is not installed")
    theirs, ours = tmp_path / "theirs.bufr", tmp_path / "ours.bufr"
    subprocess.run([tool, *where, *COPIED, str(theirs)], capture_output=True, timeout=120)
    out = run("copy", *where, *COPIED, str(ours))
    assert out.returncode == 0 and out.stdout == out.stderr == ""
    expected = theirs.read_bytes() if theirs.exists() else b""
    assert ours.read_bytes() == expected and (expected or where[-1] == "dataCategory=99")


def test_copy_to_standard_output_and_over_its_input(tmp_path):
    import corvena

    whole = b"".join(m.data for m in corvena.read(AMSUA))
    out = subprocess.run([sys.executable, "-m", "corvena", "copy", AMSUA, SYNOP, "-"], capture_output=True,
                         timeout=120)
    assert out.returncode == 0 and out.stdout == whole + pathlib.Path(SYNOP).read_bytes()[:1650]
    path = tmp_path / "a.bufr"
    path.write_bytes(pathlib.Path(AMSUA).read_bytes())
    assert run("copy", "-w", "count=2/4", str(path), str(path)).returncode == 0
    assert path.read_bytes() == b"".join(m.data for m in corvena.read(AMSUA) if m.index in (1, 3))


@pytest.mark.parametrize("args, text", [
    (["-w", "dataCategori=0"], "unknown header key 'dataCategori' (closest: dataCategory"),
    (["-w", "dataCategory=zero"], "-w dataCategory: 'zero' is not a number"),
    (["-w", "dataCategory"], "write KEY=VALUE"),
    (["-w", "dataCategory=0,"], "write KEY=VALUE"),
    (["-w", "=0"], "write KEY=VALUE"),
    (["-w", "dataCategory="], "write KEY=VALUE"),
    (["--subsets", "stationNumber"], "--subsets 'stationNumber': write KEY=VALUE"),
])
def test_copy_usage_errors_write_nothing(tmp_path, args, text):
    out = run("copy", *args, SYNOP, str(tmp_path / "out.bufr"))
    assert out.returncode == 2 and text in out.stderr and out.stderr.startswith("corvena: error: ")
    assert os.listdir(tmp_path) == []


def test_copy_errors_name_file_and_message(cut, tmp_path):
    import corvena

    target = tmp_path / "out.bufr"
    out = run("copy", SYNOP, cut, str(target))
    assert out.returncode == 1 and out.stderr.startswith("corvena: error: %s: message 1: " % cut)
    assert not target.exists()  # the first error stops the run: nothing is written
    out = run("copy", "--continue-on-error", SYNOP, cut, str(tmp_path / "missing.bufr"), str(target))
    assert out.returncode == 1 and out.stderr.count("error:") == 2
    good = [m.data for m in corvena.read(SYNOP)] + [next(corvena.read(cut)).data]
    assert target.read_bytes() == b"".join(good)
    out = run("copy", SYNOP, str(tmp_path / "nowhere" / "out.bufr"))
    assert out.returncode == 1
    assert out.stderr == "corvena: error: %s: No such file or directory\n" % (tmp_path / "nowhere" / "out.bufr")
    assert run("copy", SYNOP).returncode == 2  # no OUT


# ---- data keys: set -s and copy --subsets ----------------------------------

OKPR = os.path.join(MESSAGES, "ISMD01_OKPR.bufr")  # compressed, 4 messages of 7 subsets
WIGOS = os.path.join(MESSAGES, "synop_wigos.bufr")  # uncompressed, 3 messages of 1 subset
HEIGHT = "heightOfSensorAboveLocalGroundOrDeckOfMarinePlatform"


def _eccodes_values(path, key):
    """The values of `key` in each message of `path`, decoded by ecCodes, in
    its order (subset by subset; item by item when compressed); missing
    values None, texts without their padding."""
    eccodes = pytest.importorskip("eccodes")

    def get(handle, name, subsets):
        if eccodes.codes_get_native_type(handle, name) is str:
            values = [v.rstrip() or None for v in eccodes.codes_get_string_array(handle, name)]
        else:
            values = [None if v in (eccodes.CODES_MISSING_LONG, eccodes.CODES_MISSING_DOUBLE) else v
                      for v in eccodes.codes_get_array(handle, name).tolist()]
        return values * subsets if len(values) == 1 < subsets else values  # one value: every subset's

    found = []
    with open(path, "rb") as f:
        while True:
            handle = eccodes.codes_bufr_new_from_file(f)
            if handle is None:
                return found
            try:
                eccodes.codes_set(handle, "unpack", 1)
                subsets = eccodes.codes_get(handle, "numberOfSubsets")
                if not eccodes.codes_get(handle, "compressedData"):
                    found.append(get(handle, key, 1))
                    continue
                ranks = itertools.takewhile(lambda k: eccodes.codes_is_defined(handle, "#%d#%s" % (k, key)),
                                            itertools.count(1))
                found.append([v for k in ranks for v in get(handle, "#%d#%s" % (k, key), subsets)])
            finally:
                eccodes.codes_release(handle)


def _said(items):
    # Not the raw figures: those of missing values in a compressed message
    # depend on its increments.
    return [(i.key, i.descriptor, i.value) for i in items]


def _values(messages, key):
    """The values of `key` in each message, in ecCodes' order: subset by
    subset, or item by item in a compressed message."""
    found = []
    for m in messages:
        items = [items.find(key) for items in m.subsets()]
        found.append([i.value for column in (zip(*items) if m.compressed_data else items) for i in column])
    return found


@pytest.mark.parametrize("path, setting, expected", [
    (SYNOP, "airTemperature=280.15", {"airTemperature": 280.15}),
    (SYNOP, "012101=missing,stationOrSiteName=OSLO,bufrHeaderCentre=80",
     {"airTemperature": None, "stationOrSiteName": "OSLO", "bufrHeaderCentre": 80}),
    (SYNOP, "#2#%s=3.5" % HEIGHT, {"#2#" + HEIGHT: 3.5}),
    (OKPR, "airTemperature=280.15,stationNumber=5", {"airTemperature": 280.15, "stationNumber": 5}),
    (OKPR, "stationOrSiteName=,#1#%s=MISSING,updateSequenceNumber=2" % HEIGHT,
     {"stationOrSiteName": None, "#1#" + HEIGHT: None, "updateSequenceNumber": 2}),
    (WIGOS, "longStationName=LJUBLJANA,nonCoordinatePressure=101327",  # in steps of 10 Pa
     {"longStationName": "LJUBLJANA", "nonCoordinatePressure": 101330}),
])
def test_set_data_keys(tmp_path, path, setting, expected):
    # Every item of a key (ranked: that one of each subset) takes the value,
    # read as its element holds it; all else reads as before, header and layout.
    import corvena
    from corvena._frame.headers import KNOWN, header_keys

    made = tmp_path / "set.bufr"
    out = run("set", "-s", setting, path, str(made))
    assert out.returncode == 0 and out.stderr == ""
    data = {k: v for k, v in expected.items() if k not in KNOWN}
    old, new = list(corvena.read(path)), list(corvena.read(str(made)))
    assert len(new) == len(old)
    for a, b in zip(old, new):
        ha, hb = header_keys(a), header_keys(b)
        assert {k: v for k, v in hb.items() if ha.get(k) != v} == {k: v for k, v in expected.items() if k in KNOWN}
        assert b.compressed_data == a.compressed_data and len(b.subsets()) == len(a.subsets())
        for sa, sb in zip(a.subsets(), b.subsets()):
            assert [i.descriptor for i in sb] == [i.descriptor for i in sa]
            assert all(sb.find(key) for key in data)
            changed = {id(item): value for key, value in data.items() for item in sb.find(key)}
            assert [i.value for i in sb] == [changed.get(id(j), i.value) for i, j in zip(sa, sb)]
    # ecCodes decodes the same values.
    for key in (k for k in data if not k.startswith("#")):
        assert _eccodes_values(str(made), key) == [pytest.approx(values) for values in _values(new, key)]


@pytest.mark.parametrize("path", [WIGOS, OKPR])
def test_set_data_keys_as_bufr_set_does(tmp_path, path):
    # In a single-subset or compressed message, #1# names the same items for
    # both; bufr_set wants unpack and pack around data keys.
    if shutil.which("bufr_set") is None or shutil.which("bufr_compare") is None:
        pytest.skip("bufr_set is not installed")
    ours, theirs = tmp_path / "ours.bufr", tmp_path / "theirs.bufr"
    assert run("set", "-s", "#1#airTemperature=280.15,#1#dewpointTemperature=missing", path, str(ours)).returncode == 0
    subprocess.run(["bufr_set", "-s", "unpack=1,#1#airTemperature=280.15,#1#dewpointTemperature=MISSING,pack=1",
                    path, str(theirs)], check=True, capture_output=True, timeout=120)
    compared = subprocess.run(["bufr_compare", str(ours), str(theirs)], capture_output=True, text=True, timeout=120)
    assert compared.returncode == 0, compared.stdout
    assert run("compare", str(ours), str(theirs)).stdout == ""


@pytest.mark.parametrize("args, text", [
    (["set", "-s", "airTemprature=280", SYNOP], "message 0: unknown key 'airTemprature': neither a header key nor a "
                                                "data key of the message (closest: airTemperature"),
    (["set", "-s", "#2#airTemperature=280", SYNOP],
     "message 0: #2#airTemperature: no subset of the message holds the key 2 times (at most 1)"),
    (["set", "-s", "#1#dewpointTemperature=280", DWD], "message 2: unknown key '#1#dewpointTemperature'"),
    (["set", "-s", "bufrHeaderCentre=80,airTemperature=warm", SYNOP],
     "message 0: airTemperature='warm': a number is needed"),
    (["set", "-s", "airTemperature=1e9", SYNOP], "message 0: airTemperature: subset 1, item 22 (012101): "
                                                  "1000000000.0: it does not fit 16 bits"),
    (["set", "-s", "airTemperature=-1", OKPR], "message 0: airTemperature: subset 1, item 22 (012101): -1.0: it "
                                               "does not fit 16 bits"),
    (["set", "-s", "stationOrSiteName=%s" % ("X" * 21), OKPR], "message 0: stationOrSiteName: subset 1, item 3 "
                                                              "(001015): the text of 21 octets is longer than its field of 20"),
    (["copy", "--subsets", "airTemperature=warm", SYNOP], "message 0: --subsets airTemperature: 'warm' is not a number"),
])
def test_data_keys_a_message_cannot_take_write_nothing(tmp_path, args, text):
    out = run(*args, str(tmp_path / "out.bufr"))
    assert out.returncode == 1 and out.stderr.startswith("corvena: error: %s: " % args[-1])
    assert text in out.stderr and out.stderr.count("\n") == 1
    assert os.listdir(tmp_path) == []


@pytest.mark.parametrize("paths, args, kept", [
    ([SYNOP], ["--subsets", "stationNumber=27/270/9999"], [[0, 2]]),
    ([SYNOP], ["--subsets", "stationOrSiteName=LOKEN I VOLBU"], [[5]]),
    ([SYNOP], ["--subsets", "stationNumber=27/84/272", "--subsets", "airTemperature!=266.55"], [[0, 3]]),
    ([SYNOP], ["--subsets", "stationNumber=1"], [[]]),
    ([SYNOP], ["--subsets", "stationNumbr=27"], [[]]),
    ([OKPR], ["--subsets", "pressure!=missing"], [[0]] * 4),
    ([OKPR], ["--subsets", "horizontalVisibility=8000/9000"], [[2, 5], [2], [2], [2]]),
    ([OKPR], ["--subsets", "%s=4.8" % HEIGHT], [[0], [0], [0], []]),  # any of the key's items
    ([OKPR], ["--subsets", "%s!=1.95" % HEIGHT], [list(range(7))] * 4),  # all: copied as they are
    ([SYNOP, OKPR], ["-w", "numberOfSubsets=7", "--subsets", "stationNumber!=423,stationNumber!=782"],
     [[]] + [[1, 2, 3, 4, 5]] * 4),
    ([AMSUA], ["--subsets", "fieldOfViewNumber=1/30"],
     [[0, 29, 30, 59, 60, 89, 90, 119, 120], [21, 22, 51, 52, 81, 82, 111, 112], [13, 14, 43, 44, 73, 74, 103, 104],
      [5, 6, 35]]),
])
def test_copy_subsets(tmp_path, paths, args, kept):
    import corvena

    made = tmp_path / "kept.bufr"
    out = run("copy", *args, *paths, str(made))
    assert out.returncode == 0
    old = [m for path in paths for m in corvena.read(path)]
    assert len(kept) == len(old)
    chosen = [(m, k) for m, k in zip(old, kept) if k]
    new = list(corvena.read(str(made))) if chosen else []
    assert len(new) == len(chosen) and made.read_bytes() == b"".join(m.data for m in new)
    for b, (a, k) in zip(new, chosen):
        subsets = a.subsets()
        assert [_said(items) for items in b.subsets()] == [_said(subsets[n]) for n in k]
        assert b.compressed_data == a.compressed_data
        assert (b.data == a.data) == (len(k) == len(subsets))
    if chosen:
        assert out.stderr == ""
        key = args[-1].split(",")[0].partition("=")[0].rstrip("!")
        assert _eccodes_values(str(made), key) == [pytest.approx(values) for values in _values(new, key)]
    else:
        total = sum(m.number_of_subsets for m in old)
        assert out.stderr.startswith("corvena: warning: --subsets: no subset matched (0 of %d subsets in 1 message "
                                     "kept)" % total)
        assert ("; no subset holds stationNumbr" in out.stderr) == ("stationNumbr=27" in args)


# ---- compare ---------------------------------------------------------------


def _set(tmp_path, what, source=SYNOP):
    tool = shutil.which("bufr_set")
    if tool is None:
        pytest.skip("bufr_set is not installed")
    made = tmp_path / "changed.bufr"
    subprocess.run([tool, "-s", what, source, str(made)], check=True, capture_output=True, timeout=120)
    return str(made)


@pytest.mark.parametrize("path", [SYNOP, AMSUA, DWD, os.path.join(MESSAGES, "tropical_cyclone.bufr")])
def test_compare_a_file_with_itself(path):
    out = run("compare", path, path)
    assert out.returncode == 0 and out.stdout == out.stderr == ""


@pytest.mark.parametrize("name", ["aaen_55.bufr", "tropical_cyclone.bufr", "ISMD01_OKPR.bufr", "synop_wigos.bufr"])
def test_compare_decodes_what_differs_in_its_octets(tmp_path, name):
    # A header field changed: the messages are decoded and compared item by
    # item (compressed ones too), and only that field differs.
    import corvena

    path = os.path.join(MESSAGES, name)
    out = run("compare", path, _set(tmp_path, "updateSequenceNumber=5", path))
    assert out.stdout.splitlines() == ["message %d updateSequenceNumber: %d != 5" % (m.index, m.update_sequence_number)
                                       for m in corvena.read(path)]
    assert out.returncode == 1 and out.stderr == ""


@pytest.mark.parametrize("change, options, lines", [
    ("unpack=1,#3#airTemperature:d=280.15,pack=1", [],
     ["message 0 subset 3 #1#airTemperature: 275.25 != 280.15"]),
    ("unpack=1,#3#airTemperature:d=280.15,pack=1", ["--tolerance", "4.89"],
     ["message 0 subset 3 #1#airTemperature: 275.25 != 280.15"]),
    ("unpack=1,#3#airTemperature:d=280.15,pack=1", ["--tolerance", "4.91"], []),
    ("unpack=1,#2#stationOrSiteName=OSLO,pack=1", [],
     ['message 0 subset 2 #1#stationOrSiteName: "PASVIK" != "OSLO"']),
    ("bufrHeaderCentre=99", [], ["message 0 bufrHeaderCentre: 88 != 99"]),
    ("typicalDay=27", [], ["message 0 typicalDay: 26 != 27", 'message 0 typicalDate: "20150126" != "20150127"']),
])
def test_compare_names_what_differs(tmp_path, change, options, lines):
    out = run("compare", *options, SYNOP, _set(tmp_path, change))
    assert out.stdout.splitlines() == lines and out.stderr == ""
    assert out.returncode == (1 if lines else 0)


def test_compare_counts_messages_and_missing_values(tmp_path):
    import corvena

    fewer = tmp_path / "fewer.bufr"
    corvena.write(fewer, list(corvena.read(AMSUA))[:2])
    out = run("compare", AMSUA, str(fewer))
    assert out.returncode == 1 and out.stdout == "messages: 4 != 2\n"
    # A value made missing: one line, the same in the other direction.
    changed = _set(tmp_path, "unpack=1,#1#airTemperature=2147483647,pack=1")
    out = run("compare", SYNOP, changed)
    assert out.returncode == 1 and out.stdout == "message 0 subset 1 #1#airTemperature: 276.45 != missing\n"
    assert run("compare", changed, SYNOP).stdout == "message 0 subset 1 #1#airTemperature: missing != 276.45\n"


@pytest.mark.parametrize("args, status, text", [
    (["compare", SYNOP], 2, "usage:"),
    (["compare", "--tolerance", "-1", SYNOP, SYNOP], 2, "--tolerance: a number of 0 or more"),
    (["compare", "--tolerance", "x", SYNOP, SYNOP], 2, "invalid float value"),
    (["compare", SYNOP, "/nonexistent.bufr"], 1, "/nonexistent.bufr: No such file or directory"),
])
def test_compare_errors(args, status, text):
    out = run(*args)
    assert out.returncode == status and text in out.stderr and out.stdout == ""
