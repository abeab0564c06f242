import glob
import os

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
SHARED = os.path.normpath(os.path.join(HERE, "..", "..", "shared"))
MESSAGES = os.path.join(SHARED, "data", "messages")
WMO_CSV = os.path.join(SHARED, "data", "wmo-bufr4")
DEFINITIONS = "/usr/share/eccodes/definitions"


def message_files():
    return sorted(glob.glob(os.path.join(MESSAGES, "*.bufr")))


def split_messages(data):
    """Message byte strings by marker and total length."""
    out, pos = [], 0
    while True:
        at = data.find(b"BUFR", pos)
        if at < 0 or at + 8 > len(data):
            return out
        total = int.from_bytes(data[at + 4:at + 7], "big")
        out.append(data[at:at + total])
        pos = at + total


@pytest.fixture(scope="session")
def definitions():
    if not os.path.isdir(DEFINITIONS):
        pytest.fail("the ecCodes definitions root %s is missing: install libeccodes-data" % DEFINITIONS)
    return DEFINITIONS
