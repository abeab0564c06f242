"""corvena.read: files, messages, subsets, keys, errors and pickling."""

import datetime
import io
import importlib.util
import os
import pathlib
import pickle
import subprocess
import sys
import warnings

import pytest

import corvena
from conftest import MESSAGES

DWD = os.path.join(MESSAGES, "Z__C_EDZW_20210516120400_bda01_synop_bufr_GER_999999_999999__MW_466.bufr")
SYNOP = os.path.join(MESSAGES, "synop_multi_subset_uncompressed.bufr")
AMSUA = os.path.join(MESSAGES, "aaen_55.bufr")
UTC = datetime.timezone.utc


def test_sources_give_the_same_messages():
    data = pathlib.Path(AMSUA).read_bytes()
    forms = [AMSUA, pathlib.Path(AMSUA), data, bytearray(data), io.BytesIO(data)]
    framed = [[(m.index, m.data) for m in corvena.read(form)] for form in forms]
    assert all(f == framed[0] for f in framed) and len(framed[0]) == 4
    assert data.startswith(framed[0][0][1])
    assert [m.source for m in corvena.read(data)] == ["<bytes>"] * 4
    with pytest.raises(TypeError):
        list(corvena.read(io.StringIO("BUFR")))
    with pytest.raises(FileNotFoundError):
        corvena.read(os.path.join(MESSAGES, "missing.bufr"))


@pytest.mark.parametrize(
    "path, count, index, centre, category, subsets, compressed, when",
    [
        (DWD, 44, 0, 78, 0, 25, False, datetime.datetime(2021, 5, 16, 12, 0, tzinfo=UTC)),
        (SYNOP, 1, 0, 88, 0, 12, False, datetime.datetime(2015, 1, 26, 10, 0, tzinfo=UTC)),
        (os.path.join(MESSAGES, "compress_3.bufr"), 3, 2, 98, 3, 128, True, datetime.datetime(2015, 8, 21, 2, 0, 45, tzinfo=UTC)),
    ],
)
def test_header_fields(path, count, index, centre, category, subsets, compressed, when):
    messages = list(corvena.read(path))
    assert len(messages) == count
    m = messages[index]
    assert (m.index, m.originating_centre, m.data_category, m.number_of_subsets, m.compressed_data) == (
        index, centre, category, subsets, compressed)
    assert m.typical_time == when
    assert len(m.data) == m.total_length and m.data.startswith(b"BUFR") and m.data.endswith(b"7777")


def truncated_second_message():
    data = pathlib.Path(AMSUA).read_bytes()
    second = next(m for m in corvena.read(data) if m.index == 1)
    cut = data.index(second.data) + 100
    return data[:cut]


def test_truncated_second_message_keeps_the_first(tmp_path):
    data = truncated_second_message()
    assert [m.index for m in corvena.read(data, errors="skip")] == [0]
    with pytest.warns(corvena.ReadWarning, match=r"<bytes>: message 1: .*truncated"):
        assert len(list(corvena.read(data, errors="warn"))) == 1
    path = tmp_path / "cut.bufr"
    path.write_bytes(data)
    got = []
    with pytest.raises(corvena.ReadError) as caught:
        for m in corvena.read(path):
            got.append(len(m.items()))
    assert got == [len(next(corvena.read(AMSUA)).items())]
    assert (caught.value.source, caught.value.index) == (str(path), 1)
    assert str(caught.value).startswith(str(path) + ": message 1: ")
    seen = []
    assert len(list(corvena.read(data, errors=seen.append))) == 1 and seen[0].index == 1
    with pytest.raises(ValueError):
        corvena.read(data, errors="ignore")


def two_messages():
    messages = list(corvena.read(AMSUA))
    return messages[0].data, messages[1].data


def section0_claiming(length):
    return b"BUFR" + length.to_bytes(3, "big") + b"\x04" + bytes(40)


# What may lie between two good messages, and how many failures it is.
DAMAGE = [
    ("truncated message", lambda a: a[:200], 1),
    ("message cut before its length", lambda a: a[:6], 1),
    ("stray marker text", lambda a: b"...BUFR..." * 3, 3),
    ("section 0 claiming 16 MB", lambda a: section0_claiming((1 << 24) - 1), 1),
    ("section 0 claiming 0 octets", lambda a: section0_claiming(0), 1),
    ("end marker missing", lambda a: a[:-4] + b"7778", 1),
    ("sections inconsistent, end marker in place", lambda a: a[:8] + b"\xff\xff\xff" + a[11:], 1),
    ("edition 1 message", lambda a: a[:7] + b"\x01" + a[8:], 1),
    ("random bytes", lambda a: bytes(range(256)) * 4, 0),
    ("nothing", lambda a: b"", 0),
]


@pytest.mark.parametrize("damage, failures", [(d[1], d[2]) for d in DAMAGE], ids=[d[0] for d in DAMAGE])
def test_every_message_after_damage_is_delivered(damage, failures):
    a, b = two_messages()
    data = a + damage(a) + b + a
    assert [m.data for m in corvena.read(data, errors="skip")] == [a, b, a]
    seen = []
    got = list(corvena.read(data, errors=seen.append))
    assert [m.data for m in got] == [a, b, a] and len(seen) == failures
    # Indices are places in the file: a failure keeps its own.
    assert [m.index for m in got] == [0, failures + 1, failures + 2]
    assert [e.index for e in seen] == list(range(1, failures + 1))
    with warnings.catch_warnings(record=True) as warned:
        warnings.simplefilter("always")
        assert len(list(corvena.read(data, errors="warn"))) == 3
    assert [w.category for w in warned] == [corvena.ReadWarning] * failures
    if failures:
        got = []
        with pytest.raises(corvena.ReadError) as caught:
            for m in corvena.read(data):
                got.append(m.data)
        assert got == [a] and caught.value.index == 1


@pytest.mark.parametrize("block", [1000, 4099, 65536])
def test_reading_in_blocks_finds_what_reading_whole_finds(tmp_path, monkeypatch, block):
    # Every kind of damage, real messages larger than a block, and noise:
    # whatever a block's end cuts is found as if the file were read whole.
    a, b = two_messages()
    data = b"noise" + b"".join(a + damage(a) + b for _, damage, _ in DAMAGE) + pathlib.Path(AMSUA).read_bytes() + b"BU"
    path = tmp_path / "many.bufr"
    path.write_bytes(data)

    def found(source):
        failures = []
        got = [(m.index, m.data) for m in corvena.read(source, errors=failures.append)]
        return got, [(e.index, str(e)) for e in failures]

    whole = found(str(path))
    monkeypatch.setattr(corvena._reader, "READ_BLOCK", block)
    assert found(str(path)) == whole
    with open(path, "rb") as stream:
        assert found(stream) == (whole[0], [(i, t.replace(str(path), stream.name)) for i, t in whole[1]])
    assert len(whole[0]) == 2 * len(DAMAGE) + len(list(corvena.read(AMSUA))) and len(whole[1]) == sum(d[2] for d in DAMAGE)


@pytest.mark.skipif(bool(os.environ.get("CORVENA_SANITIZED")), reason="the sanitizers hold freed memory in quarantine")
def test_reading_a_large_file_keeps_memory_flat(tmp_path):
    # 200 MB of messages: read whole, the file alone would add as much.
    chunk = b"".join(pathlib.Path(p).read_bytes() for p in (DWD, SYNOP, AMSUA))
    path = tmp_path / "large.bufr"
    with open(path, "wb") as f:
        for _ in range((200 << 20) // len(chunk)):
            f.write(chunk)

    def resident():
        with open("/proc/self/statm") as statm:
            return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")

    before, peak, count = resident(), 0, 0
    for message in corvena.read(str(path)):
        count += 1
        if count % 500 == 0:
            peak = max(peak, resident() - before)
    assert count > 10000 and peak < 100 << 20, peak
    # The command and the frame reader, each in a process of its own beside
    # one that only imports what it does. Their peaks differ by what they
    # hold at once (blocks, a chunk of decoded messages, the rows), which
    # does not grow with the file: read whole, the file would add 200 MB.
    run = ("import importlib.util, resource, runpy, sys\nimport corvena\nif importlib.util.find_spec('pandas'):\n    import pandas\n"
           "if sys.argv[1] == 'frame':\n"
           "    corvena.read_bufr(sys.argv[2], ['stationNumber'])\nelif sys.argv[1] != 'none':\n"
           "    sys.argv = ['corvena'] + sys.argv[1:]\n    sys.stdout = open(__import__('os').devnull, 'w')\n"
           "    try:\n        runpy.run_module('corvena', run_name='__main__', alter_sys=True)\n"
           "    except SystemExit:\n        pass\nsys.stderr.write(str(resource.getrusage(resource.RUSAGE_SELF).ru_maxrss))")
    peaks = {}
    runs = [["none"], ["ls", str(path)]]
    if importlib.util.find_spec("pandas"):
        runs += [["frame", str(path)], ["get", "--columns", "stationNumber", str(path)]]
    for what in runs:
        out = subprocess.run([sys.executable, "-c", run] + what, capture_output=True, text=True, timeout=600)
        peaks[what[0]] = int(out.stderr.split()[-1]) << 10  # KiB
    path.unlink()
    assert all(p - peaks["none"] < 300 << 20 for p in peaks.values()), peaks


@pytest.mark.parametrize("content, words", [
    (b"", "no BUFR message found$"),
    (bytes(range(256)) * 8, "no BUFR message found$"),
    (b"\x1f\x8b\x08\x00" + bytes(64), "gzip-compressed; decompress it first"),
])
def test_a_source_without_messages_is_an_error(tmp_path, content, words):
    path = tmp_path / "none.bufr"
    path.write_bytes(content)
    with pytest.raises(corvena.ReadError, match=words) as caught:
        list(corvena.read(path))
    assert str(caught.value).startswith(str(path) + ": no BUFR message") and caught.value.index is None
    seen = []
    assert list(corvena.read(content, errors=seen.append)) == [] and len(seen) == 1
    assert list(corvena.read(content, errors="skip")) == []


def test_section4_failures_say_what_failed():
    a, _ = two_messages()
    short = bytearray(a)
    # Section 4 cut to its first octets (its length and the end marker kept consistent).
    m = next(corvena.read(a))
    keep = m.section4_data_offset + 2
    cut = bytes(short[:keep]) + b"7777"
    cut = cut[:4] + len(cut).to_bytes(3, "big") + cut[7:]
    s4 = m.section4_data_offset - 4
    cut = cut[:s4] + (len(cut) - 4 - s4).to_bytes(3, "big") + cut[s4 + 3:]
    message = next(corvena.read(cut))
    with pytest.raises(corvena.ReadError, match=r"<bytes>: message 0: cannot decode section 4: not enough bits") as caught:
        message.items()
    assert "csv/table parse error" not in str(caught.value)
    with pytest.raises(corvena.ReadError, match="cannot decode section 4: not enough bits"):
        message.subsets()


def old_section1(edition):
    """Section 1 of edition 2 or 3 laid out by hand: centre 98 (in 16 bits
    for edition 2, 8 for edition 3), sub-centre 7 (edition 3 only), update
    1, no section 2, category 2, sub-category 9, tables 38/0, 2024-05-16
    12:30 (year of century 24)."""
    centre = (b"\x00\x62" if edition == 2 else b"\x07\x62")  # edition 3: sub-centre, then centre
    body = b"\x00" + centre + bytes([1, 0, 2, 9, 38, 0, 24, 5, 16, 12, 30, 0])
    return (len(body) + 3).to_bytes(3, "big") + body


@pytest.mark.parametrize("edition, subcentre", [(2, None), (3, 7)])
def test_editions_2_and_3(tmp_path, edition, subcentre):
    from bufr_build import Bits, message, table_dir

    tables = corvena.TableSet.from_eccodes(table_dir(tmp_path / "t", elements=[
        (1001, "WMO BLOCK NUMBER", "Numeric", 0, 0, 7), (12101, "TEMPERATURE", "K", 2, 0, 16)]))
    data = Bits().put(10, 7).put(27315, 16).put(11, 7).put(27415, 16)
    four = next(corvena.read(message([1001, 12101], data, subsets=2), tables=tables))
    old = message([1001, 12101], data, subsets=2, edition=edition, s1=old_section1(edition))
    m = next(corvena.read(old, tables=tables))
    assert m.data == old and m.edition4_data != old and m.total_length == len(old)
    assert (m.edition, m.originating_centre, m.originating_subcentre, m.update_sequence_number, m.data_category,
            m.local_data_subcategory, m.international_data_subcategory, m.master_tables_version_number,
            m.typical_second) == (edition, 98, subcentre, 1, 2, 9, None, 38, None)
    assert m.typical_time == datetime.datetime(2024, 5, 16, 12, 30, tzinfo=UTC)
    assert m.section1_length == len(old_section1(edition))
    assert old[m.section4_data_offset:][:4] == four.data[four.section4_data_offset:][:4]
    assert [s.values(1001) for s in m.subsets()] == [[10], [11]]
    assert m.items() == four.items() and m.get("012101") == 273.15
    assert pickle.loads(pickle.dumps(m)).items() == m.items()
    from corvena.arrays import decode_arrays, decode_many

    assert decode_arrays(old, tables).values.tolist() == decode_arrays(four.data, tables).values.tolist()
    assert decode_many([old, four.data], tables)[0].raw.tolist() == decode_arrays(four.data, tables).raw.tolist()


@pytest.mark.parametrize("path", [DWD, AMSUA])
def test_a_message_is_decoded_once(monkeypatch, path):
    import _corvena

    from corvena import _ext
    from corvena._dump import message_json
    from corvena._frame.messages import decode

    calls = []

    def counted(name, fn):
        def wrapper(*args):
            calls.append(name)
            return fn(*args)
        return wrapper

    for module, name in [(_ext, "decode_arrays"), (_ext, "decode_many"), (_corvena, "decode_values_with_tables")]:
        monkeypatch.setattr(module, name, counted(name, getattr(module, name)))
    m = list(corvena.read(path))[1]
    values, items, subsets = m.decoded_values(), m.items(), m.subsets()
    m.get("latitude"), m.values("longitude"), subsets[-1].get("latitude"), pickle.dumps(m)
    m.arrays().values, message_json(m), decode([m], 1)  # what the row builder decodes with
    if importlib.util.find_spec("pandas"):  # the sanitizer run has no pandas
        corvena.read_bufr(m, ["latitude"])
    assert calls == ["decode_arrays"]
    assert sum(len(s) for s in subsets) == len(items) == len(values) and len(subsets) == m.number_of_subsets


def test_tables_are_loaded_once_per_process(tmp_path):
    # A loop of corvena.read over many files loads each set of tables once.
    for tables in (None, corvena.SHIPPED_TABLES):
        first = next(corvena.read(SYNOP, tables=tables)).tables
        assert next(corvena.read(pathlib.Path(SYNOP).read_bytes(), tables=tables)).tables is first
    assert next(corvena.read(SYNOP, tables=corvena.Tables(corvena.SHIPPED_TABLES))).tables is not first


def test_missing_text_is_missing_everywhere(tmp_path):
    import json
    import subprocess
    import sys

    from bufr_build import Bits, message, table_dir

    d = table_dir(tmp_path / "t", elements=[(1015, "STATION NAME", "CCITT IA5", 0, 0, 32),
                                            (1001, "BLOCK", "Numeric", 0, 0, 7)])
    path = tmp_path / "m.bufr"
    path.write_bytes(message([1015, 1001], Bits().ones(32).put(10, 7)))
    m = next(corvena.read(str(path), tables=d))
    assert [(i.descriptor, i.value) for i in m.items()] == [(1015, None), (1001, 10)]

    def cli(*args):
        out = subprocess.run([sys.executable, "-m", "corvena", *args, "--tables", d, str(path)],
                             capture_output=True, text=True, timeout=120)
        assert out.returncode == 0, out.stderr
        return out.stdout

    assert "001015 e001015 = missing" in cli("dump")
    assert json.loads(cli("dump", "--json"))[0]["subsets"][0][0]["value"] is None
    assert cli("get", "--keys", "001015,001001").splitlines()[1].endswith(",,10")


@pytest.mark.parametrize("edition", [0, 1, 5, 255])
def test_other_editions_are_named(edition):
    from bufr_build import message

    data = bytearray(message([1001], b"\0"))
    data[7] = edition
    with pytest.raises(corvena.ReadError, match="unsupported BUFR edition %d: corvena reads editions 2, 3 and 4"
                       % edition):
        list(corvena.read(bytes(data)))


def test_decoding_error_names_file_and_message():
    jason = os.path.join(MESSAGES, "jason2.bufr")
    message = next(corvena.read(jason))
    try:
        message.items()
    except corvena.ReadError as exc:
        assert str(exc).startswith(jason + ": message 0: ")
    else:  # decodes now: nothing to check about its error
        pass


def test_uncompressed_subsets_match_ecCodes():
    # Station numbers and names of each subset as ecCodes reports them
    # (it keeps the trailing blanks of names, corvena does not).
    m = next(corvena.read(DWD))
    subsets = m.subsets()
    assert len(subsets) == 25
    assert [s.get("stationNumber") for s in subsets][:8] == [33, 37, 38, 67, 126, 136, 172, 238]
    assert [s.get("stationOrSiteName") for s in subsets][-3:] == ["LECHFELD", "INGOLSTADT (FLUGPLAT", "ALTENSTADT"]
    assert sum(map(len, subsets)) == len(m.items()) and len({len(s) for s in subsets}) > 1
    for message in corvena.read(DWD):
        subsets = message.subsets()
        assert len(subsets) == message.number_of_subsets
        assert all(s[0].descriptor == subsets[0][0].descriptor and len(s.find("stationOrSiteName")) == 1 for s in subsets)


def test_compressed_subsets():
    m = next(corvena.read(AMSUA))
    subsets = m.subsets()
    assert len(subsets) == 128 and len({len(s) for s in subsets}) == 1
    assert [s.get("satelliteIdentifier") for s in subsets] == [m.get("satelliteIdentifier")] * 128
    assert len(set(s.get("latitude") for s in subsets)) > 100


def test_keys_values_and_units():
    m = next(corvena.read(SYNOP))
    first = m.subsets()[0]
    assert first.get("airTemperature") == first.get(12101) == first.get("012101") == 276.45
    assert first.find("airTemperature")[0].unit == "K"
    assert first.get("year") == 2015 and type(first.get("year")) is int
    assert first.get("stationOrSiteName") == "TROMSO-HOLT"
    assert first.get("pressure") is None and first.find("pressure")[0].missing
    heights = first.values("heightOfSensorAboveLocalGroundOrDeckOfMarinePlatform")
    assert heights[:3] == [2.0, None, 2.0] and first.get("#3#heightOfSensorAboveLocalGroundOrDeckOfMarinePlatform") == 2.0
    assert first.get("#99#airTemperature", "absent") == "absent" and first.get("noSuchKey") is None
    assert first.find("stationType")[0].meaning == "AUTOMATIC STATION"
    assert m.values("stationNumber") == [s.get("stationNumber") for s in m.subsets()]


@pytest.mark.parametrize("name", sorted(os.listdir(MESSAGES)))
def test_items_say_what_the_decoded_values_say(name):
    # Items are made natively, sharing what repeats; they must still hold
    # item for item what the DecodedValue records hold, whichever of
    # items() and subsets() comes first, and behave as the tuples they are.
    for first in ("items", "subsets"):
        for m in corvena.read(os.path.join(MESSAGES, name), errors="skip"):
            try:
                made = getattr(m, first)()
            except corvena.ReadError:
                continue
            subsets, items = m.subsets(), m.items()
            assert [i for s in subsets for i in s] == list(items) and (made is items or made is subsets)
            for item, value in zip(items, m.decoded_values()):
                assert (item.descriptor, item.name) == (value.descriptor, value.name)
                if item.raw is None:  # character data
                    assert item.value == (value.raw_text and value.raw_text.rstrip("\x00"))
                    continue
                assert item.raw == value.raw
                if type(item.value) is int:  # a whole number, also where a negative scale left it off by an ulp
                    assert item.value == round(value.raw_value)
                else:
                    assert item.value == value.raw_value or item.value is value.raw_value is None
                if value.raw_meaning is not None:  # a code figure's entry
                    assert item.meaning == value.raw_meaning
            if items:
                assert type(items[0]) is corvena.Item and hash(items[-1]) == hash(tuple(items[-1]))


@pytest.mark.parametrize(
    "key, value",
    [
        ("year", 2015),
        ("satelliteIdentifier", 64),
        ("latitude", -44.83389),
        ("nonCoordinatePressure", 8555.0),  # scale -1, but operator 207002 adds decimals
        ("#1#pressure", 12.0),
    ],
)
def test_value_types_follow_the_scale_in_force(key, value):
    subset = next(corvena.read(os.path.join(MESSAGES, "compress_3.bufr"))).subsets()[0]
    got = subset.get(key)
    assert got == value and type(got) is type(value)


def test_flag_table_meaning_is_per_bit():
    m = next(corvena.read(os.path.join(MESSAGES, "ISMD01_OKPR.bufr")))
    item = m.items().find("instrumentationForWindMeasurement")[0]
    assert (item.value, item.meaning) == (8, "CERTIFIED INSTRUMENTS")  # 1000: bit 1 of 4


def test_pickling_results():
    messages = list(corvena.read(DWD))[:3]
    messages[0].subsets()  # decoded before pickling; the others after
    for m in messages:
        back = pickle.loads(pickle.dumps(m))
        assert (back.source, back.index, back.data) == (m.source, m.index, m.data)
        assert back.subsets() == m.subsets() and back.tables_used == m.tables_used
        assert back.typical_time == m.typical_time
    items = messages[0].items()
    assert pickle.loads(pickle.dumps(items)) == items and isinstance(pickle.loads(pickle.dumps(items)), corvena.Items)
    error = corvena.ReadError("a.bufr", 3, "broken")
    assert str(pickle.loads(pickle.dumps(error))) == str(error)


def test_pickling_with_tables_given_as_a_tableset():
    tables = next(corvena.read(SYNOP)).tables
    m = next(corvena.read(SYNOP, tables=tables))
    back = pickle.loads(pickle.dumps(m))
    assert back.items() == m.items() and back.tables_used == "TableSet given by the caller"
