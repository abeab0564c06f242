"""Every message of the real files decodes against the Debian definitions
root, or fails with the error whose cause is known."""

import os

import pytest

import _corvena as c
from conftest import message_files, split_messages

# Causes confirmed by hand; ecCodes' own verdict is in the notes of each.
KNOWN_FAILURES = {
    # The version 16 tables of the definitions root do not describe this
    # message: ecCodes fails on it too, 6 bits short.
    "jason2.bufr": "not enough bits while reading section 4 at bit 540114 for width 16 (540120 bits available)",
}


@pytest.mark.parametrize("path", message_files(), ids=os.path.basename)
def test_every_message_decodes_or_fails_for_a_known_cause(definitions, path):
    name = os.path.basename(path)
    with open(path, "rb") as f:
        data = f.read()
    messages = split_messages(data)
    assert messages
    for msg in messages:
        if name in KNOWN_FAILURES:
            with pytest.raises(ValueError) as info:
                c.decode_values_with_definitions(msg, definitions)
            assert KNOWN_FAILURES[name] in str(info.value)
            continue
        m = c.parse_bytes(msg)
        items = c.decode_values_with_definitions(msg, definitions)
        assert (len(items) > 0) == (m.number_of_subsets > 0)
        if m.compressed_data and m.number_of_subsets:
            assert len(items) % m.number_of_subsets == 0
        # The same tables loaded once give the same result.
        again = c.decode_values_with_tables(msg, c.TableSet.from_definitions(definitions, m))
        assert [repr(x) for x in again] == [repr(x) for x in items]


def test_decode_values_reads_one_directory(definitions):
    path = os.path.join(os.path.dirname(message_files()[0]), "synop_multi_subset_uncompressed.bufr")
    with open(path, "rb") as f:
        data = f.read()
    m = c.parse_all_bytes(data)[0]
    table_dir = os.path.join(definitions, "bufr", "tables", "0", "wmo", str(m.master_tables_version_number))
    items = c.decode_values(data, table_dir)
    assert len(items) == len(c.decode_values_with_definitions(data, definitions))
    station_names = [x.raw_text for x in items if x.descriptor == 1015]
    assert station_names[0] == "TROMSO-HOLT" and len(station_names) == m.number_of_subsets


def test_wmo_csv_tables_decode_real_messages(definitions):
    from conftest import WMO_CSV
    wmo = c.TableSet.from_bufr4_45(WMO_CSV)
    path = os.path.join(os.path.dirname(message_files()[0]), "synop_multi_subset_uncompressed.bufr")
    with open(path, "rb") as f:
        data = f.read()
    with_wmo = c.decode_values_with_tables(data, wmo)
    with_eccodes = c.decode_values_with_definitions(data, definitions)
    assert [(x.descriptor, x.raw, x.raw_value, x.raw_text) for x in with_wmo] == \
        [(x.descriptor, x.raw, x.raw_value, x.raw_text) for x in with_eccodes]
    assert all(x.raw_meaning is None for x in with_wmo)
