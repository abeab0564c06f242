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
    """Message byte strings, as the library's own scan finds them."""
    from corvena import _ext

    return [data[start:start + length] for start, length, error in _ext.scan(data, 0) if error is None]


@pytest.fixture(scope="session")
def definitions():
    if not os.path.isdir(DEFINITIONS):
        pytest.fail("the ecCodes definitions root %s is missing: install libeccodes-data" % DEFINITIONS)
    return DEFINITIONS
