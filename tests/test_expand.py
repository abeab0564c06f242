"""Descriptor expansion through Table D and replications."""

import pytest

import _corvena as c
from bufr_build import table_dir

PREFIX = "csv/table parse error: "


@pytest.fixture
def tables(tmp_path):
    d = table_dir(tmp_path / "t", elements=[(1001, "A", "Numeric", 0, 0, 7)],
                  sequences={301001: [1001, 1002], 301002: [301001, 4001], 301003: [301003]})
    return d, c.TableSet.from_eccodes(d)


def test_sequences_and_replications(tables):
    _, t = tables
    assert t.expand([]) == []
    assert t.expand([301002]) == [1001, 1002, 4001]
    assert t.expand([102003, 1001, 1002]) == [1001, 1002] * 3
    assert t.expand([101000, 31001, 1001]) == [31001, 1001]
    assert t.expand((101256, 31001, 1001)) == [31001, 1001]
    assert t.expand(range(0)) == []
    assert t.expand([102257, 1001, 1002]) == [1001, 1002]
    assert t.expand([63255]) == [63255]


def test_operators(tables):
    _, t = tables
    assert t.expand([204007, 1001, 31021, 204000, 1002]) == [999999, 1001, 31021, 1002]
    assert t.expand([201130, 202129, 1001, 201000, 202000]) == [1001]
    assert t.expand([203014, 1001, 203255]) == [203014, 1001, 203255]
    assert t.expand([222000, 236000]) == [222000, 236000]
    assert t.expand([102002, 204004, 1001, 1002]) == [999999, 1001, 999999, 1001, 999999, 1002]


def expand_err(t, codes):
    with pytest.raises(ValueError) as info:
        t.expand(codes)
    return str(info.value)


def test_errors(tables):
    _, t = tables
    assert expand_err(t, [101000, 31001]) == \
        "delayed replication descriptor 101000 is missing its replication factor or replicated descriptors"
    assert expand_err(t, [102000, 31001]) == "unsupported replication descriptor 102000"
    assert expand_err(t, [100003, 1001]) == "unsupported replication descriptor 100003"
    assert expand_err(t, [301999]) == "descriptor 301999 was not found in Table D"
    assert expand_err(c.TableSet(), [301001]) == "descriptor 301001 was not found in Table D"
    assert expand_err(t, [400000]) == PREFIX + "invalid descriptor 400000"
    assert expand_err(t, [301003]) == PREFIX + "sequence expansion exceeded recursion depth"


def test_depth_limit(tmp_path):
    def chain(n, last):
        seqs = {340000 + i: [340000 + i + 1] for i in range(1, n)}
        seqs[340000 + n] = last
        return c.TableSet.from_eccodes(table_dir(tmp_path / str((n, len(last))), elements=[], sequences=seqs))

    assert chain(64, [1001]).expand([340001]) == [1001]
    assert expand_err(chain(65, [1001]), [340001]) == PREFIX + "sequence expansion exceeded recursion depth"
    assert expand_err(chain(64, [101002, 1001]), [340001]) == PREFIX + "sequence expansion exceeded recursion depth"


def test_arguments_and_expand_descriptors(tables, tmp_path):
    d, t = tables
    for bad in ("301001", {1, 2}, (x for x in [1]), 5):
        with pytest.raises(TypeError, match=r"^argument 'descriptors'"):
            t.expand(bad)
    with pytest.raises(TypeError, match=r"^argument 'descriptors'"):
        t.expand([1.5])
    with pytest.raises(OverflowError):
        t.expand([1 << 32])
    assert c.expand_descriptors(d, [301002]) == [1001, 1002, 4001]
    assert c.expand_descriptors(table_dir=d, descriptors=[]) == []
    # A str is refused before any file is read.
    with pytest.raises(TypeError):
        c.expand_descriptors(str(tmp_path / "missing"), "1001")
    with pytest.raises(ValueError, match="^csv/table parse error: No such file"):
        c.expand_descriptors(str(tmp_path / "missing"), [1001])


def test_exploding_replications_are_bounded(tmp_path):
    # Each sequence repeats the next 255 times: 255^8 codes in all.
    seqs = {350000 + i: [101255, 350000 + i + 1] for i in range(1, 8)}
    seqs[350008] = [101255, 1001]
    t = c.TableSet.from_eccodes(table_dir(tmp_path / "boom", elements=[], sequences=seqs))
    assert expand_err(t, [350001]) == PREFIX + "sequence expansion exceeded 33554432 descriptors"
    # Groups that yield nothing are bounded too.
    seqs = {351000 + i: [101255, 351000 + i + 1] for i in range(1, 8)}
    seqs[351008] = [101255, 201129]
    t = c.TableSet.from_eccodes(table_dir(tmp_path / "quiet", elements=[], sequences=seqs))
    assert expand_err(t, [351001]) == PREFIX + "sequence expansion exceeded 33554432 descriptors"
