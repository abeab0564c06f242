"""Hostile input: mutated real messages through every public function,
repeated calls that must not leak, and tables built to hurt."""

import ctypes
import gc
import os
import random
import sys
import time

import pytest

import _corvena as c
import corvena
from corvena import _ext
from corvena.arrays import decode_arrays, decode_many
from bufr_build import Bits, message, table_dir
from conftest import DEFINITIONS, WMO_CSV, message_files, split_messages

ALLOWED = (ValueError, TypeError, OverflowError)
MUTATIONS = int(os.environ.get("CORVENA_MUTATIONS", "20000"))
SLOW_CALL = 5.0  # seconds; no call on a mutated message may take longer
SANITIZED = os.environ.get("CORVENA_SANITIZED") == "1"


def seeds():
    out = []
    for path in message_files():
        with open(path, "rb") as f:
            msgs = split_messages(f.read())
        # The large satellite file contributes its first message only.
        out.extend(msgs[:2] if len(msgs) < 10 else msgs[:1])
    return [m for m in out if len(m) < 200000]


def mutate(rng, msg):
    kind = rng.randrange(6)
    b = bytearray(msg)
    if kind == 0:  # flip bits
        for _ in range(rng.randint(1, 8)):
            i = rng.randrange(len(b))
            b[i] ^= 1 << rng.randrange(8)
    elif kind == 1:  # overwrite bytes of the headers, where lengths live
        for _ in range(rng.randint(1, 4)):
            i = rng.randrange(min(len(b), 120))
            b[i] = rng.randrange(256)
    elif kind == 2:  # truncate
        del b[rng.randrange(len(b)):]
    elif kind == 3:  # extend
        b += bytes(rng.randrange(256) for _ in range(rng.randint(1, 64)))
    elif kind == 4:  # random bytes in section 4
        for _ in range(rng.randint(1, 32)):
            i = rng.randrange(len(b) // 2, len(b))
            b[i] = rng.randrange(256)
    else:  # fix the total length so that framing gets further
        del b[rng.randrange(len(b) // 2, len(b)):]
        b += bytes(rng.randrange(256) for _ in range(rng.randint(0, 16))) + b"7777"
        b[4:7] = len(b).to_bytes(3, "big")
    return bytes(b)


def damaged_between(first, damage, last):
    """Reading past a damaged piece delivers the messages on both sides
    (unless the damage frames a message that swallows the last one)."""
    seen = []
    got = [m.data for m in corvena.read(first + damage + last, errors=seen.append)]
    assert got[0] == first
    assert got[-1] == last or got[-1].endswith(last), (len(got), seen)
    assert all(isinstance(e, corvena.ReadError) for e in seen)


def call(fn, *args):
    start = time.perf_counter()
    try:
        fn(*args)
    except ALLOWED:
        pass
    elapsed = time.perf_counter() - start
    assert elapsed < SLOW_CALL, (fn.__name__, elapsed)


def test_mutated_messages(definitions):
    rng = random.Random(20261208)
    base = seeds()
    tables = {}
    for m in base:
        try:
            parsed = c.parse_bytes(m)
            key = (parsed.master_tables_version_number, parsed.local_tables_version_number, parsed.originating_centre)
            if key not in tables:
                tables[key] = c.TableSet.from_definitions(definitions, parsed)
        except ValueError:
            pass
    table_list = list(tables.values())
    wmo38 = os.path.join(definitions, "bufr", "tables", "0", "wmo", "38")
    for i in range(MUTATIONS):
        variant = mutate(rng, base[i % len(base)])
        call(c.parse_bytes, variant)
        call(c.parse_all_bytes, variant)
        for t in table_list[i % len(table_list):][:2]:
            call(c.decode_values_with_tables, variant, t)
            call(decode_arrays, variant, t)
            call(decoded_values, variant, t)
        if i % 10 == 0:
            call(_ext.scan, variant, 0)
            call(json_columns, variant, table_list[i % len(table_list)])
            damaged_between(base[0], variant, base[1])
            call(decode_many, [variant, base[0]], table_list[0], 2, "return")
        if i % 50 == 0:
            call(c.decode_values_with_definitions, variant, definitions)
        if i % 200 == 0:
            call(c.decode_values, variant, wmo38)
        try:
            m = c.parse_bytes(variant)
        except ValueError:
            continue
        call(c.TableSet.from_definitions, definitions, m) if i % 100 == 0 else None
        call(table_list[0].expand, m.unexpanded_descriptors)


class _MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in
                ("arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks", "fordblks",
                 "keepcost")]


def malloc_in_use():
    """Bytes the C allocator has handed out and not taken back (glibc)."""
    try:
        libc = ctypes.CDLL(None)
        fn = libc.mallinfo2
    except (OSError, AttributeError):
        return 0
    fn.restype = _MallInfo2
    info = fn()
    return info.uordblks + info.hblkhd


def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def steady(fn, rounds=3000, warmup=None, heap_per_round=16):
    """Runs fn many times and checks that neither the interpreter's blocks
    nor the resident memory keep growing."""
    for _ in range(rounds // 3 if warmup is None else warmup):
        fn()
    gc.collect()
    blocks, mem, heap = sys.getallocatedblocks(), rss(), malloc_in_use()
    for _ in range(rounds):
        fn()
    gc.collect()
    grown_blocks = sys.getallocatedblocks() - blocks
    grown_mem = rss() - mem
    grown_heap = malloc_in_use() - heap
    assert grown_blocks < 200, grown_blocks
    if not SANITIZED:
        # The sanitizers hold freed memory in quarantine and replace the C
        # allocator, so these two say nothing under them.
        assert grown_mem < 8 << 20, grown_mem
        # A C++ record of a few dozen bytes lost per call shows here.
        assert grown_heap < heap_per_round * rounds, grown_heap
    if hasattr(sys, "gettotalrefcount"):
        before = sys.gettotalrefcount()
        for _ in range(100):
            fn()
        assert sys.gettotalrefcount() - before < 50


def expect(fn, *args):
    def run():
        try:
            fn(*args)
        except ALLOWED + (OSError,):
            pass
    return run


def test_no_leaks(tmp_path, definitions):
    d = table_dir(tmp_path / "t", elements=[(1001, "A", "Numeric", 0, 0, 7), (1015, "T", "CCITT IA5", 0, 0, 32)],
                  sequences={301001: [1001, 1015]}, codetables={1001: {5: "five"}})
    t = c.TableSet.from_eccodes(d)
    good = message([301001], Bits().put(5, 7).text("ABCD"))
    compressed = message([1001, 1015], Bits().put(5, 7).put(1, 6).put(0, 1).put(1, 1).text("ABCD").put(0, 6),
                         subsets=2, compressed=True)
    bad = good[:-1] + b"8"
    path = tmp_path / "m.bufr"
    path.write_bytes(good)
    real = split_messages(open(message_files()[5], "rb").read())[0]
    # Calls that load tables from disk are slower; fewer rounds of them still
    # show a leaked table set at once.
    heavy = [
        expect(c.decode_values, good, d), expect(c.decode_values, bad, d), expect(c.decode_values, good, str(tmp_path)),
        expect(c.decode_values_with_definitions, real, definitions),
        expect(c.expand_descriptors, d, [301001]), expect(c.expand_descriptors, d, [309999]),
        expect(c.TableSet.from_eccodes, d), expect(c.TableSet.from_eccodes, str(tmp_path)),
        expect(c.TableSet.from_bufr4_45, str(tmp_path)),
        expect(c.TableSet.from_definitions, definitions, c.parse_bytes(real)),
    ]
    for fn in heavy:
        steady(fn, rounds=150)
    cases = [
        expect(c.parse_bytes, good), expect(c.parse_bytes, bad), expect(c.parse_bytes, bytearray(good)),
        expect(c.parse_all_bytes, good + good), expect(c.parse_file, str(path)), expect(c.parse_file, str(tmp_path / "no")),
        expect(c.parse_all_file, str(path)),
        expect(c.decode_values_with_tables, good, t), expect(c.decode_values_with_tables, compressed, t),
        expect(c.decode_values_with_tables, bad, t), expect(c.decode_values_with_tables, good, None),
        expect(c.expand_descriptors, d, "x"), expect(t.expand, [1 << 40]), expect(t.expand, [301001]),
        expect(t.get_element, 1001), expect(t.get_element, -1), expect(t.get_sequence, 301001),
        expect(t.get_meaning, 1001, 5), expect(t.get_meaning, 1001, 6),
        expect(c.Descriptor, 3, 1, 1), expect(c.Descriptor, 256, 1, 1), expect(c.Descriptor.from_fxy, 301011),
        expect(decode_arrays, good, t), expect(decode_arrays, compressed, t), expect(decode_arrays, bad, t),
        expect(decode_many, [good, compressed, bad], t, 2, "return"), expect(_ext.scan, good + good[:-3], 0),
        expect(_ext.scan, good + good[:200] + b"BUFR\xff\xff\xff" + good, 1 << 40),
        expect(json_columns, compressed, t), expect(_ext.json_columns, {"subsets": 1 << 61}, b"", b""),
        expect(decoded_values, good, t), expect(decoded_values, compressed, t), expect(decoded_values, bad, t),
        expect(_ext.meaning, t, 1001, 5, 0), expect(_ext.meaning, t, 1001, 5, 3), expect(_ext.item_name, t, 1001, 8),
        expect(_ext.with_code_tables, t, {1001: {1: "x"}}),
        expect(rows, [good], t, b"", b""), expect(rows, [compressed, good], t, b"\1\0", b"\1\1"),
        expect(rows, [good], t, b"\1", b""),
        expect(_ext.datetimes, *[b"\0" * 80] * 6), expect(_ext.datetimes, *[b"\0" * 8] * 5 + [b""]),
    ]
    for fn in cases:
        steady(fn, rounds=3000)

    def touch_everything():
        for v in c.decode_values_with_tables(good, t) + c.decode_values_with_tables(compressed, t):
            (v.descriptor, v.name, v.raw_value, v.raw, v.raw_text, v.raw_meaning, v.data, repr(v))
        m = c.parse_bytes(good)
        (repr(m), m.unexpanded_descriptors, m.typical_year)
        e, s = t.get_element(1001), t.get_sequence(301001)
        (repr(e), e.name, repr(s), s.members, repr(t))
        d0 = c.Descriptor(0, 1, 1)
        (d0.fxy, repr(d0))

    steady(touch_everything, rounds=1500)


def json_columns(data, tables):
    decoded = _ext.decode_arrays(data, tables)
    m = len(decoded.column_codes)
    return _ext.json_columns(decoded, bytes(m), bytes(2 * m))


def _i32(values):
    return b"".join(v.to_bytes(4, "little", signed=True) for v in values)


def _i16(values):
    return b"".join(v.to_bytes(2, "little", signed=True) for v in values)


def _lut(element):
    """A table of elements by descriptor: descriptor 1001 is `element` (-2:
    not looked up), every other none."""
    table = [-1] * 1002
    table[1001] = element
    return _i16(table)


# Descriptor 1001 is element 0, of key 0 (of two).
ROW_LUT = _lut(0)
ROW_KEYS = _i32([0])


def rows(data, tables, required, positions):
    decoded = [_ext.decode_arrays(d, tables) for d in data]
    return _ext.rows(decoded, ROW_LUT, ROW_KEYS, 2, required, positions), _ext.unknown_codes(decoded, _lut(-2))


def decoded_values(data, tables):
    return _ext.decode_arrays(data, tables).decoded_values()


def test_private_native_entries_check_their_arguments(tmp_path):
    t = c.TableSet.from_eccodes(table_dir(tmp_path / "t", elements=[(1001, "A", "Numeric", 0, 0, 7)]))
    compressed = _ext.decode_arrays(message([1001], Bits().put(5, 7).put(2, 6).put(0, 2).put(1, 2), subsets=2,
                                            compressed=True), t)
    plain = _ext.decode_arrays(message([1001], Bits().put(5, 7)), t)
    other = _ext.decode_arrays(message([1001], Bits().put(5, 7)), c.TableSet.from_eccodes(table_dir(
        tmp_path / "u", elements=[(1001, "A", "Numeric", 0, 0, 7)])))
    assert _ext.json_columns(compressed, b"\0", b"\0\0") == ["[5,6]"]
    assert _ext.unknown_codes([plain, compressed], _lut(-2)) == [1001] and _ext.unknown_codes([plain], ROW_LUT) == []
    for fn, args, error in [
        # Buffers given by the caller were once trusted, sizes and all.
        (_ext.json_columns, ({"subsets": 1 << 61}, b"\0", b"\0\0"), TypeError),
        (_ext.json_columns, (compressed.cells, b"\0", b"\0\0"), TypeError),
        (_ext.json_columns, (compressed, b"", b"\0\0"), ValueError),
        (_ext.json_columns, (compressed, b"\0", b"\0"), ValueError),
        (_ext.json_columns, (compressed, b"\0", b"\0" * 10 ** 8), ValueError),
        (_ext.json_columns, (plain, b"\0", b"\0\0"), ValueError),
        (_ext.json_columns, (compressed, None, b"\0\0"), TypeError),
        (_ext.meaning, (None, 1001, 5, 0), TypeError),
        (_ext.meaning, (t, 1001, -1, 0), (ValueError, OverflowError)),
        (_ext.item_name, (t, 1001, 256), (ValueError, OverflowError)),
        # Row forming: sizes, elements and keys the caller gives are checked.
        (_ext.rows, ([plain], _lut(-2), ROW_KEYS, 2, b"", b""), ValueError),
        (_ext.rows, ([plain], ROW_LUT[:-1], ROW_KEYS, 2, b"", b""), ValueError),
        (_ext.rows, ([compressed], _lut(1), ROW_KEYS, 2, b"", b""), ValueError),
        (_ext.rows, ([plain], ROW_LUT, _i32([2]), 2, b"", b""), ValueError),
        (_ext.rows, ([plain], ROW_LUT, ROW_KEYS, 2, b"\1", b""), ValueError),
        (_ext.rows, ([plain], ROW_LUT, ROW_KEYS, 2, b"", b"\1\1\1"), ValueError),
        (_ext.rows, ([plain, other], ROW_LUT, ROW_KEYS, 2, b"", b""), ValueError),
        (_ext.rows, (plain, ROW_LUT, ROW_KEYS, 2, b"", b""), TypeError),
        (_ext.rows, ([ROW_LUT], ROW_LUT, ROW_KEYS, 2, b"", b""), TypeError),
        (_ext.rows, ([plain], list(ROW_LUT), ROW_KEYS, 2, b"", b""), TypeError),
        (_ext.unknown_codes, ([plain], b"\0"), ValueError),
        (_ext.unknown_codes, ([plain, other], ROW_LUT), ValueError),
        (_ext.datetimes, (b"\0" * 8,) * 5 + (b"",), ValueError),
        (_ext.datetimes, (b"\0" * 7,) * 6, ValueError),
        (_ext.datetimes, (None,) * 6, TypeError),
    ]:
        with pytest.raises(error):
            fn(*args)
    good = message([1001], Bits().put(5, 7))
    for threads in (0, -1):
        with pytest.raises((ValueError, OverflowError)):
            _ext.decode_many([good], t, threads)
        with pytest.raises(ValueError, match="threads"):
            decode_many([good], t, threads)
    assert len(_ext.decode_many([good] * 3, t, 10 ** 6)) == 3
    for threads in (1, 2):  # no message: nothing to share out among the threads
        assert _ext.decode_many([], t, threads) == [] and decode_many([], t, threads=threads) == []


@pytest.mark.parametrize("scale, operator, fits", [
    (400, None, False), (-(1 << 31), None, False), ((1 << 31) - 1, None, False), (-289, None, False),
    (308, None, True), (-288, None, True), (181, 202255, True), (182, 202255, False), (-160, 202000, True),
])
def test_scales_a_double_cannot_hold_are_refused(tmp_path, scale, operator, fits):
    t = c.TableSet.from_eccodes(table_dir(tmp_path / "s", elements=[(12101, "T", "K", scale, 0, 12)]))
    codes = [12101] if operator is None else [operator, 12101]
    for data in (message(codes, Bits().put(5, 12)),
                 message(codes, Bits().put(5, 12).put(2, 6).put(0, 2).put(1, 2), subsets=2, compressed=True)):
        if fits:
            values = [v.raw_value for v in c.decode_values_with_tables(data, t) if v.descriptor == 12101]
            assert all(v != 0 and v == v and abs(v) != float("inf") for v in values)
            assert decode_arrays(data, t).values.tolist() == values
            continue
        pattern = "element 012101: scale -?[0-9]+ puts its values outside the range of a double"
        for decode in (c.decode_values_with_tables, decode_arrays):
            with pytest.raises(ValueError, match=pattern):
                decode(data, t)
        message_ = next(corvena.read(data, tables=t))
        with pytest.raises(corvena.ReadError, match=pattern):
            message_.items()


def test_endless_and_oversized_table_files(tmp_path):
    d = table_dir(tmp_path / "e", elements=[(1001, "A", "Numeric", 0, 0, 7)])
    for name in ("element.table", "sequence.def", "codetables/1001.table"):
        target = os.path.join(d, name)
        os.makedirs(os.path.dirname(target), exist_ok=True)
        keep = target + ".kept"
        if os.path.exists(target):
            os.rename(target, keep)
        os.symlink("/dev/zero", target)
        with pytest.raises(ValueError, match="table file .*%s is larger than 16 MiB" % name):
            c.TableSet.from_eccodes(d)
        os.remove(target)
        if os.path.exists(keep):
            os.rename(keep, target)
    # The WMO CSV tables: Table B read natively, code and flag tables by the package.
    wmo = tmp_path / "wmo"
    wmo.mkdir()
    for f in ("BUFRCREX_TableB_en_01.csv", "BUFR_TableD_en_01.csv"):
        (wmo / f).write_bytes(open(os.path.join(WMO_CSV, f), "rb").read())
    (wmo / "BUFRCREX_CodeFlag_en_01.csv").write_text(
        'FXY,ElementName_en,CodeFigure,EntryName_en\n001001,x,1,"%s"\n' % ("y" * 200000))
    with pytest.raises(ValueError, match="BUFRCREX_CodeFlag_en_01.csv line [0-9]+: field larger than field limit"):
        corvena.Tables(str(wmo))
    os.remove(wmo / "BUFRCREX_CodeFlag_en_01.csv")
    os.symlink("/dev/zero", wmo / "BUFRCREX_CodeFlag_en_01.csv")
    with pytest.raises(ValueError, match="BUFRCREX_CodeFlag_en_01.csv is larger than 16 MiB"):
        corvena.Tables(str(wmo))
    os.remove(wmo / "BUFRCREX_CodeFlag_en_01.csv")
    os.remove(wmo / "BUFRCREX_TableB_en_01.csv")
    os.symlink("/dev/zero", wmo / "BUFRCREX_TableB_en_01.csv")
    with pytest.raises(ValueError, match="BUFRCREX_TableB_en_01.csv is larger than 16 MiB"):
        c.TableSet.from_bufr4_45(str(wmo))


def test_package_readers_keep_nothing_per_call(definitions):
    # Tables given as a TableSet get a fresh wrapper per call; caches that
    # outlive the call must not keep it.
    pytest.importorskip("pandas")
    dask = pytest.importorskip("dask")
    import corvena.dask

    path = os.path.join(os.path.dirname(message_files()[0]), "synop_multi_subset_uncompressed.bufr")
    tables = next(corvena.read(path)).tables
    columns = ["stationNumber", "airTemperature"]
    # numpy and pandas fill caches of their own (numpy's cache of small
    # blocks, datetime units) for a few thousand calls.
    steady(lambda: corvena.read_bufr(path, columns, tables=tables), rounds=300, warmup=3000)
    steady(lambda: [m.items() for m in corvena.read(path, tables=tables)], rounds=300)
    with dask.config.set(scheduler="synchronous"):
        # Workers get tables as a directory (a TableSet does not travel).
        # Dask keeps small records of its own per graph (some 80 bytes with
        # the versions of Python 3.9); a leak of tables is 100 KB a call.
        steady(lambda: corvena.dask.read_bufr([path], columns, tables=definitions).compute(), rounds=60, warmup=200,
               heap_per_round=1024)


def test_results_survive_their_tables(tmp_path):
    d = table_dir(tmp_path / "t", elements=[(1001, "NAME", "Numeric", 0, 0, 7)], codetables={1001: {5: "five"}})
    t = c.TableSet.from_eccodes(d)
    items = c.decode_values_with_tables(message([1001], Bits().put(5, 7)), t)
    del t
    gc.collect()
    assert (items[0].name, items[0].raw_meaning) == ("NAME", "five")


def test_large_table_files(tmp_path):
    rows = "".join("%06d|a|long|NAME %d|m|0|0|8\n" % (i, i) for i in range(1, 200001))
    d = table_dir(tmp_path / "big", raw_elements=rows, raw_sequences='"300001" = [%s]\n' % ", ".join(["1"] * 50000))
    t = c.TableSet.from_eccodes(d)
    assert t.element_count == 200000 and len(t.get_sequence(300001).members) == 50000


def test_deep_and_zero_width_groups(tmp_path):
    d = table_dir(tmp_path / "z", elements=[(13014, "ZERO", "m", 0, 0, 0), (31002, "F", "Numeric", 0, 0, 16),
                                            (31012, "BIG", "Numeric", 0, 0, 32)],
                  sequences={301001: [101000, 31002, 13014], 301002: [101000, 31012, 13014]})
    t = c.TableSet.from_eccodes(d)
    # A factor of 1000 around a zero-width element reads no bits, and no
    # bits are left: a valid message all the same, one missing item per
    # repetition.
    items = c.decode_values_with_tables(message([301001], Bits().put(1000, 16)), t)
    assert [x.descriptor for x in items] == [31002] + [13014] * 1000
    assert all(x.raw_value is None for x in items[1:])
    # A million of them pass the bound of work that reads nothing.
    with pytest.raises(ValueError, match="read no data"):
        c.decode_values_with_tables(message([301002], Bits().put(1 << 20, 32)), t)
    # Fixed replications of a group that reads nothing, inside a delayed
    # replication whose count the data could hold, hit the work bound.
    codes = [103000, 31012, 102255, 101255, 201000]
    data = Bits().put(1000, 32).put(0, 2000)
    start = time.perf_counter()
    with pytest.raises(ValueError, match="^csv/table parse error: section 4 decoding exceeded 1048576 [+] 16 per element read of descriptors and replications that read no data$"):
        c.decode_values_with_tables(message(codes, data), t)
    with pytest.raises(ValueError, match="^csv/table parse error: section 4 decoding exceeded 1048576 [+] 16 per element read of descriptors and replications that read no data$"):
        c.decode_values_with_tables(message(codes, data, compressed=True), t)
    assert time.perf_counter() - start < SLOW_CALL


def test_nested_operator_replications_end_quickly(tables_for_bounds):
    # Found by fuzzing: 255 x 255 operator items per subset, in 53 subsets,
    # from a message of a few dozen octets. The bound on work that reads no
    # data ends it at once instead of filling memory.
    start = time.perf_counter()
    with pytest.raises(ValueError, match="^csv/table parse error: section 4 decoding exceeded 1048576 [+] 16 per element read of descriptors and replications that read no data$"):
        c.decode_values_with_tables(message([102255, 101255, 222000], b"", subsets=53), tables_for_bounds)
    assert time.perf_counter() - start < 1.0
    # Below the bound the same structure decodes.
    items = c.decode_values_with_tables(message([102010, 101010, 222000], b"", subsets=2), tables_for_bounds)
    assert len(items) == 200 and {x.descriptor for x in items} == {222000}


@pytest.fixture
def tables_for_bounds(tmp_path):
    return c.TableSet.from_eccodes(table_dir(tmp_path / "b", elements=[(1001, "A", "Numeric", 0, 0, 7)]))


def test_bounds_never_refuse_valid_data(tmp_path):
    t = c.TableSet.from_eccodes(table_dir(tmp_path / "v", elements=[(31002, "F", "Numeric", 0, 0, 16),
                                                                    (12101, "T", "K", 2, 0, 16),
                                                                    (1001, "A", "Numeric", 0, 0, 7)]))
    # 17 subsets, each 65535 repetitions of a 16-bit element: 2.2 MB.
    bits = Bits()
    for _ in range(17):
        bits.put(65535, 16).put(0, 16 * 65535)
    items = c.decode_values_with_tables(message([101000, 31002, 12101], bits, subsets=17), t)
    assert len(items) == 17 * 65536
    # 65535 compressed subsets of 66 columns: more items than a first pass
    # builds, so the message is counted and then built whole.
    bits = Bits()
    for _ in range(66):
        bits.put(5, 7).put(0, 6)
    items = c.decode_values_with_tables(message([1001] * 66, bits, subsets=65535, compressed=True), t)
    assert len(items) == 66 * 65535 and items[-1].raw == 5
    del items


def test_a_result_too_large_is_refused_before_it_is_built(tmp_path):
    # 600 operator columns of 65535 subsets from a message of a few dozen
    # octets: 39 million items, past the bound on one result.
    msg = message([101000, 31002, 222000], Bits().put(600, 16).put(0, 6), subsets=65535, compressed=True)
    t = c.TableSet.from_eccodes(table_dir(tmp_path / "f", elements=[(31002, "F", "Numeric", 0, 0, 16)]))
    before = rss()
    with pytest.raises(ValueError, match="exceeded 33554432 items, the bound on the size of one result"):
        c.decode_values_with_tables(msg, t)
    if not SANITIZED:
        assert rss() - before < 400 << 20

