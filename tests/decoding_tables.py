"""A small ecCodes table directory for decoding tests."""

import pytest

import _corvena as c
from bufr_build import table_dir

ELEMENTS = [
    (1001, "BLOCK", "Numeric", 0, 0, 7),
    (1002, "STATION", "Numeric", 0, 0, 10),
    (1015, "NAME", "CCITT IA5", 0, 0, 32),
    (1019, "LONG NAME", "CCITT IA5", 0, 0, 64),
    (2001, "STATION TYPE", "CODE TABLE", 0, 0, 2),
    (4001, "YEAR", "a", 0, 0, 12),
    (12001, "TEMPERATURE", "K", 1, 0, 12),
    (12101, "TEMP2", "K", 2, -1000, 12),
    (10004, "PRESSURE", "Pa", -1, 0, 14),
    (8002, "SIGNIFICANCE", "CODE TABLE", 0, 0, 6),
    (7004, "WIDE", "Pa", 0, 0, 20),
    (11001, "EIGHT", "deg", 0, 0, 8),
    (11002, "EIGHT2", "m/s", 1, 0, 8),
    (11003, "SCALED", "m/s", 1, 0, 8),
    (12002, "REF", "K", 1, -400, 12),
    (31001, "FACTOR", "Numeric", 0, 0, 8),
    (31002, "WIDE FACTOR", "Numeric", 0, 0, 16),
    (31000, "SHORT FACTOR", "Numeric", 0, 0, 1),
    (31021, "ASSOC SIGNIFICANCE", "CODE TABLE", 0, 0, 6),
    (31031, "DATA PRESENT", "FLAG TABLE", 0, 0, 1),
    (33007, "CONFIDENCE", "%", 0, 0, 7),
    (13013, "WIDE64", "m", 0, 0, 64),
    (13014, "ZERO WIDTH", "m", 0, 0, 0),
    (13015, "SEVEN", "m", 0, 0, 7),
]

SEQUENCES = {
    301001: [1001, 1002],
    301002: [301001, 4001],
    301003: [301003],
    301004: [400000],
}

CODETABLES = {
    2001: {0: "AUTOMATIC", 1: "MANNED", 3: "MISSING"},
    8002: {63: "MISSING VALUE"},
    13015: {127: "ALL ONES"},
    31031: {0: "PRESENT", 1: "NOT PRESENT"},
}


@pytest.fixture(scope="module")
def tables_dir(tmp_path_factory):
    return table_dir(tmp_path_factory.mktemp("tables"), elements=ELEMENTS, sequences=SEQUENCES, codetables=CODETABLES)


@pytest.fixture(scope="module")
def tables(tables_dir):
    return c.TableSet.from_eccodes(tables_dir)
