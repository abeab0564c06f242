"""Encoding: every message this library decodes is encoded again to the
same items, and ecCodes reads what it writes as it reads the original;
values that do not fit are refused, naming the key, subset and reason."""

import json
import math
import os
import subprocess

import pytest

import corvena
from conftest import DEFINITIONS
from test_crosscheck_eccodes import cases, compare, compare_texts, oracle_python, run_oracle
from test_generated_corpus import COUNT, GENERATOR, SEED, generate

MESSAGES = "/work/shared/data/messages/"
HEADER = {"masterTablesVersionNumber": 38, "typicalDate": 20240102, "typicalTime": 30405, "bufrHeaderCentre": 98}


def first(data, tables=DEFINITIONS):
    return next(iter(corvena.read(data, tables=tables)))


def as_lists(message):
    return [[item.value for item in subset] for subset in message.subsets()]


def again(message, data):
    """`data` read back, with the tables of `message`."""
    return first(data, tables=message._tables)


@pytest.mark.parametrize("path,index,msg", cases())
def test_real_messages_encode_to_the_same_items(tmp_path, path, index, msg):
    message = first(msg)
    try:
        items = list(message.items())
    except corvena.ReadError:
        pytest.skip("not decoded here; the real-data tests confirm the cause")
    packed = message.compressed_data
    by_arrays = corvena.encode(message, message.unexpanded_descriptors, message.arrays(), compressed=packed)
    by_lists = corvena.encode(message, message.unexpanded_descriptors, as_lists(message), compressed=packed,
                              new_references=message.decoded().new_references())
    replaced = message.replace(compressed=packed)
    for data in (by_arrays, by_lists, replaced.data):
        assert list(again(message, data).items()) == items
    # ecCodes reads what was written as it reads the original.
    written = again(message, by_arrays)
    (tmp_path / "w.bufr").write_bytes(by_arrays)
    dump = run_oracle(tmp_path / "w.bufr")
    compare(written.tables, written.decoded_values(), dump)
    compare_texts(written.items(), dump)


@pytest.mark.parametrize("path,index,msg", cases()[::3])
def test_edition3_messages_encode_to_the_same_items(tmp_path, path, index, msg):
    one, three = tmp_path / "one.bufr", tmp_path / "three.bufr"
    one.write_bytes(msg)
    made = subprocess.run(["bufr_set", "-s", "edition=3", str(one), str(three)], capture_output=True, text=True)
    if made.returncode != 0:
        pytest.skip("ecCodes does not re-encode this message: " + made.stderr[-200:])
    message = first(str(three))
    try:
        items = list(message.items())
    except corvena.ReadError:
        pytest.skip("not decoded here; the real-data tests confirm the cause")
    replaced = message.replace(compressed=message.compressed_data)
    made = corvena.encode(message, message.unexpanded_descriptors, message.arrays(), edition=3,
                          compressed=message.compressed_data)
    for data in (replaced.data, made):
        assert data[7] == 3
        assert list(again(message, data).items()) == items
    (tmp_path / "w.bufr").write_bytes(made)
    written = again(message, made)
    dump = run_oracle(tmp_path / "w.bufr")
    compare(written.tables, written.decoded_values(), dump)
    assert (written.typical_year, written.originating_centre) == (message.typical_year, message.originating_centre)


@pytest.fixture(scope="module")
def corpus_again():
    """Each generated message decoded and encoded again by this library, and
    ecCodes' decoding of what was written."""
    records = [r for r in generate(SEED, COUNT) if "refused" not in r]
    written = []
    for record in records:
        message = first(bytes.fromhex(record["hex"]))
        written.append(corvena.encode(message, message.unexpanded_descriptors, message.arrays(),
                                      compressed=message.compressed_data))
    env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
    out = subprocess.run([oracle_python(), GENERATOR, "--decode"], input="".join(w.hex() + "\n" for w in written),
                         capture_output=True, text=True, timeout=1800, env=env, check=True)
    return list(zip(records, written, (json.loads(line) for line in out.stdout.splitlines())))


def test_generated_messages_encode_to_what_ecc_encoded(corpus_again):
    """The values ecCodes encoded, encoded by this library: both messages
    decode to the same values, by ecCodes and by this library."""
    assert len(corpus_again) > COUNT * 3 // 4
    for record, data, theirs in corpus_again:
        original, written = first(bytes.fromhex(record["hex"])), first(data)
        assert list(written.items()) == list(original.items()), record["template"]
        ours, before = dict(theirs), dict(record["ecc"])
        if record["compressed"]:
            # stringValues holds a text column once or once per subset, as
            # it was written; "texts" holds every subset's text either way.
            del ours["strings"], before["strings"]
        assert ours == before, record["template"]


@pytest.mark.parametrize("name,packed", [
    ("synop_multi_subset_uncompressed.bufr", True),
    ("ISMD01_OKPR.bufr", False),
    ("aben_55.bufr", False),
    ("Z__C_EDZW_20210516120400_bda01_synop_bufr_GER_999999_999999__MW_466.bufr", False),
])
def test_layouts_and_subsets_change(name, packed):
    def kept(message):
        # The raw value of a missing item is all ones in uncompressed data,
        # R0 in compressed data: only the value says it is missing.
        return [[i._replace(raw=None, meaning=None) if i.value is None else i for i in s] for s in message.subsets()]

    message = first(MESSAGES + name)
    items = [list(s) for s in message.subsets()]
    other = message.replace(compressed=packed)
    assert other.compressed_data == packed
    assert kept(other) == kept(message)
    picked = message.replace(subsets=[len(items) - 1, 0])
    assert picked.number_of_subsets == 2
    assert [list(s) for s in picked.subsets()] == [items[-1], items[0]]


@pytest.mark.parametrize("name", ["synop_wigos.bufr", "tropical_cyclone.bufr",
                                  "Z__C_EDZW_20210516120400_bda01_synop_bufr_GER_999999_999999__MW_466.bufr"])
def test_values_by_key_lay_out_the_template(name):
    message = first(MESSAGES + name)
    subsets = []
    for subset in message.subsets():
        by_key = {}
        for item in subset:
            if item.name != "operator":
                by_key.setdefault(item.key, []).append(item.value)
        subsets.append(by_key)
    data = corvena.encode(message, message.unexpanded_descriptors, subsets, compressed=message.compressed_data)
    assert [list(s) for s in again(message, data).subsets()] == [list(s) for s in message.subsets()]


def test_replicated_groups_repeat_as_often_as_their_values():
    # 1-01-000 with 031001: the count follows from the values given.
    data = corvena.encode(HEADER, [101000, 31001, 12101], [{"airTemperature": [280.0, 281.5, None]}, {}])
    got = [[(i.key, i.value) for i in s] for s in first(data).subsets()]
    assert got == [[("delayedDescriptorReplicationFactor", 3), ("airTemperature", 280.0), ("airTemperature", 281.5),
                    ("airTemperature", None)], [("delayedDescriptorReplicationFactor", 0)]]


def test_columns_give_one_subset_per_row():
    pd = pytest.importorskip("pandas")
    frame = pd.DataFrame({"blockNumber": [10, 11], "stationNumber": pd.array([385, None], dtype="Int64"),
                          "airTemperature": [280.15, 290.0]})
    for rows in (frame, frame.to_dict("list")):
        data = corvena.encode(HEADER, [301001, 12101], rows, compressed=True)
        got = [[i.value for i in s] for s in first(data).subsets()]
        assert got == [[10, 385, 280.15], [11, None, 290.0]]


def test_edits_set_the_items_of_a_key():
    message = first(MESSAGES + "synop_multi_subset_uncompressed.bufr")
    n = message.number_of_subsets
    edited = message.replace(values={"airTemperature": 250.0, "#1#stationNumber": list(range(n)),
                                     "stationOrSiteName": None}, header={"dataCategory": 2})
    assert edited.data_category == 2
    for s, (old, new) in enumerate(zip(message.subsets(), edited.subsets())):
        assert all(i.value == 250.0 for i in new if i.key == "airTemperature")
        assert new.get("stationNumber") == s
        changed = {"airTemperature", "stationNumber", "stationOrSiteName"}
        assert [i for i in old if i.key not in changed] == [i for i in new if i.key not in changed]


@pytest.mark.parametrize("descriptors,subsets,key,reason", [
    # A value outside its width after scale and reference (012101: 16 bits,
    # scale 2, reference 0), above and below.
    ([12101], [[700.0]], None, "700.0: it does not fit 16 bits after scale 2 and reference 0 (0.0 to 655.34)"),
    ([12101], [{"airTemperature": -1.0}], "airTemperature", "does not fit 16 bits"),
    ([1015], [["a name longer than twenty"]], None, "the text of 25 octets is longer than its field of 20"),
    ([1015], [[12.0]], None, "a text is expected, not a number"),
    ([12101], [["warm"]], None, "a number is expected, not a text"),
    ([12101], [[True]], None, "True is no number, text or None"),
    ([12101], [[2 ** 1100]], None, "is too large for any element"),
    # A count that disagrees with the data, in both directions.
    ([101000, 31001, 12101], [[3, 280.0, 281.0]], None, "the template needs more items than the 3 given"),
    ([101000, 31001, 12101], [[1, 280.0, 281.0]], None, "1 items are left over after the template"),
    ([101000, 31001, 12101], [{"airTemperature": [1.0, 2.0], "delayedDescriptorReplicationFactor": 1}],
     "airTemperature", "2 values are given, the template holds the key 1 times"),
    ([12101], [{"airTemperatur": 280.0}], "airTemperatur", "the template holds no such key"),
    ([12101], [{"#2#airTemperature": 280.0}], "airTemperature", "the template holds the key 1 times"),
    ([201130, 12101], [[math.nan]], None, None),  # not refused: missing
    ([12101], [], None, None),  # not refused: a message of no subsets
])
def test_values_that_cannot_be_encoded(descriptors, subsets, key, reason):
    if reason is None:
        corvena.encode(HEADER, descriptors, subsets)
        return
    with pytest.raises(corvena.EncodeError) as caught:
        corvena.encode(HEADER, descriptors, subsets)
    assert reason in str(caught.value)
    assert caught.value.subset == 1
    if key is not None:
        assert caught.value.key == key and key in str(caught.value)


def test_refusals_of_whole_messages():
    with pytest.raises(ValueError, match="descriptor 012255 was not found in Table B"):
        corvena.encode(HEADER, [12255], [[1.0]])
    with pytest.raises(ValueError, match="masterTablesVersionNumber"):
        corvena.encode({"typicalDate": 20240101}, [12101], [[1.0]])
    with pytest.raises(corvena.EncodeError, match="one replication count in every subset") as caught:
        corvena.encode(HEADER, [101000, 31001, 12101], [[1, 280.0], [2, 280.0, 281.0]], compressed=True)
    assert caught.value.subset == 2
    message = first(MESSAGES + "synop_multi_subset_uncompressed.bufr")
    before = message.data
    for values, reason in [({"airTemperature": 1000.0}, "does not fit"), ({"nosuchkey": 1}, "no such key"),
                           ({"airTemperature": [1.0]}, "1 values are given for the")]:
        with pytest.raises(corvena.EncodeError, match=reason):
            message.replace(values=values)
    assert message.data == before and message.items()
