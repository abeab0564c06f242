"""List the BUFR messages of files and, when tables are at hand, decode them.

    python -m corvena FILE...                  framing and identification data,
                                               then the decoded items of each
                                               message (tables chosen under the
                                               ecCodes definitions root)
    python -m corvena --no-values FILE...      framing data only
    python -m corvena --definitions ROOT FILE  another definitions root
    python -m corvena --tables DIR FILE        one ecCodes table directory
    python -m corvena --wmo-csv DIR FILE       the WMO BUFR4 CSV tables
"""

import argparse
import os
import sys

import _corvena
from corvena import message_slices

DEFAULT_DEFINITIONS = "/usr/share/eccodes/definitions"

HEADER_FIELDS = (
    "edition",
    "total_length",
    "master_table_number",
    "master_tables_version_number",
    "local_tables_version_number",
    "originating_centre",
    "originating_subcentre",
    "update_sequence_number",
    "data_category",
    "international_data_subcategory",
    "local_data_subcategory",
    "number_of_subsets",
    "observed_data",
    "compressed_data",
)


def describe(message):
    when = "%04d-%02d-%02d %02d:%02d:%02d" % (
        message.typical_year,
        message.typical_month,
        message.typical_day,
        message.typical_hour,
        message.typical_minute,
        message.typical_second,
    )
    fields = " ".join("%s=%s" % (name, getattr(message, name)) for name in HEADER_FIELDS)
    return "%s time=%s descriptors=%s" % (fields, when, message.unexpanded_descriptors)


def format_item(item):
    if item.raw_text is not None:
        shown = repr(item.raw_text)
    elif item.raw_meaning is not None:
        shown = "%s (%s)" % (item.raw, item.raw_meaning)
    elif item.raw_value is not None:
        shown = repr(item.raw_value)
    else:
        shown = "missing"
    return "%06d %s = %s" % (item.descriptor, item.name, shown)


def main(argv=None):
    parser = argparse.ArgumentParser(prog="python -m corvena", description="Read BUFR edition 4 files.")
    parser.add_argument("files", nargs="+", metavar="FILE")
    source = parser.add_mutually_exclusive_group()
    source.add_argument("--definitions", metavar="ROOT", help="ecCodes definitions root")
    source.add_argument("--tables", metavar="DIR", help="one ecCodes BUFR table directory")
    source.add_argument("--wmo-csv", metavar="DIR", help="directory of the WMO BUFR4 CSV tables")
    parser.add_argument("--no-values", action="store_true", help="list the messages only")
    args = parser.parse_args(argv)

    tables = None
    definitions = None
    if not args.no_values:
        try:
            if args.tables:
                tables = _corvena.TableSet.from_eccodes(args.tables)
            elif args.wmo_csv:
                tables = _corvena.TableSet.from_bufr4_45(args.wmo_csv)
            elif args.definitions:
                definitions = args.definitions
            elif os.path.isdir(DEFAULT_DEFINITIONS):
                definitions = DEFAULT_DEFINITIONS
        except ValueError as exc:
            print("error: tables: %s" % exc, file=sys.stderr)
            return 2

    status = 0
    for path in args.files:
        try:
            messages = _corvena.parse_all_file(path)
        except (OSError, ValueError) as exc:
            print("%s: error: %s" % (path, exc), file=sys.stderr)
            status = 1
            continue
        print("%s: %d message(s)" % (path, len(messages)))
        if tables is None and definitions is None:
            for number, message in enumerate(messages, 1):
                print("  message %d: %s" % (number, describe(message)))
            continue
        with open(path, "rb") as handle:
            data = handle.read()
        for number, (message, raw) in enumerate(zip(messages, message_slices(data)), 1):
            print("  message %d: %s" % (number, describe(message)))
            try:
                if tables is not None:
                    items = _corvena.decode_values_with_tables(raw, tables)
                else:
                    items = _corvena.decode_values_with_definitions(raw, definitions)
            except ValueError as exc:
                print("%s: message %d: error: %s" % (path, number, exc), file=sys.stderr)
                status = 1
                continue
            for item in items:
                print("    " + format_item(item))
    return status


if __name__ == "__main__":
    sys.exit(main())
