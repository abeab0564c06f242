"""The command-line tool python -m corvena."""

import os
import subprocess
import sys

from conftest import MESSAGES, WMO_CSV


def run(*args):
    return subprocess.run([sys.executable, "-m", "corvena", *args], capture_output=True, text=True, timeout=300)


def test_lists_and_decodes_a_real_file(definitions):
    path = os.path.join(MESSAGES, "synop_multi_subset_uncompressed.bufr")
    out = run(path)
    assert out.returncode == 0, out.stderr
    assert out.stdout.startswith(path + ": 1 message(s)")
    assert "number_of_subsets=12" in out.stdout and "time=2015-01-26 10:00:00" in out.stdout
    assert "001015 STATION OR SITE NAME = 'TROMSO-HOLT'" in out.stdout
    wmo = run("--wmo-csv", WMO_CSV, path)
    assert wmo.returncode == 0 and "'TROMSO-HOLT'" in wmo.stdout


def test_framing_only_and_failures(tmp_path):
    multi = os.path.join(MESSAGES, "Z__C_EDZW_20210516120400_bda01_synop_bufr_GER_999999_999999__MW_466.bufr")
    out = run("--no-values", multi)
    assert out.returncode == 0 and out.stdout.count("  message ") == 44
    bad = os.path.join(MESSAGES, "uegabe.bufr")
    out = run("--no-values", multi, bad, str(tmp_path / "missing.bufr"))
    assert out.returncode == 1
    assert "uegabe.bufr: error: section 3 descriptor area has odd byte count" in out.stderr
    assert "missing.bufr: error: No such file or directory (os error 2)" in out.stderr
    assert out.stdout.count("  message ") == 44
    out = run("--tables", str(tmp_path), multi)
    assert out.returncode == 2 and out.stderr.startswith("error: tables: csv/table parse error: ")
