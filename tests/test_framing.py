"""Framing of one message: section checks in their order, the fields of
section 1 and 3, and the record's repr."""

import pytest

import _corvena as c
from bufr_build import Bits, message, section1, with_total


def test_fields_of_a_well_formed_message():
    msg = message([307080, 1001], Bits().put(5, 7), subsets=3, centre=78, subcentre=4, update=2,
                  category=7, intl_subcategory=8, local_subcategory=9, master_version=35, local_version=1,
                  when=(2021, 5, 16, 12, 4, 59), compressed=True)
    m = c.parse_bytes(msg)
    assert (m.edition, m.total_length, m.section1_length) == (4, len(msg), 22)
    assert (m.section2_length, m.section3_length, m.section4_length) == (0, 11, 5)
    assert m.section4_data_offset == 8 + 22 + 11 + 4 and m.section4_data_length == 1
    assert (m.master_table_number, m.originating_centre, m.originating_subcentre) == (0, 78, 4)
    assert (m.update_sequence_number, m.local_section_present) == (2, False)
    assert (m.data_category, m.international_data_subcategory, m.local_data_subcategory) == (7, 8, 9)
    assert (m.master_tables_version_number, m.local_tables_version_number) == (35, 1)
    when = (m.typical_year, m.typical_month, m.typical_day, m.typical_hour, m.typical_minute, m.typical_second)
    assert when == (2021, 5, 16, 12, 4, 59)
    assert (m.number_of_subsets, m.observed_data, m.compressed_data) == (3, True, True)
    assert m.unexpanded_descriptors == [307080, 1001]
    assert all(type(getattr(m, f)) is bool for f in ("local_section_present", "observed_data", "compressed_data"))


def test_repr_and_fresh_descriptor_lists():
    msg = message([307080], subsets=3)
    m = c.parse_bytes(msg)
    assert repr(m) == "BufrMessage(edition=4, length=%d, subsets=3, descriptors=[307080])" % len(msg)
    assert repr(c.parse_bytes(message([]))).endswith("descriptors=[])")
    lst = m.unexpanded_descriptors
    lst.append(1)
    assert m.unexpanded_descriptors == [307080]
    assert m.unexpanded_descriptors is not m.unexpanded_descriptors


def test_class_is_not_constructible_and_read_only():
    with pytest.raises(TypeError, match=r"cannot create '_corvena.BufrMessage' instances"):
        c.BufrMessage()
    m = c.parse_bytes(message([]))
    with pytest.raises(AttributeError):
        m.edition = 3
    assert m != c.parse_bytes(message([]))  # equality is identity


def err(data):
    with pytest.raises(ValueError) as info:
        c.parse_bytes(data)
    assert len(info.value.args) == 1
    return str(info.value)


def test_checks_in_step_order():
    good = message([1001], b"\x00")
    assert err(b"BUFR\x00\x00\x07") == "message is too short to be BUFR"
    assert err(b"XUFR\x00\x00\x08\x04") == "missing BUFR marker"
    # The edition is checked before the length.
    assert err(with_total(good[:7] + b"\x03" + good[8:], 5)) == \
        "unsupported BUFR edition 3; only edition 4 is implemented"
    assert err(good + b"\n") == "declared length %d does not match buffer length %d" % (len(good), len(good) + 1)
    assert err(b"BUFR\x00\x00\x0a\x04\x00\x00") == "section 1 at offset 8 is truncated"
    # Section 1 declares more than the buffer holds.
    bad1 = with_total(b"BUFR\x00\x00\x00\x04" + b"\x00\x01\x00" + b"\0" * 20, 31)
    assert err(bad1) == "section 1 at offset 8 is truncated"
    # Section 1 fits but the buffer ends before byte 25 (the typical year).
    short = b"BUFR\x00\x00\x14\x04" + b"\x00\x00\x03" + b"\0" * 9
    assert err(short) == "section 1 at offset 23 is truncated"


def test_buffer_ending_before_the_section2_flag():
    # Section 1 declares 3 octets, so it fits, but byte 17 is not there.
    data = b"BUFR\x00\x00\x0f\x04" + b"\x00\x00\x03" + b"\0" * 4
    assert err(data) == "section 1 at offset 8 is truncated"


def test_message_shorter_than_the_fixed_section1_fields():
    # A 3-octet section 1 lets every later section fit in 29 bytes; the
    # fields up to byte 29 are not all there.
    s1 = b"\x00\x00\x03"
    s3 = b"\x00\x00\x07\x00\x00\x01\x00"  # its flags octet is byte 17: no section 2
    s4 = b"\x00\x00\x04\x00"
    body = s1 + s3 + s4 + b"7777"
    data = b"BUFR" + (8 + len(body)).to_bytes(3, "big") + b"\x04" + body
    assert len(data) < 30
    assert err(data) == "section 1 at offset 8 is truncated"


def test_section2_section3_section4_and_end_marker():
    m = message([1001], b"\x00", section2=b"local")
    parsed = c.parse_bytes(m)
    assert parsed.local_section_present and parsed.section2_length == 9
    s2 = 8 + 22
    # Section 2 length running past the end.
    bad = bytearray(m)
    bad[s2:s2 + 3] = (len(m)).to_bytes(3, "big")
    assert err(bytes(bad)) == "section 2 at offset %d is truncated" % s2
    s3 = s2 + 9
    for n3, text in ((6, "section 3 at offset %d is truncated" % s3), (len(m), "section 3 at offset %d is truncated" % s3)):
        bad = bytearray(m)
        bad[s3:s3 + 3] = n3.to_bytes(3, "big")
        assert err(bytes(bad)) == text
    assert err(message([], s1=None)[:0] + _odd_section3()) == "section 3 descriptor area has odd byte count"
    s4 = s3 + 9
    bad = bytearray(m)
    bad[s4:s4 + 3] = (len(m)).to_bytes(3, "big")
    assert err(bytes(bad)) == "section 4 at offset %d is truncated" % s4
    bad = bytearray(m)
    bad[s4:s4 + 3] = (6).to_bytes(3, "big")  # section 5 would start past the end
    assert err(bytes(bad)) == "section 5 at offset %d is truncated" % (s4 + 6)
    assert err(message([1001], b"\x00", end=b"7778")) == "section 5 terminator is not 7777"


def _padded_section3(pad):
    m = bytearray(message([1001, 2001], b""))
    s3 = 8 + 22
    m[s3:s3 + 3] = (12).to_bytes(3, "big")
    # One octet after the descriptor words, as encoders that keep an even
    # section length write it.
    m[s3 + 11:s3 + 11] = bytes([pad])
    return with_total(bytes(m), len(m))


@pytest.mark.parametrize("pad,expected", [(0, [1001, 2001]), (1, "section 3 descriptor area has odd byte count"),
                                          (0x80, "section 3 descriptor area has odd byte count")])
def test_section3_padding_octet(pad, expected):
    msg = _padded_section3(pad)
    if isinstance(expected, str):
        assert err(msg) == expected
    else:
        parsed = c.parse_bytes(msg)
        assert parsed.unexpanded_descriptors == expected and parsed.section3_length == 12


def _odd_section3():
    m = bytearray(message([1001], b""))
    s3 = 8 + 22
    m[s3:s3 + 3] = (8).to_bytes(3, "big")
    # Drop one octet of the descriptor word and fix the total length.
    del m[s3 + 8]
    return with_total(bytes(m), len(m))


def test_section3_layout_rules():
    assert c.parse_bytes(message([])).unexpanded_descriptors == []
    m = c.parse_bytes(message([307080, 1001, 363255]))
    assert m.unexpanded_descriptors == [307080, 1001, 363255]
    # Octet 10 of section 1 counts when any bit is set.
    msg = bytearray(message([]))
    msg[17] = 0x01
    sec2 = b"\x00\x00\x05\x00\x00"
    msg = msg[:30] + sec2 + msg[30:]
    assert c.parse_bytes(with_total(bytes(msg), len(msg))).section2_length == 5


def test_short_section4_and_spare_bytes():
    msg = bytearray(message([1001], b""))
    s4 = len(msg) - 4 - 4
    msg[s4:s4 + 3] = (3).to_bytes(3, "big")
    del msg[s4 + 3]
    msg = with_total(bytes(msg), len(msg))
    m = c.parse_bytes(msg)
    assert m.section4_length == 3 and m.section4_data_length == 0 and m.section4_data_offset == s4 + 4
    spare = message([1001], b"\x00") + b"xyz"
    assert c.parse_bytes(with_total(spare, len(spare))).total_length == len(spare)


def test_longer_section1_moves_section3():
    m = c.parse_bytes(message([1001], b"\x00", s1=section1(length=24, master_version=36)))
    assert m.section1_length == 24 and m.master_tables_version_number == 36
    assert m.section4_data_offset == 8 + 24 + 9 + 4


def test_huge_buffer_is_a_length_mismatch():
    data = message([]) + b"\0" * (1 << 24)
    assert err(data).startswith("declared length")


def test_parse_file(tmp_path):
    msg = message([1001], b"\x00")
    p = tmp_path / "one.bufr"
    p.write_bytes(msg)
    assert c.parse_file(str(p)).total_length == len(msg)
    p.write_bytes(msg + b"\n")
    with pytest.raises(ValueError, match="declared length %d does not match buffer length %d" % (len(msg), len(msg) + 1)):
        c.parse_file(str(p))
    with pytest.raises(OSError) as info:
        c.parse_file(str(tmp_path / "missing.bufr"))
    assert not isinstance(info.value, ValueError)
    assert str(info.value) == "No such file or directory (os error 2)"
    assert info.value.errno is None and info.value.filename is None
    with pytest.raises(OSError, match=r"Is a directory \(os error 21\)"):
        c.parse_file(str(tmp_path))
