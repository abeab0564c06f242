"""Tables chosen per message, the shipped WMO tables, and keys."""

import os
import re
import subprocess
import sys

import pytest

import corvena
from conftest import DEFINITIONS, MESSAGES, WMO_CSV

DWD = os.path.join(MESSAGES, "Z__C_EDZW_20210516120400_bda01_synop_bufr_GER_999999_999999__MW_466.bufr")
SYNOP = os.path.join(MESSAGES, "synop_multi_subset_uncompressed.bufr")


def test_definitions_root_is_found_and_tables_are_loaded_once_per_key(monkeypatch, definitions):
    monkeypatch.delenv("ECCODES_DEFINITION_PATH", raising=False)
    tables = corvena.Tables()
    messages = list(corvena.read(DWD, tables=tables))
    keys = {(m.master_tables_version_number, m.local_tables_version_number) for m in messages}
    assert len(keys) == 2  # DWD local tables version 8 and none
    assert len({id(m.tables) for m in messages}) == 2
    assert all(m.tables_used.startswith("ecCodes definitions " + definitions) for m in messages)
    # A second file through the same Tables reuses what it loaded.
    again = next(corvena.read(DWD, tables=tables))
    assert again.tables is messages[0].tables


@pytest.mark.parametrize("setting", [["/nonexistent/definitions"], ["/nonexistent", "{root}"]])
def test_environment_definition_path(monkeypatch, definitions, setting):
    monkeypatch.setenv("ECCODES_DEFINITION_PATH", os.pathsep.join(s.format(root=definitions) for s in setting))
    with pytest.warns(RuntimeWarning, match="/nonexistent"):
        m = next(corvena.read(SYNOP))
    assert m.tables_used.startswith("ecCodes definitions " + definitions)


def test_missing_tables_root_falls_back_to_shipped_tables_and_says_so():
    with pytest.warns(RuntimeWarning, match="/nonexistent/root: not found"):
        m = next(corvena.read(SYNOP, tables="/nonexistent/root"))
    assert m.tables_used.startswith("shipped WMO BUFR4 tables") and "/nonexistent/root" in m.tables_used
    assert m.subsets()[0].get("stationOrSiteName") == "TROMSO-HOLT"


@pytest.mark.parametrize(
    "source, used",
    [
        (corvena.SHIPPED_TABLES, "shipped WMO BUFR4 tables"),
        (WMO_CSV, "WMO BUFR4 CSV tables " + WMO_CSV),
        (os.path.join(DEFINITIONS, "bufr", "tables", "0", "wmo", "38"), "ecCodes table directory "),
        (DEFINITIONS, "ecCodes definitions " + DEFINITIONS),
    ],
)
def test_table_sources(source, used):
    subset = next(corvena.read(SYNOP, tables=source)).subsets()[1]
    assert next(corvena.read(SYNOP, tables=source)).tables_used.startswith(used)
    assert subset.get(1002) == 84 and subset.get(12101) == 266.55
    assert subset.get("airTemperature") == 266.55 or subset.get("temperatureAirTemperature") == 266.55


def test_shipped_tables_decode_with_keys_units_and_meanings():
    m = next(corvena.read(SYNOP, tables=corvena.SHIPPED_TABLES))
    first = m.subsets()[0]
    station = first.find("typeOfStation")[0]
    assert (station.value, station.meaning, station.unit) == (0, "Automatic", "Code table")
    assert first.get("wmoBlockNumber") == 1 and first.get("latitudeHighAccuracy") == 69.6523
    assert first.find(12101)[0].unit == "K"


def test_shipped_tables_lack_local_tables_and_say_so():
    m = list(corvena.read(DWD, tables=corvena.SHIPPED_TABLES))[2]
    with pytest.raises(corvena.ReadError, match="local tables version 8 of centre 78"):
        m.items()


def test_shipped_tables_ship_with_their_licence():
    names = os.listdir(corvena.SHIPPED_TABLES)
    assert "LICENSE.md" in names
    for prefix in ("BUFRCREX_TableB_en_", "BUFR_TableD_en_", "BUFRCREX_CodeFlag_en_"):
        assert sorted(n for n in names if n.startswith(prefix)) == sorted(
            n for n in os.listdir(WMO_CSV) if n.startswith(prefix))


@pytest.mark.parametrize(
    "code, figure, meaning",
    [
        (2001, 1, "Manned"),  # a code table
        (1024, 8, "Reserved for future use"),  # inside a range "8-30"
        (1024, 30, "Reserved for future use"),
        (1036, 20000, None),  # a range of 36001 figures is left out
        (1036, 36001, "Australia, Bureau of Meteorology (BoM)"),
        (2002, 1, "Certified instruments"),  # a flag table, by bit number
        (2002, 4, None),  # "All 4": every bit set, missing
        (1007, 0, None),  # a pointer to a common code table
    ],
)
def test_wmo_code_and_flag_tables(code, figure, meaning):
    tables = corvena.load_wmo_code_tables(corvena.SHIPPED_TABLES)
    assert tables.get(code, {}).get(figure) == meaning


@pytest.mark.parametrize(
    "name, key",
    [
        ("Temperature/air temperature", "temperatureAirTemperature"),
        ("State of the ground (with or without snow)", "stateOfGroundWithOrWithoutSnow"),
        ("Satellite channel(s) used in computation", "satelliteChannelsUsedInComputation"),
        ("WMO block number", "wmoBlockNumber"),
        ("Height of sensor above local ground (or deck of marine platform)",
         "heightOfSensorAboveLocalGroundOrDeckOfMarinePlatform"),
        ("3-hour pressure change", "3HourPressureChange"),
    ],
)
def test_keys_derived_from_wmo_names(name, key):
    assert corvena.key_from_name(name) == key


def test_derived_keys_mostly_match_ecCodes_keys(definitions):
    ecc = corvena.TableSet.from_eccodes(os.path.join(definitions, "bufr", "tables", "0", "wmo", "38"))
    wmo = corvena.TableSet.from_bufr4_45(corvena.SHIPPED_TABLES)
    pairs = []
    for code in range(0, 64000):
        a, b = ecc.get_element(code), wmo.get_element(code)
        if a is not None and b is not None:
            pairs.append((corvena.key_from_name(b.name), a.abbreviation))
    same = sum(derived == key for derived, key in pairs)
    assert len(pairs) > 1500 and same / len(pairs) > 0.8


def test_bad_table_directory_is_an_error(tmp_path):
    (tmp_path / "element.table").write_text("not a table\n")
    with pytest.raises(ValueError):
        corvena.read(SYNOP, tables=tmp_path)


HIDE_SYSTEM_DEFINITIONS = "import corvena._tables as t\nt.DEBIAN_DEFINITIONS = '/nonexistent'\n"


def quick_start():
    """The README's quick start, on a real file."""
    readme = open(os.path.join(os.path.dirname(__file__), "..", "README.md")).read()
    code = re.search(r"## Quick start\n\n```python\n(.*?)```", readme, re.S).group(1)
    return code.replace('"observations.bufr"', repr(DWD))


def test_same_keys_and_values_without_system_definitions(tmp_path, definitions):
    # Python runs sitecustomize at start: there the system definitions are
    # hidden, as on a machine where corvena was installed by pip alone.
    (tmp_path / "sitecustomize.py").write_text(HIDE_SYSTEM_DEFINITIONS)
    script = quick_start() + """
import corvena
for path in %r:
    for m in corvena.read(path):
        print(m.tables_used.split(" (")[0])
        for item in m.items():
            print(item)
""" % ([os.path.join(MESSAGES, name) for name in ("aaen_55.bufr", "ISMD01_OKPR.bufr", "compress_3.bufr")],)
    env = {k: v for k, v in os.environ.items() if k != "ECCODES_DEFINITION_PATH"}
    outputs = []
    for hidden in (False, True):
        run_env = dict(env, CORVENA_CACHE_DIR=str(tmp_path / "cache"))
        if hidden:
            run_env["PYTHONPATH"] = str(tmp_path)
        out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, env=run_env,
                             timeout=300)
        assert out.returncode == 0 and out.stderr == "", out.stderr
        outputs.append(out.stdout.splitlines())
    with_system, without = outputs
    assert "ecCodes definitions " + definitions in with_system
    assert "ecCodes definitions shipped with corvena" in without
    assert [x for x in with_system if not x.startswith("ecCodes definitions")] == \
        [x for x in without if not x.startswith("ecCodes definitions")]
    assert len(with_system) > 100000
