"""The command-line tool: corvena ls, dump and get."""

import csv
import io
import json
import os
import pathlib
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
                                  ["dump", "--json", AMSUA], ["get", "--keys", "airTemperature", SYNOP]])
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
