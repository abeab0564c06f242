"""Finding several messages in one buffer or file."""

import os

import pytest

import _corvena as c
from bufr_build import message, with_total
from conftest import MESSAGES, message_files, split_messages

A = message([1001], b"\x05", subsets=1)
B = message([1001, 1002], b"\x05\x06", subsets=2)


def test_noise_before_between_and_after():
    data = b"n" * 10 + A + b"xyz" + B + b"!!"
    ms = c.parse_all_bytes(data)
    assert [m.number_of_subsets for m in ms] == [1, 2]
    assert c.parse_all_bytes(A + B + b"12345")[1].total_length == len(B)
    assert c.parse_all_bytes(b"") == [] and c.parse_all_bytes(b"no marker here") == []


def test_marker_too_close_to_the_end():
    with pytest.raises(ValueError, match="^message is too short to be BUFR$"):
        c.parse_all_bytes(A + B + b"BUFR123")


def test_total_past_the_end_reports_the_marker_offset():
    data = b"abc" + A + b"zz" + with_total(B, len(B) + 1)
    with pytest.raises(ValueError, match=r"^section 0 at offset %d is truncated$" % (3 + len(A) + 2)):
        c.parse_all_bytes(data)


def test_one_bad_message_fails_the_whole_call():
    bad = A[:7] + b"\x03" + A[8:]
    with pytest.raises(ValueError, match="^unsupported BUFR edition 3; only edition 4 is implemented$"):
        c.parse_all_bytes(A + bad)
    # Offsets of framing errors count from the start of that message.
    with pytest.raises(ValueError, match=r"^section 5 terminator is not 7777$"):
        c.parse_all_bytes(A + message([1001], b"\x00", end=b"7787"))


def test_marker_inside_data_and_short_totals():
    inner = message([1001], b"BUFR\x00\x00\x10\x04")
    assert len(c.parse_all_bytes(inner)) == 1
    # A declared total of 5 gives a five-byte slice that cannot frame.
    with pytest.raises(ValueError, match="^message is too short to be BUFR$"):
        c.parse_all_bytes(with_total(A, 5))


def test_zero_total_fails_instead_of_looping():
    zero = b"BUFR\x00\x00\x00\x04" + b"\0" * 20
    with pytest.raises(ValueError, match="^message is too short to be BUFR$"):
        c.parse_all_bytes(zero)
    with pytest.raises(ValueError, match="^message is too short to be BUFR$"):
        c.parse_all_bytes(A + zero)
    with pytest.raises(ValueError, match="^message is too short to be BUFR$"):
        c.decode_values(zero, "/nonexistent")


def test_parse_all_file(tmp_path):
    p = tmp_path / "two.bufr"
    p.write_bytes(A + b"\r\n" + B + b"\r\n")
    assert len(c.parse_all_file(str(p))) == 2
    with pytest.raises(OSError):
        c.parse_all_file(str(tmp_path / "none"))


@pytest.mark.parametrize("path", message_files(), ids=os.path.basename)
def test_real_files_match_a_marker_scan(path):
    with open(path, "rb") as f:
        data = f.read()
    expected = split_messages(data)
    ms = c.parse_all_file(path)
    assert len(ms) == len(expected)
    assert [m.total_length for m in ms] == [len(m) for m in expected]
    assert all(m.edition == 4 for m in ms)
