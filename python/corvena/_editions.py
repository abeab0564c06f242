"""Editions 2 and 3: their messages in edition 4 form.

Sections 2 to 5 are the same in editions 2, 3 and 4; section 0 differs only
in the edition number, and section 1 in its layout:

========================  ===========================  ===========================
edition 4 (octets)        edition 3                    edition 2
========================  ===========================  ===========================
centre (5-6, 16 bits)     centre (6, 8 bits)           centre (5-6, 16 bits)
sub-centre (7-8)          sub-centre (5, 8 bits)       none
international sub-        none                         none
category (12)
local sub-category (13)   data sub-category (10)       data sub-category (10)
year (16-17)              year of century (13)         year of century (13)
second (22)               none                         none
========================  ===========================  ===========================

A message of edition 2 or 3 is read by rewriting section 0 and 1 into the
edition 4 layout and leaving the rest as it is: every decoder then reads it
as it reads edition 4, and the fields that the older edition lacks are
reported as absent (``None``). The full year of a year of century is
2000 + year, as ecCodes gives it.
"""

from __future__ import annotations

from typing import Dict, Optional, Tuple

__all__ = ["SUPPORTED", "as_edition4", "leading_message_as_edition4"]

#: The editions the package reads.
SUPPORTED = (2, 3, 4)

# Section 1 of editions 2 and 3 reaches the minute at octet 17.
_MIN_SECTION1 = 17


def edition_of(data: bytes) -> Optional[int]:
    """The edition octet of a message (the eighth), if there is one."""
    return data[7] if len(data) > 7 else None


def unsupported(edition: Optional[int]) -> str:
    """Why a message of `edition` is not read."""
    return "unsupported BUFR edition %s: corvena reads editions 2, 3 and 4" % edition


def as_edition4(data: bytes) -> Tuple[bytes, Optional[Dict[str, object]]]:
    """The message in edition 4 form, and the header fields that differ from
    what that form says (None for an edition 4 message, given back as it is).

    Raises ValueError for an edition the package does not read and for a
    section 1 too short for its edition."""
    edition = edition_of(data)
    if edition == 4:
        return data, None
    if edition not in (2, 3):
        raise ValueError(unsupported(edition))
    if len(data) < 8 + _MIN_SECTION1:
        raise ValueError("edition %d message of %d octets is too short for its section 1" % (edition, len(data)))
    s1_length = int.from_bytes(data[8:11], "big")
    if s1_length < _MIN_SECTION1 or 8 + s1_length > len(data):
        raise ValueError("section 1 of %d octets does not fit an edition %d message of %d octets"
                         % (s1_length, edition, len(data)))
    s1 = data[8 : 8 + s1_length]
    if edition == 3:
        centre, subcentre = s1[5], s1[4]
    else:
        centre, subcentre = int.from_bytes(s1[4:6], "big"), 0
    year = 2000 + s1[12]
    section1 = (
        (22).to_bytes(3, "big")
        + bytes([s1[3]])
        + centre.to_bytes(2, "big")
        + subcentre.to_bytes(2, "big")
        + bytes([s1[6], s1[7], s1[8], 255, s1[9], s1[10], s1[11]])
        + year.to_bytes(2, "big")
        + bytes([s1[13], s1[14], s1[15], s1[16], 0])
    )
    rest = data[8 + s1_length :]
    total = 8 + len(section1) + len(rest)
    if total >= 1 << 24:
        raise ValueError("edition %d message too long to read" % edition)
    converted = b"BUFR" + total.to_bytes(3, "big") + b"\x04" + section1 + rest
    shift = s1_length - len(section1)
    overrides: Dict[str, object] = {
        "edition": edition,
        "total_length": len(data),
        "section1_length": s1_length,
        "international_data_subcategory": None,
        "typical_second": None,
        "originating_subcentre": subcentre if edition == 3 else None,
        "_shift": shift,  # octets from the edition 4 form back to the message
    }
    return converted, overrides


def leading_message_as_edition4(data: bytes) -> bytes:
    """`data` for the decoders, which read its first message: a leading
    message of edition 2 or 3 in edition 4 form, anything else as it is
    (the decoders then say what is wrong with it)."""
    if len(data) < 8 or data[:4] != b"BUFR" or data[7] not in (2, 3):
        return data
    total = int.from_bytes(data[4:7], "big")
    try:
        return as_edition4(bytes(data[:total]))[0]
    except ValueError:
        return data
