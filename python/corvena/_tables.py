"""Choosing BUFR tables for each message, and the tables shipped in the wheel.

A :class:`Tables` object answers one question: which tables decode this
message? It asks its sources in order and keeps what it loaded for as long
as it lives, so a file of many messages loads each distinct set of tables
once. Sources, in order:

1. the ``source`` given by the caller: a :class:`TableSet`, an ecCodes
   definitions root, one ecCodes table directory, or a directory of WMO
   BUFR4 CSV tables;
2. when nothing is given, an ecCodes definitions root: the first entry of
   ``ECCODES_DEFINITION_PATH`` that holds BUFR tables, else Debian's
   ``/usr/share/eccodes/definitions``, else the BUFR tables of the ecCodes
   definitions shipped inside the package (every master and local table of
   ecCodes 2.28, packed in ``tables/eccodes``; unpacked once per machine
   into a cache folder on first use), so that keys, values and meanings
   are the same with and without ecCodes installed;
3. the WMO BUFR4 tables shipped inside the package (latest version, no
   local tables).

Under a definitions root the tables are chosen per message from section 1
(master table, master and local versions, centre, sub-centre); a message
whose tables that root cannot give falls back to the WMO tables, with
a warning. A source that is named but missing also falls back to the
WMO tables, with a warning, and every result says which tables it used
(``Message.tables_used``).
"""

from __future__ import annotations

import glob
import os
import re
import threading
import weakref

# csv, hashlib, shutil, tarfile and tempfile are imported where they are
# used: most calls (and every command) need none of them.
import warnings
from typing import Dict, List, NamedTuple, Optional, Tuple, Union

import _corvena
from _corvena import TableSet

from . import _ext
from ._flags import ASSOCIATED_FIELD, LOCAL, OPERATOR, TEXT
from ._keys import key_from_name

__all__ = ["Tables", "SHIPPED_TABLES", "DEBIAN_DEFINITIONS", "load_wmo_code_tables", "shared_tables"]

#: Directory of the WMO BUFR4 CSV tables shipped inside the package.
SHIPPED_TABLES = os.path.join(os.path.dirname(os.path.abspath(__file__)), "tables", "wmo")
#: Where Debian's ``libeccodes-data`` puts the ecCodes definitions.
DEBIAN_DEFINITIONS = "/usr/share/eccodes/definitions"

SHIPPED_DESCRIPTION = "shipped WMO BUFR4 tables"

#: The BUFR tables of the ecCodes definitions, shipped inside the package.
SHIPPED_ECCODES_ARCHIVE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "tables", "eccodes",
                                       "bufr-tables.tar.xz")
SHIPPED_ECCODES_DESCRIPTION = "ecCodes definitions shipped with corvena"

# A range of code figures ("10-14") is expanded into one entry per figure
# when it spans at most this many figures; the wider ranges of the WMO
# tables are all "Reserved" blocks of tens of thousands of figures, which
# are left out (such a value gets no meaning).
MAX_RANGE = 1024

TablesSource = Union[None, TableSet, str, "os.PathLike[str]", "Tables"]


# Units that say nothing a reader of the text dump needs beside the value.
SILENT_UNITS = frozenset(("Numeric", "CCITT IA5", "CODE TABLE", "FLAG TABLE", "Code table", "Flag table", ""))

ItemKind = Tuple[str, str, str, Optional[int], bool, str]


class ElementInfo(NamedTuple):
    """What the item records need to know about one element descriptor."""

    key: str
    name: str
    unit: str
    integral: bool  # scale <= 0: values are whole numbers
    flag: bool  # a flag table: meanings are per bit
    width: int
    coded: bool  # a code table: one meaning per value
    text: bool  # character data; False also when the tables do not know the descriptor
    scale: int = 0  # the table's scale: values are in steps of 10**-scale (before any operator)


class _ItemKinds(Dict[int, ItemKind]):
    """The kinds of items of one set of tables, each made on first use."""

    def __init__(self, tables: "LoadedTables") -> None:
        super().__init__()
        self._tables = weakref.ref(tables)  # no cycle: the tables hold this

    def __missing__(self, key: int) -> ItemKind:
        tables = self._tables()
        if tables is None:
            raise KeyError(key)
        kind = tables._item_kind(key & 0xFFFFFF, (key >> 24) & (TEXT | OPERATOR | LOCAL))
        self[key] = kind
        return kind


class LoadedTables:
    """A TableSet, the words that say where it came from, and the per-element
    facts the item records use (filled on first use of each descriptor)."""

    __slots__ = ("tableset", "description", "derive_keys", "_info", "item_kinds", "_lock", "__weakref__")

    def __init__(self, tableset: TableSet, description: str, derive_keys: bool) -> None:
        self.tableset = tableset
        self.description = description
        self.derive_keys = derive_keys
        self._info: Dict[int, ElementInfo] = {}
        #: What every item of one element shares, by ``flags << 24 | descriptor``
        #: (flags: those of TEXT, OPERATOR and LOCAL that the items carry):
        #: (key, unit, name, lookup, integral, dump_unit). `lookup` is None
        #: when its values have no meaning to look up, 0 for a code table,
        #: else the width of its flag table; `dump_unit` is the unit the text
        #: dump shows ("" where it says nothing). Made on first use.
        self.item_kinds = _ItemKinds(self)
        self._lock = threading.Lock()

    def info(self, descriptor: int) -> ElementInfo:
        found = self._info.get(descriptor)
        if found is not None:
            return found
        found = self._lookup(descriptor)
        with self._lock:
            self._info[descriptor] = found
        return found

    def _item_kind(self, descriptor: int, flags: int) -> ItemKind:
        info = self.info(descriptor)
        # A local element takes the table's name where there is one.
        name = info.name or _ext.item_name(self.tableset, descriptor, flags)
        lookup: Optional[int]
        if flags & (TEXT | OPERATOR) or descriptor == ASSOCIATED_FIELD:
            lookup = None
        elif info.flag:
            lookup = info.width
        elif info.coded or not info.name:
            lookup = 0
        else:
            lookup = None
        return (info.key, info.unit, name, lookup, info.integral, "" if info.unit in SILENT_UNITS else info.unit)

    def _lookup(self, descriptor: int) -> ElementInfo:
        fallback = ElementInfo("%06d" % descriptor, "", "", False, False, 0, False, False)
        if descriptor >= 100000:  # operators and sequences have no Table B entry
            return fallback
        try:
            element = self.tableset.get_element(descriptor)
        except (KeyError, ValueError, LookupError):
            return fallback
        if element is None:
            return fallback
        key = element.abbreviation or (key_from_name(element.name) if self.derive_keys else "")
        kind = element.element_type
        return ElementInfo(
            key or "%06d" % descriptor,
            element.name,
            element.unit,
            element.scale <= 0 and kind != "string",
            kind in ("flag", "flags"),
            element.width,
            kind in ("table", "code"),
            kind == "string",
            element.scale,
        )


def load_wmo_code_tables(directory: str) -> Dict[int, Dict[int, str]]:
    """The code and flag tables of the WMO ``BUFRCREX_CodeFlag_en_*.csv`` files
    in `directory`, as ``{element code: {code figure: meaning}}``.

    Code tables are keyed by code figure; flag tables by bit number (1 is the
    leftmost bit of the field), as the WMO publishes them and as ecCodes'
    code tables key them. A range "10-14" gives one entry per figure when it
    spans at most 1024 figures. "All N" rows (every bit set: missing) and rows
    without a figure (headings, pointers to the common code tables) are left
    out. A meaning joins the entry name and its sub-entries with ": ".
    """
    tables: Dict[int, Dict[int, str]] = {}
    pattern = os.path.join(directory, "BUFRCREX_CodeFlag_en_*.csv")
    for path in sorted(glob.glob(pattern)):
        for row in _csv_rows(path):
            figures = _figures(row.get("CodeFigure") or "")
            if not figures:
                continue
            try:
                code = int(row["FXY"])
            except (KeyError, ValueError):
                continue
            parts = [(row.get(k) or "").strip() for k in ("EntryName_en", "EntryName_sub1_en", "EntryName_sub2_en")]
            meaning = ": ".join(p for p in parts if p)
            if not meaning:
                continue
            table = tables.setdefault(code, {})
            for figure in figures:
                table.setdefault(figure, meaning)
    return tables


#: Table files are read up to this size (the largest WMO file is below 400 KB).
MAX_TABLE_FILE_BYTES = 16 << 20


def _csv_rows(path: str) -> List[Dict[str, str]]:
    """The rows of one WMO CSV file; a ValueError naming the file when it is
    too large, not UTF-8, or not CSV that the reader accepts."""
    import csv
    import io

    with open(path, "rb") as handle:
        data = handle.read(MAX_TABLE_FILE_BYTES + 1)
    if len(data) > MAX_TABLE_FILE_BYTES:
        raise ValueError("table file %s is larger than %d MiB" % (path, MAX_TABLE_FILE_BYTES >> 20))
    try:
        text = data.decode("utf-8-sig")
        reader = csv.DictReader(io.StringIO(text, newline=""))
        return list(reader)
    except (UnicodeDecodeError, csv.Error) as exc:
        where = " line %d" % reader.line_num if isinstance(exc, csv.Error) else ""
        raise ValueError("table file %s%s: %s" % (path, where, exc)) from None


_RANGE = re.compile(r"(\d+)\s*-\s*(\d+)")


def _figures(text: str) -> range:
    text = text.strip()
    if text.isdigit():
        value = int(text)
        return range(value, value + 1)
    match = _RANGE.fullmatch(text)
    if match:
        first, last = int(match.group(1)), int(match.group(2))
        if first <= last and last - first < MAX_RANGE:
            return range(first, last + 1)
    return range(0)


def _kind_of(path: str) -> Optional[str]:
    """'definitions', 'eccodes' or 'wmo-csv' for a directory of tables."""
    if os.path.isdir(os.path.join(path, "bufr", "tables")):
        return "definitions"
    if os.path.isfile(os.path.join(path, "element.table")):
        return "eccodes"
    if glob.glob(os.path.join(path, "BUFRCREX_TableB_en_*.csv")):
        return "wmo-csv"
    return None


def definitions_from_environment() -> Tuple[Optional[str], List[str]]:
    """The definitions root the environment points at, and the notes on
    entries of ``ECCODES_DEFINITION_PATH`` that were passed over."""
    notes: List[str] = []
    for entry in (os.environ.get("ECCODES_DEFINITION_PATH") or "").split(os.pathsep):
        if not entry:
            continue
        if os.path.isdir(os.path.join(entry, "bufr", "tables")):
            return entry, notes
        notes.append("ECCODES_DEFINITION_PATH entry %s holds no BUFR tables" % entry)
    if os.path.isdir(os.path.join(DEBIAN_DEFINITIONS, "bufr", "tables")):
        return DEBIAN_DEFINITIONS, notes
    return None, notes


_UNPACKED: Dict[str, Optional[str]] = {}
_UNPACK_LOCK = threading.Lock()


def shipped_definitions() -> Optional[str]:
    """A definitions root holding the shipped ecCodes BUFR tables: unpacked
    once per machine into ``$CORVENA_CACHE_DIR`` (default
    ``$XDG_CACHE_HOME/corvena`` or ``~/.cache/corvena``), else into a
    temporary folder; None when neither can be written."""
    import hashlib

    with _UNPACK_LOCK:
        if SHIPPED_ECCODES_ARCHIVE in _UNPACKED:
            return _UNPACKED[SHIPPED_ECCODES_ARCHIVE]
        found = None
        try:
            with open(SHIPPED_ECCODES_ARCHIVE, "rb") as f:
                digest = hashlib.sha256(f.read()).hexdigest()[:16]
        except OSError:
            digest = None
        if digest is not None:
            for parent in _cache_folders():
                found = _unpacked_into(os.path.join(parent, "eccodes-bufr-tables-" + digest))
                if found is not None:
                    break
        _UNPACKED[SHIPPED_ECCODES_ARCHIVE] = found
        return found


def _cache_folders() -> List[str]:
    import tempfile

    out = []
    if os.environ.get("CORVENA_CACHE_DIR"):
        out.append(os.environ["CORVENA_CACHE_DIR"])
    base = os.environ.get("XDG_CACHE_HOME") or os.path.join(os.path.expanduser("~"), ".cache")
    out.append(os.path.join(base, "corvena"))
    out.append(os.path.join(tempfile.gettempdir(), "corvena-%d" % os.getuid() if hasattr(os, "getuid") else "corvena"))
    return out


def _unpacked_into(root: str) -> Optional[str]:
    """`root` holding the unpacked tables (unpacked now if it does not yet),
    or None when it cannot be written."""
    import shutil
    import tarfile
    import tempfile

    done = os.path.join(root, ".complete")
    if os.path.isfile(done):
        return root
    parent = os.path.dirname(root)
    try:
        os.makedirs(parent, exist_ok=True)
        work = tempfile.mkdtemp(prefix=".unpacking-", dir=parent)
    except OSError:
        return None
    try:
        with tarfile.open(SHIPPED_ECCODES_ARCHIVE, "r:xz") as tar:
            members = tar.getmembers()
            for m in members:  # our own archive, checked all the same
                if m.name.startswith(("/", "..")) or ".." in m.name.split("/") or not (m.isfile() or m.isdir()
                                                                                      or m.issym() or m.islnk()):
                    raise ValueError("unexpected entry %s in %s" % (m.name, SHIPPED_ECCODES_ARCHIVE))
                if (m.issym() or m.islnk()) and (m.linkname.startswith("/") or ".." in m.linkname.split("/")):
                    raise ValueError("unexpected link %s in %s" % (m.name, SHIPPED_ECCODES_ARCHIVE))
            options = {"filter": "data"} if hasattr(tarfile, "data_filter") else {}
            tar.extractall(work, members, **options)
        open(os.path.join(work, ".complete"), "w").close()
        try:
            os.rename(work, root)
        except OSError:  # another process was quicker
            if not os.path.isfile(done):
                raise
    except (OSError, ValueError, tarfile.TarError):
        return None
    finally:
        if os.path.isdir(work):
            shutil.rmtree(work, ignore_errors=True)
    return root


class Tables:
    """Chooses and caches the tables of each message.

    ``Tables()`` looks for ecCodes definitions and falls back to the shipped
    WMO tables; ``Tables(source)`` uses `source` first (see the module text).
    Pass one object to several :func:`corvena.read` calls to share its cache.
    """

    #: The ``spec`` of tables that cannot be rebuilt in another process.
    UNPICKLABLE = object()

    def __init__(self, source: TablesSource = None) -> None:
        #: What rebuilds these tables: None, a directory, or UNPICKLABLE.
        self.spec: object = None if source is None else Tables.UNPICKLABLE
        self._fixed: Optional[LoadedTables] = None
        self._root: Optional[str] = None
        self._root_name = ""
        self._unpack_shipped = False  # the shipped ecCodes tables, unpacked on first use
        self._cache: Dict[tuple, LoadedTables] = {}
        self._shipped: Optional[LoadedTables] = None
        self._lock = threading.Lock()
        self.notes: List[str] = []
        if isinstance(source, Tables):
            raise TypeError("pass the Tables object itself as tables=, not to Tables()")
        if isinstance(source, TableSet):
            self._fixed = LoadedTables(source, "TableSet given by the caller", True)
            return
        if source is None:
            self._root, self.notes = definitions_from_environment()
            for note in self.notes:
                warnings.warn(note + "; looking further", RuntimeWarning, stacklevel=3)
            if self._root is None:
                self._unpack_shipped = True
            else:
                self._root_name = "ecCodes definitions " + self._root
            return
        path = os.fspath(source)
        if not isinstance(path, str):
            raise TypeError("tables: a TableSet, a Tables or a directory path is expected")
        self.spec = path
        kind = _kind_of(path) if os.path.isdir(path) else None
        if kind is None:
            note = ("tables %s: not found" if not os.path.exists(path) else "tables %s: no BUFR tables found there") % path
            self.notes.append(note)
            warnings.warn(note + "; using the " + SHIPPED_DESCRIPTION, RuntimeWarning, stacklevel=3)
        elif kind == "definitions":
            self._root = path
            self._root_name = "ecCodes definitions " + path
        elif kind == "eccodes":
            self._fixed = LoadedTables(TableSet.from_eccodes(path), "ecCodes table directory " + path, True)
        elif os.path.abspath(path) == os.path.abspath(SHIPPED_TABLES):
            self._fixed = self.shipped()
        else:
            self._fixed = LoadedTables(_wmo_tables(path), "WMO BUFR4 CSV tables " + path, True)

    @property
    def definitions_root(self) -> Optional[str]:
        """The ecCodes definitions root in use, if any."""
        return self._root

    def _use_shipped_definitions(self) -> None:
        root = shipped_definitions()
        with self._lock:
            if not self._unpack_shipped:
                return
            if root is None:
                self.notes.append("the shipped ecCodes tables could not be unpacked (set CORVENA_CACHE_DIR to a "
                                  "folder that can be written)")
            else:
                self._root, self._root_name = root, SHIPPED_ECCODES_DESCRIPTION
            self._unpack_shipped = False

    def shipped(self) -> LoadedTables:
        """The WMO BUFR4 tables shipped inside the package (loaded once)."""
        with self._lock:
            if self._shipped is None:
                self._shipped = LoadedTables(_wmo_tables(SHIPPED_TABLES), SHIPPED_DESCRIPTION, True)
            return self._shipped

    def for_message(self, header: "_corvena.BufrMessage") -> LoadedTables:
        """The tables for the message whose section 1 `header` holds."""
        if self._fixed is not None:
            return self._fixed
        if self._unpack_shipped:
            self._use_shipped_definitions()
        if self._root is None:
            description = SHIPPED_DESCRIPTION
            if self.notes:
                description += " (" + "; ".join(self.notes) + ")"
            with self._lock:
                found = self._cache.get(("shipped",))
            if found is None:
                shipped = self.shipped()
                found = LoadedTables(shipped.tableset, description, True)
                found._info = shipped._info  # one element cache for both names
                with self._lock:
                    self._cache[("shipped",)] = found
            return found
        key = (
            header.master_table_number,
            header.master_tables_version_number,
            header.local_tables_version_number,
            header.originating_centre,
            header.originating_subcentre,
        )
        with self._lock:
            found = self._cache.get(key)
        if found is not None:
            return found
        try:
            tableset = TableSet.from_definitions(self._root, header)
            found = LoadedTables(
                tableset,
                "%s (master table %d version %d, local version %d, centre %d/%d)" % ((self._root_name,) + key),
                False,
            )
        except ValueError as exc:
            note = "%s cannot give the tables of master table %d version %d, local version %d, centre %d/%d: %s" % (
                (self._root_name,) + key + (exc,)
            )
            warnings.warn(note + "; using the " + SHIPPED_DESCRIPTION, RuntimeWarning, stacklevel=4)
            shipped = self.shipped()
            found = LoadedTables(shipped.tableset, SHIPPED_DESCRIPTION + " (" + note + ")", True)
            found._info = shipped._info
        with self._lock:
            self._cache.setdefault(key, found)
        return found


_SHARED: Dict[tuple, Tables] = {}
_SHARED_LOCK = threading.Lock()


def shared_tables(source: TablesSource) -> Tables:
    """The Tables of `source` for the whole process: each distinct set of
    tables is loaded once, however many files are read. A Tables given is
    used as it is; a TableSet gets a Tables of its own (it is loaded
    already). The default source is keyed by ``ECCODES_DEFINITION_PATH``,
    so a change of it is seen; give ``Tables(path)`` to read a directory
    anew."""
    if isinstance(source, Tables):
        return source
    if isinstance(source, TableSet):
        return Tables(source)
    key = ("path", os.fspath(source)) if source is not None else ("env", os.environ.get("ECCODES_DEFINITION_PATH"))
    with _SHARED_LOCK:
        found = _SHARED.get(key)
    if found is None:
        made = Tables(source)  # outside the lock: loading may take a while
        with _SHARED_LOCK:
            found = _SHARED.setdefault(key, made)
    return found


def _wmo_tables(directory: str) -> TableSet:
    """Table B and D of a WMO BUFR4 CSV directory with its code and flag tables."""
    tables = TableSet.from_bufr4_45(directory)
    codes = load_wmo_code_tables(directory)
    return _ext.with_code_tables(tables, codes) if codes else tables
