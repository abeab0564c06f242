"""Header keys set in place: Message.replace(header=...) and `corvena set`,
against ecCodes' bufr_set for editions 2, 3 and 4."""

import os
import re
import shutil
import subprocess
import sys

import pytest

import corvena
from conftest import MESSAGES
from corvena._frame.headers import KNOWN, header_keys

SYNOP = os.path.join(MESSAGES, "synop_multi_subset_uncompressed.bufr")


def run(*args):
    return subprocess.run([sys.executable, "-m", "corvena", *args], capture_output=True, text=True, timeout=300)


@pytest.fixture(scope="module")
def editions(tmp_path_factory):
    """The SYNOP in editions 4, 3 (made by bufr_set) and 2. bufr_set's
    edition 2 is a message ecCodes itself does not read, so edition 2 is
    made from edition 3: the centre in 16 bits where edition 3 has
    sub-centre and centre, section 1 padded to an even length."""
    tool = shutil.which("bufr_set")
    if tool is None:
        pytest.skip("bufr_set is not installed")
    folder = tmp_path_factory.mktemp("editions")
    three = folder / "3.bufr"
    subprocess.run([tool, "-s", "edition=3", SYNOP, str(three)], check=True, capture_output=True, timeout=120)
    data = three.read_bytes()
    size = int.from_bytes(data[8:11], "big")
    s1 = bytearray(data[8 : 8 + size]) + b"\0"
    s1[0:3], s1[4:6] = len(s1).to_bytes(3, "big"), bytes([0, s1[5]])
    rest = data[8 + size :]
    two = folder / "2.bufr"
    two.write_bytes(b"BUFR" + (8 + len(s1) + len(rest)).to_bytes(3, "big") + b"\x02" + s1 + rest)
    return {4: SYNOP, 3: str(three), 2: str(two)}


def _bufr_set(settings, source, made):
    subprocess.run(["bufr_set", "-s", settings, source, str(made)], check=True, capture_output=True, timeout=120)
    return made.read_bytes()


# key, value, what bufr_set is given for the same change (editions 2 and 3:
# a year of century; typicalDate and typicalTime are read-only there), the
# editions that hold the key.
SETTABLE = [
    ("bufrHeaderCentre", 80, "bufrHeaderCentre=80", (2, 3, 4)),
    ("bufrHeaderCentre", 300, "bufrHeaderCentre=300", (2, 4)),
    ("bufrHeaderSubCentre", 3, "bufrHeaderSubCentre=3", (3, 4)),
    ("updateSequenceNumber", 2, "updateSequenceNumber=2", (2, 3, 4)),
    ("dataCategory", 7, "dataCategory=7", (2, 3, 4)),
    ("internationalDataSubCategory", 5, "internationalDataSubCategory=5", (4,)),
    ("dataSubCategory", 9, "dataSubCategory=9", (2, 3, 4)),
    ("masterTablesVersionNumber", 15, "masterTablesVersionNumber=15", (2, 3, 4)),
    ("localTablesVersionNumber", 1, "localTablesVersionNumber=1", (2, 3, 4)),
    ("typicalYear", 2019, "typicalYear=2019", (4,)),
    ("typicalYear", 2019, "typicalYearOfCentury=19", (2, 3)),
    ("typicalYearOfCentury", 19, "typicalYearOfCentury=19", (2, 3)),
    ("typicalMonth", 3, "typicalMonth=3", (2, 3, 4)),
    ("typicalDay", 5, "typicalDay=5", (2, 3, 4)),
    ("typicalHour", 7, "typicalHour=7", (2, 3, 4)),
    ("typicalMinute", 8, "typicalMinute=8", (2, 3, 4)),
    ("typicalSecond", 9, "typicalSecond=9", (4,)),
    ("typicalDate", "20190305", "typicalYear=2019,typicalMonth=3,typicalDay=5", (4,)),
    ("typicalDate", "20190305", "typicalYearOfCentury=19,typicalMonth=3,typicalDay=5", (2, 3)),
    ("typicalTime", "070809", "typicalHour=7,typicalMinute=8,typicalSecond=9", (4,)),
    ("typicalTime", "070800", "typicalHour=7,typicalMinute=8", (2, 3)),
]
CASES = [pytest.param(edition, key, value, oracle, id="%d-%s=%s" % (edition, key, value))
         for key, value, oracle, held in SETTABLE for edition in held]


@pytest.mark.parametrize("edition, key, value, oracle", CASES)
def test_set_gives_the_octets_bufr_set_gives(editions, tmp_path, edition, key, value, oracle):
    path = editions[edition]
    old = next(corvena.read(path))
    new = old.replace(header={key: value})
    # bufr_set changes these fields in place too: the octets are the same.
    assert new.data == _bufr_set(oracle, path, tmp_path / "ecc.bufr")
    keys = header_keys(new)
    if key in keys:
        assert keys[key] == value
    assert (new.typical_year, new.typical_second) == ((2019 if "Year" in key or key == "typicalDate" else 2015),
                                                      (9 if key in ("typicalSecond", "typicalTime") and edition == 4
                                                       else old.typical_second))
    # The command writes the same, and compare finds only header keys changed.
    out = run("set", "-s", "%s=%s" % (key, value), path, str(tmp_path / "set.bufr"))
    assert out.returncode == 0 and out.stderr == ""
    assert (tmp_path / "set.bufr").read_bytes() == new.data
    lines = run("compare", path, str(tmp_path / "set.bufr")).stdout.splitlines()
    assert lines and all(re.match(r"message 0 (\w+): ", line).group(1) in KNOWN for line in lines), lines
    assert [i.value for i in new.items()] == [i.value for i in old.items()]


@pytest.mark.parametrize("edition", [2, 3, 4])
def test_read_bufr_gives_the_new_header(editions, tmp_path, edition):
    pytest.importorskip("pandas")
    made = tmp_path / "new.bufr"
    corvena.write(made, [m.replace(header={"typicalDate": "20190305", "bufrHeaderCentre": 80})
                         for m in corvena.read(editions[edition])])
    old = corvena.read_bufr(editions[edition], ["typicalYear", "typicalMonth", "typicalDay", "bufrHeaderCentre",
                                                "airTemperature"])
    new = corvena.read_bufr(str(made), ["typicalYear", "typicalMonth", "typicalDay", "bufrHeaderCentre",
                                        "airTemperature"])
    assert new[["typicalYear", "typicalMonth", "typicalDay", "bufrHeaderCentre"]].drop_duplicates().values.tolist() \
        == [[2019, 3, 5, 80]]
    assert new["airTemperature"].tolist() == old["airTemperature"].tolist() and len(new) == 12


BAD = [
    (4, {"typicalMonth": 13}, ValueError, "typicalMonth=13: out of its range 1..12"),
    (3, {"typicalMonth": 0}, ValueError, "typicalMonth=0: out of its range 1..12"),
    (4, {"typicalHour": 24}, ValueError, "typicalHour=24: out of its range 0..23"),
    (2, {"typicalMinute": 60}, ValueError, "typicalMinute=60: out of its range 0..59"),
    (4, {"typicalSecond": 60}, ValueError, "typicalSecond=60: out of its range 0..59"),
    (4, {"typicalDay": 31, "typicalMonth": 2}, ValueError, "typicalDay=31, typicalMonth=2: 2015-02-31 is no date"),
    (3, {"typicalDate": "20190230"}, ValueError, "typicalDate='20190230': 2019-02-30 is no date"),
    (4, {"typicalDate": "2019035"}, ValueError, "typicalDate='2019035': 8 digits are needed"),
    (4, {"typicalDate": "20190305", "typicalDay": 6}, ValueError, "typicalDay=6: typicalDate sets typicalDay to 5"),
    (3, {"typicalTime": "070809"}, ValueError, "typicalTime='070809': an edition 3 message has no second"),
    (3, {"typicalYear": 1999}, ValueError, "typicalYear=1999: an edition 3 message holds a year of 2000 to 2099"),
    (2, {"typicalYear": 2100}, ValueError, "typicalYear=2100: an edition 2 message holds a year of 2000 to 2099"),
    (3, {"typicalYearOfCentury": 100}, ValueError, "typicalYearOfCentury=100: out of its range 0..99"),
    (4, {"typicalYear": 65536}, ValueError, "typicalYear=65536: does not fit its 16 bits in an edition 4 message"),
    (3, {"bufrHeaderCentre": 256}, ValueError, "bufrHeaderCentre=256: does not fit its 8 bits in an edition 3"),
    (4, {"bufrHeaderCentre": 65536}, ValueError, "bufrHeaderCentre=65536: does not fit its 16 bits"),
    (4, {"dataCategory": 256}, ValueError, "dataCategory=256: does not fit its 8 bits"),
    (4, {"dataCategory": "x"}, ValueError, "dataCategory='x': a whole number is needed"),
    (4, {"dataCategory": -1}, ValueError, "dataCategory=-1: out of its range 0..255"),
    (3, {"typicalSecond": 5}, ValueError, "typicalSecond cannot be set: an edition 3 message has no such field"),
    (2, {"bufrHeaderSubCentre": 5}, ValueError, "bufrHeaderSubCentre cannot be set: an edition 2 message has no"),
    (3, {"internationalDataSubCategory": 5}, ValueError, "internationalDataSubCategory cannot be set: an edition 3"),
    (4, {"typicalYearOfCentury": 19}, ValueError, "typicalYearOfCentury cannot be set: an edition 4 message"),
    (4, {"numberOfSubsets": 2}, ValueError, "numberOfSubsets cannot be set: it is in section 3"),
    (4, {"observedData": 0}, ValueError, "observedData cannot be set: it is in section 3"),
    (3, {"compressedData": 1}, ValueError, "compressedData cannot be set: it is in section 3"),
    (4, {"edition": 3}, ValueError, "edition cannot be set"),
    (4, {"rdbType": 1}, ValueError, "rdbType cannot be set: it is not a field of section 1"),
    (4, {"typicalMnth": 3}, KeyError, "unknown header key 'typicalMnth' (closest: typicalMonth"),
]


@pytest.mark.parametrize("edition, header, error, text", BAD, ids=[str(case[1]) for case in BAD])
def test_bad_settings_change_nothing(editions, tmp_path, edition, header, error, text):
    path = editions[edition]
    old = next(corvena.read(path))
    with pytest.raises(error) as raised:
        old.replace(header=header)
    assert text in raised.value.args[0]
    # The command says so, naming the file and message, and writes nothing.
    # A key outside the header it takes for a data key, which the message
    # does not hold either.
    settings = ",".join("%s=%s" % item for item in header.items())
    out = run("set", "-s", settings, path, str(tmp_path / "out.bufr"))
    assert out.returncode == 1 and out.stderr.startswith("corvena: error: %s: message 0: " % path)
    assert os.listdir(tmp_path) == []
    if error is KeyError:
        assert "unknown key %r: neither a header key nor a data key of the message (closest: typicalMonth" \
            % next(iter(header)) in out.stderr
    else:
        assert text in out.stderr


def test_set_every_message_to_standard_output_and_past_errors(tmp_path):
    # Every message of every input; --continue-on-error leaves out the ones
    # that cannot take a value (edition 3's 8-bit centre), naming them.
    amsua = os.path.join(MESSAGES, "aaen_55.bufr")
    out = subprocess.run([sys.executable, "-m", "corvena", "set", "-s", "updateSequenceNumber=3", SYNOP, amsua, "-"],
                         capture_output=True, timeout=300)
    assert out.returncode == 0
    written = list(corvena.read(out.stdout))
    assert [m.update_sequence_number for m in written] == [3] * 5
    assert [m.data for m in written] == [m.replace(header={"updateSequenceNumber": 3}).data
                                         for path in (SYNOP, amsua) for m in corvena.read(path)]
    three = tmp_path / "3.bufr"
    subprocess.run(["bufr_set", "-s", "edition=3", SYNOP, str(three)], check=True, capture_output=True, timeout=120) \
        if shutil.which("bufr_set") else pytest.skip("bufr_set is not installed")
    made = tmp_path / "out.bufr"
    out = run("set", "--continue-on-error", "-s", "bufrHeaderCentre=300", str(three), SYNOP, str(made))
    assert out.returncode == 1
    assert out.stderr == "corvena: error: %s: message 0: bufrHeaderCentre=300: does not fit its 8 bits in an " \
                         "edition 3 message\n" % three
    assert [m.originating_centre for m in corvena.read(str(made))] == [300]
