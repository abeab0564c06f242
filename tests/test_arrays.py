"""The array path holds exactly what the DecodedValue list holds, item for
item, fails alike, and decodes many messages on several threads."""

import math
import os

import numpy as np
import pytest

import _corvena as c
from bufr_build import Bits, message
from conftest import MESSAGES, message_files, split_messages
from corvena.arrays import LOCAL, MISSING, OPERATOR, RESCALED, TEXT, decode_arrays, decode_many
from decoding_tables import tables, tables_dir  # noqa: F401


def fields(v):
    return (v.descriptor, v.name, v.raw, v.raw_text, v.raw_meaning,
            "nan" if v.raw_value is not None and math.isnan(v.raw_value) else v.raw_value)


def assert_same(items, arrays, tables):
    assert len(arrays) == len(items)
    # The records made again from the arrays are those of the object path.
    assert [fields(v) for v in arrays.decoded.decoded_values()] == [fields(v) for v in items]
    meanings = arrays.meanings(tables)
    for i, x in enumerate(items):
        value = arrays.values[i]
        assert x.descriptor == arrays.descriptors[i], i
        assert (math.isnan(value) if x.raw_value is None else x.raw_value == value), (i, x, value)
        assert x.raw == (int(arrays.raw[i]) if arrays.has_raw[i] else None), (i, x)
        assert x.raw_text == arrays.text(i) and x.raw_meaning == meanings[i], (i, x)


def real_messages():
    out = []
    for path in message_files():
        with open(path, "rb") as f:
            msgs = split_messages(f.read())
        for k, msg in enumerate(msgs[:3]):
            out.append(pytest.param(msg, id="%s#%d" % (os.path.basename(path), k)))
    return out


@pytest.mark.parametrize("msg", real_messages())
def test_real_messages_item_for_item(definitions, msg):
    m = c.parse_bytes(msg)
    t = c.TableSet.from_definitions(definitions, m)
    try:
        items = c.decode_values_with_tables(msg, t)
    except ValueError as exc:
        with pytest.raises(ValueError) as info:
            decode_arrays(msg, t)
        assert str(info.value) == str(exc)
        return
    arrays = decode_arrays(msg, t)
    assert_same(items, arrays, t)
    assert arrays.subsets == m.number_of_subsets and len(arrays.subset_offsets) == m.number_of_subsets + 1
    if m.compressed_data and m.number_of_subsets:
        # Subsets x items, read in place from the decoded block.
        per = len(items) // m.number_of_subsets
        assert arrays.values_2d.shape == (m.number_of_subsets, per)
        assert np.shares_memory(arrays.values_2d, arrays._cells)
        np.testing.assert_array_equal(arrays.values_2d.reshape(-1), arrays.values)


SYNTHETIC = [
    # codes, data, subsets, compressed
    ([1001, 1015, 2001, 204002, 11001], Bits().put(5, 7).text("AB  ").put(3, 2).put(1, 2).put(7, 8), 1, False),
    ([1001, 1015], Bits().put(5, 7).put(2, 6).put(0, 2).ones(2).put(1, 2).text("WXYZ").put(4, 6).text("ABCD")
     .text("\xff" * 4).text("EF  "), 3, True),
    ([222000, 101000, 31001, 13015], Bits().put(0, 8).put(0, 6).put(2, 8).put(0, 6).put(1, 7).put(0, 6)
     .put(127, 7).put(0, 6), 2, True),
    # Local elements: one no table knows, one whose table entry has another width.
    ([206016, 63253, 11001, 206008, 12002, 206012, 12002], Bits().put(1234, 16).put(3, 8).put(59, 8).put(459, 12),
     1, False),
    ([206016, 63253, 206008, 12002], Bits().put(1234, 16).put(0, 6).put(59, 8).put(0, 6), 2, True),
]


@pytest.mark.parametrize("codes,bits,subsets,compressed", SYNTHETIC)
def test_missing_values_texts_and_operators(tables, codes, bits, subsets, compressed):
    msg = message(codes, bits, subsets=subsets, compressed=compressed)
    items = c.decode_values_with_tables(msg, tables)
    arrays = decode_arrays(msg, tables)
    assert_same(items, arrays, tables)
    flags = arrays.flags.tolist()
    for v, f in zip(items, flags):
        assert bool(f & LOCAL) == (v.name == "localElement"), v
        assert bool(f & MISSING) == (v.raw_value is None if v.raw is not None else v.raw_text is None), v
        assert bool(f & OPERATOR) == (v.name == "operator") and bool(f & TEXT) == (v.raw is None), v


def test_errors_are_those_of_the_object_path(tables):
    cases = [b"", message([1001], Bits()), message([1001], Bits().put(1, 7))[:-1] + b"8",
             message([301003], Bits()), message([1001] * 3, Bits().put(1, 7), subsets=2, compressed=True)]
    for msg in cases:
        with pytest.raises(ValueError) as expected:
            c.decode_values_with_tables(msg, tables)
        with pytest.raises(ValueError) as got:
            decode_arrays(msg, tables)
        assert str(got.value) == str(expected.value)
    out = decode_many(cases + [message([1001], Bits().put(3, 7))], tables, threads=2, errors="return")
    assert [type(x).__name__ for x in out] == ["ValueError"] * len(cases) + ["MessageArrays"]
    with pytest.raises(ValueError, match="missing BUFR marker"):
        decode_many(cases, tables)


def test_many_messages_on_threads(definitions):
    path = [p for p in message_files() if "synop_bufr_GER" in p][0]
    with open(path, "rb") as f:
        msgs = split_messages(f.read())
    tabs = [c.TableSet.from_definitions(definitions, c.parse_bytes(m)) for m in msgs]
    one = decode_many(msgs, tabs, threads=1)
    two = decode_many(msgs * 3, tabs * 3, threads=2)
    for a, b in zip(one * 3, two):
        np.testing.assert_array_equal(a.values, b.values)
        np.testing.assert_array_equal(a.descriptors, b.descriptors)
        assert a.texts == b.texts


@pytest.mark.parametrize("compressed", [False, True])
def test_whole_numbers_unless_an_operator_rescaled(tables, compressed):
    # 011001 has no decimals: an int, also after a width change (2-01); after
    # a scale change (2-02) a float, 0 included, in the items and the dump alike.
    import json

    import corvena
    from corvena._dump import message_json

    codes = [11001, 202127, 11001, 202000, 201129, 11001, 201000]
    fields = [(3, 8), (0, 8), (5, 9)]
    bits = Bits()
    for value, width in fields:
        bits.put(value, width)
        if compressed:
            bits.put(0, 6)
    m = next(corvena.read(message(codes, bits, subsets=2 if compressed else 1, compressed=compressed),
                          tables=tables))
    values = [item.value for item in m.items()]
    assert values == [3, 0.0, 5] * (2 if compressed else 1)
    assert [type(v) for v in values[:3]] == [int, float, int]
    assert [bool(f & RESCALED) for f in m.arrays().flags.tolist()[:3]] == [False, True, False]
    dumped = json.loads(message_json(m))
    got = [x["value"] for x in dumped["items"]] if compressed else [x["value"] for x in dumped["subsets"][0]]
    assert got == [3, 0.0, 5] and [type(v) for v in got] == [int, float, int]


DWD = "Z__C_EDZW_20210516120400_bda01_synop_bufr_GER_999999_999999__MW_466.bufr"


@pytest.mark.parametrize("name, key", [
    ("aaen_55.bufr", "brightnessTemperature"),  # compressed: subsets x channels
    ("aaen_55.bufr", "#3#brightnessTemperature"),
    ("aaen_55.bufr", "012063"),
    ("ISMD01_OKPR.bufr", "stationOrSiteName"),  # compressed texts
    ("synop_multi_subset_uncompressed.bufr", "airTemperature"),
    ("synop_multi_subset_uncompressed.bufr", 12101),
    ("synop_multi_subset_uncompressed.bufr", "stationOrSiteName"),
    ("synop_multi_subset_uncompressed.bufr", "#2#heightOfSensorAboveLocalGroundOrDeckOfMarinePlatform"),
    (DWD, "cloudType"),  # uncompressed, a different count per subset
    (DWD, "#4#cloudType"),
])
def test_values_of_a_key_are_those_of_the_items(name, key):
    import corvena

    for m in corvena.read(os.path.join(MESSAGES, name)):
        try:
            got = m.arrays()[key]
        except KeyError:  # a message without the key
            assert not any(s.find(key) for s in m.subsets())
            continue
        expected = [s.values(key) for s in m.subsets()]
        ranked = isinstance(key, str) and key.startswith("#")
        assert got.shape == ((len(expected),) if ranked else (len(expected), max(map(len, expected))))
        for row, values in zip(got.reshape(len(expected), -1).tolist(), expected):
            values += [None] * (len(row) - len(values))
            assert [None if v is None or v != v else v for v in row] == values


def test_values_of_a_key_it_lacks():
    import corvena

    a = next(corvena.read(os.path.join(MESSAGES, "aaen_55.bufr"))).arrays()
    for key in ("noSuchKey", "#20#brightnessTemperature", 12101, "#0#brightnessTemperature"):
        with pytest.raises(KeyError):
            a[key]
    data = open(os.path.join(MESSAGES, "aaen_55.bufr"), "rb").read()
    tableset = next(corvena.read(data)).tables
    assert decode_arrays(data, tableset)["#1#brightnessTemperature"].tolist() == a["#1#brightnessTemperature"].tolist()
    assert decode_many([data], tableset)[0]["satelliteIdentifier"].shape == (128, 1)
