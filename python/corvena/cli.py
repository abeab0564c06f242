"""The ``corvena`` command: list, dump, extract, copy, set and compare BUFR files.

    corvena ls FILE...                   one row per message
    corvena dump [--json] FILE...        every value, subset by subset (element by
                                         element in a compressed message)
    corvena get --keys K1,K2 FILE...     selected keys as CSV, one row per subset
    corvena get --columns K1,K2 [--filter KEY=V] FILE...
                                         observations in context as CSV (or Parquet)
    corvena copy [-w KEY=V[/V2],...] [--subsets KEY=V[/V2],...] IN... OUT
                                         the messages whose header keys match, byte for byte,
                                         or only their subsets whose data keys match
    corvena set -s KEY=V,... IN... OUT   every message with header keys set in place, or
                                         data keys set (the data encoded anew)
    corvena compare [--tolerance X] A B  the differences of two files, one line each

Exit status: 0 when every message was read (for ``compare``: and the files
are the same); 1 when a file or a message could not be read or decoded (the
first such error stops the run unless ``--continue-on-error`` is given), or
when ``compare`` found differences; 2 for a usage or tables error; 130 when
interrupted; 141 when standard output was closed early (``| head``), as
other Unix tools do, without a traceback.
"""

from __future__ import annotations

import argparse
import csv
import itertools
import json
import os
import sys
import time
import warnings
from typing import Any, Callable, Dict, Iterable, List, Mapping, Optional, Sequence, TextIO, Tuple, Union

from . import _dump
from ._reader import Item, Items, Message, ReadError, read
from ._optional import require
from ._tables import SHIPPED_TABLES, Tables
from ._writer import write

PROG = "corvena"

class Failed(Exception):
    """Stops the run after an error was reported."""


class Progress:
    """A one-line progress indicator on standard error, shown only on a
    terminal and only once a run has taken more than a second."""

    def __init__(self, enabled: bool) -> None:
        self.enabled = enabled and sys.stderr.isatty()
        self.start = time.monotonic()
        self.last = 0.0
        self.shown = False

    def update(self, name: str, done: int, total: int) -> None:
        if not self.enabled:
            return
        now = time.monotonic()
        if now - self.start < 1.0 or now - self.last < 0.2:
            return
        self.last = now
        fraction = done / total if total else 1.0
        width = 30
        filled = int(fraction * width)
        shown = name if len(name) <= 40 else "..." + name[-37:]
        sys.stderr.write("\r%s [%s%s] %3d%%" % (shown, "#" * filled, "." * (width - filled), fraction * 100))
        sys.stderr.flush()
        self.shown = True

    def clear(self) -> None:
        if self.shown:
            sys.stderr.write("\r\033[K")
            sys.stderr.flush()
            self.shown = False


class Run:
    """What every command shares: tables, error handling, progress."""

    def __init__(self, args: argparse.Namespace) -> None:
        self.args = args
        self.status = 0
        self.progress = Progress(not args.no_progress)
        if args.tables is not None and not os.path.exists(args.tables):
            raise ValueError("%s: not found" % args.tables)
        self.tables = Tables(SHIPPED_TABLES if args.shipped_tables else args.tables)

    def error(self, text: str) -> None:
        self.progress.clear()
        print("%s: error: %s" % (PROG, text), file=sys.stderr)
        self.status = 1
        if not self.args.continue_on_error:
            raise Failed()

    def messages(self, paths: Iterable[str]) -> Iterable[Message]:
        """Every message of every file; errors reported as the options say."""

        def on_error(exc: ReadError) -> None:
            self.error(str(exc))

        for path in paths:
            try:
                source = _source(path)
                size = 0 if source is not path else os.path.getsize(path)  # no size for standard input
                done = 0
                for message in read(source, tables=self.tables, errors=on_error):
                    yield message
                    done += len(message.data)
                    self.progress.update(path, done, size)
            except OSError as exc:
                self.error("%s: %s" % (path, exc.strerror or exc))
        self.progress.clear()

    def decoded(self, paths: Iterable[str], use: Callable[[Message], None]) -> None:
        for message in self.messages(paths):
            try:
                use(message)
            except ReadError as exc:
                self.error(str(exc))


def _source(path: str) -> Any:
    """What to read for a FILE argument: "-" is standard input."""
    return sys.stdin.buffer if path == "-" else path


def _data_key(key: str) -> Any:
    """A data key as the items look it up: a descriptor written with fewer
    than six digits (``12101``) as a number."""
    return int(key) if key.isdigit() and len(key) < 6 else key


def _missing(text: str) -> bool:
    """Whether a value on the command line stands for a missing value."""
    return text == "" or text.lower() == "missing"


# ---- ls --------------------------------------------------------------------

LS_COLUMNS = ("file", "index", "centre", "subcentre", "category", "typical_time", "subsets", "compressed", "tables")


def cmd_ls(run: Run, out: TextIO) -> None:
    out.write("\t".join(LS_COLUMNS) + "\n")
    for message in run.messages(run.args.files):
        h = message  # its own header fields, whatever its edition
        row = (
            message.source,
            message.index,
            h.originating_centre,
            h.originating_subcentre,
            h.data_category,
            _dump.typical_time(message),
            h.number_of_subsets,
            "yes" if h.compressed_data else "no",
            message.tables_used,
        )
        out.write("\t".join("" if v is None else str(v) for v in row) + "\n")


# ---- dump ------------------------------------------------------------------


def cmd_dump(run: Run, out: TextIO) -> None:
    as_json = run.args.json
    written = [0]

    def use(message: Message) -> None:
        if as_json:
            text = _dump.message_json(message)
            out.write(("[\n" if written[0] == 0 else ",\n") + text)
        else:
            _dump.write_text(message, out)
        written[0] += 1

    try:
        run.decoded(run.args.files, use)
    finally:
        if as_json:
            out.write("[]\n" if written[0] == 0 else "\n]\n")


# ---- get -------------------------------------------------------------------


def parse_filter(text: str) -> Tuple[str, Any]:
    """A filter from its command-line form: ``key=value``, ``key=v1,v2,...``
    (any of the values) or ``key=low:high`` (a range, ends included, either
    end may be left out). Numbers read as numbers, anything else as text."""
    key, sep, rule = text.partition("=")
    key = key.strip()
    if not sep or not key:
        raise ValueError("filter %r: write KEY=VALUE, KEY=V1,V2 or KEY=LOW:HIGH" % text)
    if ":" in rule and "," not in rule:
        low, _, high = rule.partition(":")
        return key, slice(_scalar(low) if low.strip() else None, _scalar(high) if high.strip() else None)
    if "," in rule:
        return key, [_scalar(p) for p in rule.split(",")]
    return key, _scalar(rule)


def _scalar(text: str) -> Any:
    t = text.strip()
    try:
        return float(t)
    except ValueError:
        return t


def write_table(
    sources: Sequence[Any],
    columns: Union[str, Sequence[str]],
    filters: Union[None, Sequence[str], Mapping[str, Any]] = None,
    output: Any = None,
    *,
    format: Optional[str] = None,
    tables: Any = None,
    errors: Any = "raise",
    required_columns: Union[bool, Sequence[str]] = True,
) -> int:
    """Writes the observations of `sources` as CSV (to `output`, a path or a
    text stream, standard output when None) or as Parquet (`format`
    "parquet", or an output path ending in ``.parquet``; needs pyarrow).
    `columns` may be one comma-separated string and `filters` a list of
    command-line filters (see :func:`parse_filter`). Returns the row count."""
    if isinstance(columns, str):
        columns = [c.strip() for c in columns.split(",") if c.strip()]
    if filters is None:
        parsed: Dict[str, Any] = {}
    elif isinstance(filters, Mapping):
        parsed = dict(filters)
    else:
        parsed = dict(parse_filter(f) for f in filters)
    from .frame import read_bufr

    frame = read_bufr(list(sources), columns, parsed, required_columns=required_columns, tables=tables, errors=errors)
    if format is None:
        format = "parquet" if isinstance(output, (str, os.PathLike)) and os.fspath(output).endswith(".parquet") else "csv"
    if format == "parquet":
        require("pyarrow", "parquet", "Parquet output")
        if output is None:
            raise ValueError("Parquet output needs a file path")
        frame.to_parquet(output, index=False)
    elif format == "csv":
        frame.to_csv(sys.stdout if output is None else output, index=False)
    else:
        raise ValueError("format: 'csv' or 'parquet', not %r" % (format,))
    return len(frame)




def cmd_get(run: Run, out: TextIO) -> None:
    if run.args.columns:
        try:
            write_table([_source(f) for f in run.args.files], run.args.columns, run.args.filter, run.args.output or out,
                        tables=run.tables, errors=lambda exc: run.error(str(exc)),
                        required_columns=not run.args.any_column)
        except (ReadError, OSError) as exc:
            run.error(str(exc))
        except (ValueError, ImportError) as exc:
            raise SystemExit(_usage_error(str(exc)))
        except KeyError as exc:  # a key that no message read holds
            raise SystemExit(_usage_error(str(exc.args[0])))
        return
    if run.args.filter or run.args.output or run.args.any_column:
        raise SystemExit(_usage_error("--filter, --output and --any-column go with --columns"))
    keys = [k.strip() for k in run.args.keys.split(",") if k.strip()]
    if not keys:
        raise SystemExit(_usage_error("--keys: no key given"))
    lookups = [_data_key(k) for k in keys]
    writer = csv.writer(out, lineterminator="\n")
    writer.writerow(["file", "message", "subset"] + keys)

    def cell(value: object) -> object:
        return "" if value is None else value

    def use(message: Message) -> None:
        for number, subset in enumerate(message.subsets(), 1):
            writer.writerow([message.source, message.index, number] + [cell(subset.get(k)) for k in lookups])

    run.decoded(run.args.files, use)


# ---- copy ------------------------------------------------------------------


Condition = Tuple[str, bool, List[Any]]  # key, whether it must differ, the values


def _condition_parts(option: str, texts: Sequence[str]) -> Iterable[Tuple[str, bool, List[str]]]:
    """(key, whether it must differ, the values as written) of each
    condition of an option: ``KEY=V`` or ``KEY!=V`` joined by commas, each V
    possibly several values joined by ``/`` (any of them)."""
    for text in texts:
        for part in text.split(","):
            key, sep, rule = part.partition("=")
            negate = key.endswith("!")
            key = key[:-1].strip() if negate else key.strip()
            if not sep or not key or not rule.strip():
                raise ValueError("%s %r: write KEY=VALUE, KEY=V1/V2 or KEY!=VALUE, joined by commas" % (option, part))
            yield key, negate, [value.strip() for value in rule.split("/")]


def parse_conditions(texts: Sequence[str]) -> List[Condition]:
    """The conditions of ``-w`` options: ``KEY=V`` or ``KEY!=V`` joined by
    commas, each V possibly several values joined by ``/`` (any of them).
    The keys are header keys (see :mod:`corvena._frame.headers`); their
    values are numbers, or text for the keys whose values are text."""
    from ._frame.headers import KNOWN, TEXT

    conditions: List[Condition] = []
    for key, negate, texts_given in _condition_parts("-w", texts):
        if key not in KNOWN:
            from ._header_set import unknown_key

            raise ValueError("-w: " + unknown_key(key, KNOWN))
        values: List[Any] = []
        for value in texts_given:
            if key in TEXT:
                values.append(value)
                continue
            try:
                values.append(float(value))
            except ValueError:
                raise ValueError("-w %s: %r is not a number" % (key, value)) from None
        conditions.append((key, negate, values))
    return conditions


def matches(message: Message, conditions: Sequence[Condition]) -> bool:
    """Whether every condition holds for `message`; one whose key the
    message lacks does not."""
    if not conditions:
        return True
    from ._frame.headers import answers

    keys = answers(message)
    for key, negate, values in conditions:
        value = keys.get(key)
        if value is None:
            return False
        if (value in values) == negate:  # numbers compare with the floats numerically
            return False
    return True


SubsetCondition = Tuple[Any, str, bool, List[str]]  # key to look up, key as written, must differ, values


def parse_subset_conditions(texts: Sequence[str]) -> List[SubsetCondition]:
    """The conditions of ``--subsets`` options, written as those of ``-w``
    but on data keys (``airTemperature``, ``#2#pressure``, ``012101``). The
    values stay text until an item is compared with them: a number for an
    element of numbers, a text for one of characters."""
    return [(_data_key(key), key, negate, values) for key, negate, values in _condition_parts("--subsets", texts)]


def _same(item: Item, text: str, key: str) -> bool:
    """Whether `item` holds the value written `text`: texts as texts,
    numbers as numbers, ``missing`` a missing value."""
    value = item.value
    if _missing(text):
        return value is None
    if value is None:
        return False
    if isinstance(value, str):
        return value == text
    try:
        return value == float(text)
    except ValueError:
        raise ValueError("--subsets %s: %r is not a number (its items hold numbers)" % (key, text)) from None


def subset_matches(items: Items, conditions: Sequence[SubsetCondition], held: Optional[set] = None) -> bool:
    """Whether every condition holds for the items of one subset. A key the
    subset holds several times matches when any of its items does (for
    ``KEY!=V``: any item whose value is not V); one it lacks does not.
    The keys the subset holds are added to `held`."""
    result = True
    for key, written, negate, values in conditions:
        found = items.find(key)
        if found and held is not None:
            held.add(written)
        if not any(any(_same(item, v, written) for v in values) != negate for item in found):
            result = False
    return result


def _subsets_kept(run: Run, messages: Iterable[Message], conditions: Sequence[SubsetCondition]) -> Iterable[Message]:
    """Each message holding matching subsets, with only those: as it is when
    all match, else encoded anew."""
    read = [0, 0]  # messages, subsets
    kept = [0, 0]
    held: set = set()
    for message in messages:
        try:
            subsets = message.subsets()
            chosen = [n for n, items in enumerate(subsets) if subset_matches(items, conditions, held)]
            read[0] += 1
            read[1] += len(subsets)
            if not chosen:
                continue
            kept[0] += 1
            kept[1] += len(chosen)
            yield message if len(chosen) == len(subsets) else message.replace(subsets=chosen)
        except ReadError as exc:
            run.error(str(exc))
        except ValueError as exc:
            run.error("%s: message %d: %s" % (message.source, message.index, exc.args[0]))
    if not kept[1]:
        lacking = [written for _, written, _, _ in conditions if written not in held]
        run.progress.clear()
        print("%s: warning: --subsets: no subset matched (0 of %s in %s kept)%s" % (
            PROG, _count(read[1], "subset"), _count(read[0], "message"),
            "; no subset holds %s" % ", ".join(lacking) if lacking else ""), file=sys.stderr)


def _count(number: int, noun: str) -> str:
    return "%d %s%s" % (number, noun, "" if number == 1 else "s")


def cmd_copy(run: Run, out: TextIO) -> None:
    conditions = _options(parse_conditions, run.args.where)
    subset_conditions = _options(parse_subset_conditions, run.args.subsets)
    chosen = (m for m in run.messages(run.args.inputs) if matches(m, conditions))
    if subset_conditions:
        chosen = _subsets_kept(run, chosen, subset_conditions)
    _write_messages(run, chosen, out)


def _options(parse: Callable[[Sequence[str]], Any], texts: Sequence[str]) -> Any:
    """What `parse` makes of the texts of an option; a usage error when it cannot."""
    try:
        return parse(texts)
    except ValueError as exc:
        raise SystemExit(_usage_error(str(exc)))


def _write_messages(run: Run, chosen: Iterable[Message], out: TextIO) -> None:
    """Writes `chosen` to the run's output, "-" for standard output."""
    output = run.args.output
    # Messages go out as they are read, so memory stays flat however large
    # the input. A file is written new and renamed into place at the end:
    # a run that stops on an error leaves it as it was.
    if output == "-":
        out.flush()
        for message in chosen:
            out.buffer.write(message.data)
        out.buffer.flush()
        return
    try:
        write(output, chosen)
    except OSError as exc:
        run.error("%s: %s" % (output, exc.strerror or exc))


# ---- set -------------------------------------------------------------------


def parse_settings(texts: Sequence[str]) -> Tuple[Dict[str, Any], Dict[str, str]]:
    """The keys of ``-s`` options, ``KEY=VALUE`` joined by commas: (header
    keys with their values, data keys with their values as written).

    The header keys are those of section 1 (and the others a header has,
    which :meth:`Message.replace` names as not settable); any other key is
    a data key, whose value is read once the message says what its items
    hold (see :func:`data_values`). A data key may be given no value: it is
    then made missing."""
    from ._frame.headers import KNOWN, TEXT
    from ._header_set import SETTABLE

    header_keys = SETTABLE | KNOWN
    header: Dict[str, Any] = {}
    data: Dict[str, str] = {}
    for text in texts:
        for part in text.split(","):
            key, sep, value = part.partition("=")
            key, value = key.strip(), value.strip()
            if not sep or not key or (not value and key in header_keys):
                raise ValueError("-s %r: write KEY=VALUE, joined by commas" % part)
            if key in header_keys:
                # Numbers as numbers, so that errors show them as given to replace.
                header[key] = int(value) if key not in TEXT and value.lstrip("-").isdigit() else value
            else:
                data[key] = value
    return header, data


def _number(text: str) -> Union[int, float]:
    try:
        return int(text)
    except ValueError:
        return float(text)


def data_values(message: Message, settings: Mapping[str, str]) -> Dict[Any, Any]:
    """The data keys of ``-s`` as :meth:`Message.replace` takes them, each
    value read as the message's items of the key hold it: a number, or a
    text for an element of characters; ``missing`` (in any case) or
    nothing is a missing value.

    Raises KeyError for a key the message holds no item of, naming the
    closest keys it has, and ValueError for a text given to an element of
    numbers."""
    subsets = message.subsets()
    tables = message.loaded_tables()
    values: Dict[Any, Any] = {}
    for key, text in settings.items():
        lookup = _data_key(key)
        found = next((item for items in subsets for item in items.find(lookup)), None)
        if found is None:
            raise KeyError(_unknown_data_key(key, subsets))
        if _missing(text):
            values[lookup] = None
        elif isinstance(found.value, str) or tables.info(found.descriptor).text:
            values[lookup] = text
        else:
            try:
                values[lookup] = _number(text)
            except ValueError:
                raise ValueError("%s=%r: a number is needed (or 'missing')" % (key, text)) from None
    return values


def _unknown_data_key(key: str, subsets: Sequence[Items]) -> str:
    """Why the message has no item of `key`, with the keys closest to it."""
    import difflib

    from ._frame.headers import KNOWN
    from ._header_set import SETTABLE
    from ._reader import split_key

    rank, code, name = split_key(_data_key(key))
    if rank is not None:
        held = max((len(items.find(code if code is not None else name)) for items in subsets), default=0)
        if held:
            return "%s: no subset of the message holds the key %d times (at most %d)" % (key, rank, held)
    known = {item.key for items in subsets for item in items} | SETTABLE | KNOWN
    close = difflib.get_close_matches(name if name is not None else key, sorted(known), 3)
    return "unknown key %r: neither a header key nor a data key of the message%s" % (
        key, " (closest: %s)" % ", ".join(close) if close else "")


def cmd_set(run: Run, out: TextIO) -> None:
    header, data = _options(parse_settings, run.args.set)

    def changed(messages: Iterable[Message]) -> Iterable[Message]:
        for message in messages:
            try:
                yield message.replace(header=header, values=data_values(message, data) if data else None)
            except ReadError as exc:
                run.error(str(exc))
            except (KeyError, ValueError) as exc:
                run.error("%s: message %d: %s" % (message.source, message.index, exc.args[0]))

    _write_messages(run, changed(run.messages(run.args.inputs)), out)


# ---- compare ---------------------------------------------------------------


def _shown(value: Any) -> str:
    if value is None:
        return "missing"
    return json.dumps(value, ensure_ascii=False) if isinstance(value, str) else repr(value)


def _ranked(items: Sequence[Item]) -> Dict[str, Item]:
    """The items by their ranked keys (``#2#pressure``), in order."""
    seen: Dict[str, int] = {}
    out: Dict[str, Item] = {}
    for item in items:
        rank = seen[item.key] = seen.get(item.key, 0) + 1
        out["#%d#%s" % (rank, item.key)] = item
    return out


def value_differs(a: Item, b: Item, tolerance: Optional[float], tables: Any) -> bool:
    """Whether two values differ: texts and missing values exactly, numbers
    by more than `tolerance`, or else by more than half a step of the
    element's scale (0.5 * 10**-scale)."""
    if a.value is None or b.value is None or isinstance(a.value, str) or isinstance(b.value, str):
        return a.value != b.value
    if tolerance is None:
        tolerance = 0.5 * 10.0 ** -tables.info(a.descriptor).scale
    return abs(a.value - b.value) > tolerance


def differences(a: Message, b: Message, tolerance: Optional[float] = None) -> Iterable[str]:
    """The differences of two messages, one line each: the header keys, then
    the items of each subset by ranked key (descriptor and value)."""
    from ._frame.headers import header_keys

    head = "message %d" % a.index
    ha, hb = header_keys(a), header_keys(b)
    for key in list(ha) + [k for k in hb if k not in ha]:
        if ha.get(key, ()) != hb.get(key, ()):
            yield "%s %s: %s != %s" % (head, key, _shown(ha[key]) if key in ha else "absent",
                                       _shown(hb[key]) if key in hb else "absent")
    tables = a.loaded_tables()
    for number, (sa, sb) in enumerate(zip(a.subsets(), b.subsets()), 1):
        ra, rb = _ranked(sa), _ranked(sb)
        for key in list(ra) + [k for k in rb if k not in ra]:
            ia, ib = ra.get(key), rb.get(key)
            where = "%s subset %d %s" % (head, number, key)
            if ia is None or ib is None:
                yield "%s: %s != %s" % (where, _shown(ia.value) if ia else "absent", _shown(ib.value) if ib else "absent")
            elif ia.descriptor != ib.descriptor:
                yield "%s: descriptor %06d != %06d" % (where, ia.descriptor, ib.descriptor)
            elif value_differs(ia, ib, tolerance, tables):
                yield "%s: %s != %s" % (where, _shown(ia.value), _shown(ib.value))


def cmd_compare(run: Run, out: TextIO) -> None:
    tolerance = run.args.tolerance
    if tolerance is not None and not tolerance >= 0:
        raise SystemExit(_usage_error("--tolerance: a number of 0 or more, not %r" % tolerance))
    # The two files are read side by side, a message of each at a time, so
    # that memory stays flat however large they are.
    found = 0
    counts = [0, 0]
    for a, b in itertools.zip_longest(run.messages([run.args.a]), run.messages([run.args.b])):
        counts[0] += a is not None
        counts[1] += b is not None
        if a is None or b is None or a.data == b.data:  # the same octets say the same, read with the same tables
            continue
        try:
            for line in differences(a, b, tolerance):
                out.write(line + "\n")
                found += 1
        except ReadError as exc:
            run.error(str(exc))
    if counts[0] != counts[1]:
        out.write("messages: %d != %d\n" % tuple(counts))
        found += 1
    if found:
        run.status = 1


# ---- main ------------------------------------------------------------------


def _usage_error(text: str) -> int:
    print("%s: error: %s" % (PROG, text), file=sys.stderr)
    return 2


def _inputs_and_output(command: argparse.ArgumentParser) -> None:
    """The IN... OUT arguments of the commands that write messages."""
    command.add_argument("inputs", nargs="+", metavar="IN", help='a BUFR file; "-" reads standard input')
    command.add_argument("output", metavar="OUT",
                         help='the file to write (replaced once complete); "-" writes standard output')


def parser() -> argparse.ArgumentParser:
    common = argparse.ArgumentParser(add_help=False)
    source = common.add_mutually_exclusive_group()
    source.add_argument(
        "--tables", metavar="DIR",
        help="tables to use: an ecCodes definitions root, an ecCodes table directory or the WMO BUFR4 CSV tables "
             "(default: $ECCODES_DEFINITION_PATH, then /usr/share/eccodes/definitions, then the shipped tables)",
    )
    source.add_argument("--shipped-tables", action="store_true", help="use the WMO BUFR4 tables shipped with corvena")
    common.add_argument("--continue-on-error", action="store_true",
                        help="report a bad file or message and go on (the exit status is still 1)")
    common.add_argument("--no-progress", action="store_true", help="no progress bar on a terminal")

    top = argparse.ArgumentParser(prog=PROG, description="Read WMO BUFR files (editions 2, 3 and 4).",
                                  epilog="Exit status: 0 all read (and, for compare, the same), 1 a file or message could not be "
                                         "read (or compare found differences), "
                                         "2 usage or tables error, 141 output closed early.")
    from . import __version__

    top.add_argument("--version", action="version", version="%(prog)s " + __version__)
    commands = top.add_subparsers(dest="command", metavar="COMMAND")
    commands.required = True
    ls = commands.add_parser("ls", parents=[common], help="one row per message (tab-separated)")
    ls.add_argument("files", nargs="+", metavar="FILE", help='a BUFR file; "-" reads standard input')
    dump = commands.add_parser("dump", parents=[common], help="every value of every subset (element by element when compressed)")
    dump.add_argument("--json", action="store_true", help="one JSON array of messages")
    dump.add_argument("files", nargs="+", metavar="FILE", help='a BUFR file; "-" reads standard input')
    get = commands.add_parser("get", parents=[common],
                              help="selected keys as CSV: one row per subset (--keys) or per observation (--columns)")
    what = get.add_mutually_exclusive_group(required=True)
    what.add_argument("--keys", metavar="K1,K2",
                      help="keys (airTemperature), descriptors (012101) or ranked keys (#2#pressure)")
    what.add_argument("--columns", metavar="K1,K2",
                      help="keys as columns of observations in context, as corvena.read_bufr gives them")
    get.add_argument("--filter", action="append", default=[], metavar="KEY=V|V1,V2|LOW:HIGH",
                     help="with --columns: keep the observations whose KEY in context matches; repeatable")
    get.add_argument("--output", "-o", metavar="PATH",
                     help="with --columns: write there (a .parquet name writes Parquet, which needs pyarrow)")
    get.add_argument("--any-column", action="store_true",
                     help="with --columns: keep rows holding any of the columns (default: all of them)")
    get.add_argument("files", nargs="+", metavar="FILE", help='a BUFR file; "-" reads standard input')
    copy = commands.add_parser("copy", parents=[common],
                               help="copy the messages whose header keys match, byte for byte, or only the "
                                    "subsets whose data keys match")
    copy.add_argument("-w", "--where", action="append", default=[], metavar="KEY=V[/V2],...",
                      help="copy the messages whose header KEY (dataCategory, bufrHeaderCentre, typicalDate, "
                           "numberOfSubsets, ...) is V (or V2); KEY!=V for the others; the conditions of a comma "
                           "list, and of several -w, must all hold (default: copy every message)")
    copy.add_argument("--subsets", action="append", default=[], metavar="KEY=V[/V2],...",
                      help="keep in each message only the subsets whose data KEY (airTemperature, #2#pressure, "
                           "012101, ...) is V (or V2; 'missing' for a missing value), KEY!=V for the others; a key "
                           "a subset holds several times matches when any of its values does; the conditions must "
                           "all hold. The data are encoded anew, unless every subset matches; a message without "
                           "a matching subset is left out")
    _inputs_and_output(copy)
    setter = commands.add_parser("set", parents=[common],
                                 help="every message with header keys set in place, as bufr_set -s does, or data "
                                      "keys set (its data encoded anew)")
    setter.add_argument("-s", "--set", action="append", required=True, metavar="KEY=V,...",
                        help="header keys to set in place (bufrHeaderCentre, dataCategory, typicalDate, typicalTime, "
                             "...) or data keys (airTemperature, #2#pressure, 012101: every item of the key, ranks "
                             "counted in each subset; a number, or a text for an element of characters; 'missing' "
                             "or nothing for a missing value); the settings of a comma list, and of several -s, "
                             "all apply")
    _inputs_and_output(setter)
    compare = commands.add_parser("compare", parents=[common],
                                  help="compare two files message by message, value by value")
    compare.add_argument("--tolerance", type=float, metavar="X",
                         help="numbers differ when they differ by more than X (default: half a step of the "
                              "element's scale, 0.5 * 10**-scale)")
    compare.add_argument("a", metavar="A", help='a BUFR file; "-" reads standard input')
    compare.add_argument("b", metavar="B", help="the BUFR file to compare it with")
    return top


def _show_warning(message, category, filename, lineno, file=None, line=None) -> None:
    print("%s: warning: %s" % (PROG, message), file=sys.stderr)


def main(argv: Optional[List[str]] = None) -> int:
    args = parser().parse_args(argv)
    warnings.showwarning = _show_warning
    out = sys.stdout
    if out is None:  # started with standard output closed (>&-)
        print("%s: error: standard output is closed" % PROG, file=sys.stderr)
        return 1
    try:
        try:
            run = Run(args)
        except ValueError as exc:
            return _usage_error("tables: %s" % exc)
        command = {"ls": cmd_ls, "dump": cmd_dump, "get": cmd_get, "copy": cmd_copy,
                   "set": cmd_set, "compare": cmd_compare}[args.command]
        try:
            command(run, out)
        except Failed:
            pass
        finally:
            run.progress.clear()
        out.flush()
        return run.status
    except BrokenPipeError:
        # The reader went away (| head): say nothing.
        _drop_output()
        return 141
    except OSError as exc:
        if exc.filename is not None:  # a file of the run, not the output
            print("%s: error: %s: %s" % (PROG, exc.filename, exc.strerror or exc), file=sys.stderr)
            return 1
        # Standard output cannot be written (a full disk, /dev/full, a
        # descriptor closed under us): one line, no traceback.
        _drop_output()
        print("%s: error: cannot write standard output: %s" % (PROG, exc.strerror or exc), file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        return 130


def _drop_output() -> None:
    """Points standard output at the null device, so that Python's flush at
    exit does not complain about the output that failed."""
    try:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
    except (OSError, ValueError):
        sys.stdout = None


def entry() -> None:
    """The console script."""
    sys.exit(main())
