"""The Descriptor class: parts, code form, wrapping and range rules."""

import pytest

from _corvena import Descriptor

OUT_OF_RANGE = "out of range integral type conversion attempted"


def test_parts_and_code():
    d = Descriptor.from_fxy(301011)
    assert (d.f, d.x, d.y, d.fxy) == (3, 1, 11, 301011)
    assert repr(d) == "Descriptor(301011)" == str(d)
    d = Descriptor(0, 1, 1)
    assert d.fxy == 1001 and repr(d) == "Descriptor(001001)"
    assert Descriptor(3, 63, 255).fxy == 363255
    big = Descriptor(255, 255, 255)
    assert big.fxy == 25755255 and repr(big) == "Descriptor(25755255)"
    assert Descriptor(f=9, x=200, y=0).fxy == 1100000


def test_split_wraps_to_eight_bits():
    d = Descriptor.from_fxy(999)
    assert (d.f, d.x, d.y) == (0, 0, 231)
    d = Descriptor.from_fxy(25600000)
    assert (d.f, d.x, d.y) == (0, 0, 0)
    assert (Descriptor.from_fxy(4294967295).f) == 42949 % 256
    # Round trip holds within the BUFR ranges, not beyond x 99.
    for code in (0, 1001, 363255, 299099):
        assert Descriptor.from_fxy(code).fxy == code
    d = Descriptor(0, 100, 0)
    assert d.fxy == 100000 and (Descriptor.from_fxy(d.fxy).f, Descriptor.from_fxy(d.fxy).x) == (1, 0)


def test_range_and_type_errors():
    # Every size of out-of-range part gives the same text.
    for bad in (256, -1, 2**63, 2**64, -2**64, 10**30):
        with pytest.raises(OverflowError, match=OUT_OF_RANGE):
            Descriptor(0, 0, bad)
        with pytest.raises(OverflowError, match=OUT_OF_RANGE):
            Descriptor(bad, 0, 0)
    with pytest.raises(OverflowError, match=OUT_OF_RANGE):
        Descriptor(0, 0, 256)
    with pytest.raises(OverflowError, match=OUT_OF_RANGE):
        Descriptor(-1, 0, 0)
    with pytest.raises(TypeError, match=r"^argument 'x': "):
        Descriptor(0, 1.0, 0)
    with pytest.raises(TypeError, match=r"^argument 'y': "):
        Descriptor(0, 0, "1")
    with pytest.raises(TypeError):
        Descriptor(0, 0)
    with pytest.raises(OverflowError):
        Descriptor.from_fxy(-1)
    with pytest.raises(OverflowError, match=OUT_OF_RANGE):
        Descriptor.from_fxy(1 << 32)
    with pytest.raises(TypeError, match=r"^argument 'code': "):
        Descriptor.from_fxy(1.5)


def test_index_protocol_and_identity():
    class Seven:
        def __index__(self):
            return 7

    assert Descriptor(Seven(), 0, Seven()).fxy == 700007
    assert Descriptor.from_fxy(code=Seven()).y == 7
    a, b = Descriptor(0, 1, 1), Descriptor(0, 1, 1)
    assert a != b and len({a, b}) == 2
    with pytest.raises(AttributeError):
        a.f = 1
