"""Random BUFR edition 4 messages encoded by ecCodes, and ecCodes' own
decoding of each, as JSON lines. Run under an interpreter that has the
ecCodes Python bindings (Debian python3-eccodes or PyPI eccodes):

    /usr/bin/python3 tests/ecc_generate.py --seed 1 --count 100 > out.jsonl

Each message starts from the BUFR4 sample, with a master table version
drawn from those installed, and a template that is either a Table D
sequence of that version, a few of them in a row, or a short hand-built
list of elements around operators 2-01, 2-02, 2-03, 2-04 (with 031021,
nested too), 2-05, 2-06, 2-07, 2-08 (inside and around delayed
replications as well) and bitmaps (2-22, 2-23, 2-24, 2-25, 2-32 with or
without 2-36; 2-37-000 and 2-37-255; a second bitmap after quality marks).
Delayed replications get random counts. Every element gets a random value
that fits its width, scale and reference (code tables: an entry of the
table; texts: printable characters), or missing.

One line per message: the template, the subset count, compression, the
message in hex, and what ecCodes decodes from those bytes (with --decode,
only what it decodes from each message given in hex on standard input):

- numeric: the values in data order, subset by subset, operators included
  (ecCodes' numericValues; null for missing). A text is given there as
  1000 * its index in strings (from 1) plus its length in characters.
- strings: ecCodes' stringValues.
- texts: for compressed messages, the text of each subset for every key of
  ecCodes that holds texts, in key order (stringValues does not hold a text
  column whose subsets all agree once per subset, yet numericValues counts
  it so).
- expanded: ecCodes' expandedDescriptors (fully expanded only when the
  template has no delayed replication).
- keys: [subset, code, value] for every data key of ecCodes that names an
  element (no attribute, no operator), in key order.

A template that ecCodes refuses to encode or to decode (or crashes on: each
message is made in a child process) gives a line with "refused" and
ecCodes' error instead.

Left out of the generation, as ecCodes (2.28) gets them wrong:
- bitmaps in uncompressed messages of more than one subset: from the third
  subset on it writes data present indicators other than those given;
- 2-24-000, 2-25-000 and 2-32-000 without 2-36-000: it writes their 2-xx-255
  values with other widths than those of the elements referred to;
- a count of 0 for a delayed replication two replications deep: when it
  ends the bodies around it, ecCodes drops the repetitions that follow in
  the outer replication (such counts are 1 or more here);
- compressed elements wider than 32 bits: it reads them wrong (records
  "left out"); and values of 2^31 and more in uncompressed elements 32
  bits wide or wider: a bit of a 36-bit value is lost;
- missing values of 1-bit elements (2-01 can narrow an element to 1 bit):
  it reads an all-ones 1-bit value as 1;
- an element given twice in one 2-03 definition list: it keeps the first
  new reference value (the refs lists hold distinct elements);
- 2-06 before an element of the tables: it reads the YYY bits as a plain
  number, without the element's scale and reference. 2-06 comes here
  before local elements that no table knows.
And as it refuses them: 2-03 in compressed messages, a second bitmap with
more data present than the first."""

import argparse
import json
import os
import random
import re
import resource
import signal
import sys

import eccodes

TABLES = os.environ.get("CORVENA_ECCODES_TABLES", "/usr/share/eccodes/definitions/bufr/tables/0/wmo")
VERSIONS = (13, 19, 24, 28, 31, 33, 35, 37, 38)
MISSING = eccodes.CODES_MISSING_DOUBLE
FACTOR_INPUT = {
    31000: "inputShortDelayedDescriptorReplicationFactor",
    31001: "inputDelayedDescriptorReplicationFactor",
    31011: "inputDelayedDescriptorReplicationFactor",
    31002: "inputExtendedDelayedDescriptorReplicationFactor",
    31012: "inputExtendedDelayedDescriptorReplicationFactor",
}
# Keys that hold no element value, and keys that ecCodes fills itself from
# the input arrays.
SKIPPED_KEYS = ("subsetNumber", "operator")
FACTOR_NAMES = ("delayedDescriptorReplicationFactor", "extendedDelayedDescriptorReplicationFactor",
                "shortDelayedDescriptorReplicationFactor", "delayedDescriptorAndDataRepetitionFactor",
                "extendedDelayedDescriptorAndDataRepetitionFactor", "dataPresentIndicator")
CHILD_SECONDS = 60
CHILD_BYTES = 2 << 30
PRINTABLE = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789 .-/+()"


class Tables:
    """Elements, sequences and code tables of one master version."""

    def __init__(self, version):
        self.dir = os.path.join(TABLES, str(version))
        self.elements = {}
        with open(os.path.join(self.dir, "element.table")) as f:
            for line in f:
                if line.startswith("#"):
                    continue
                p = line.rstrip("\n").split("|")
                self.elements[int(p[0])] = {"unit": p[4], "scale": int(p[5]), "ref": int(p[6]), "width": int(p[7])}
        with open(os.path.join(self.dir, "sequence.def")) as f:
            text = f.read()
        self.sequences = {int(code): [int(x) for x in body.replace(",", " ").split()]
                          for code, body in re.findall(r'"(\d{6})"\s*=\s*\[([^\]]*)\]', text)}
        self.codes = {}

    def code_table(self, code):
        if code not in self.codes:
            entries = []
            path = os.path.join(self.dir, "codetables", "%d.table" % code)
            if os.path.exists(path):
                with open(path) as f:
                    for line in f:
                        p = line.split()
                        if p and p[0].isdigit():
                            entries.append(int(p[0]))
            self.codes[code] = entries
        return self.codes[code]

    def plain_elements(self, rng, n, kinds=("number",)):
        """n random elements of classes 1 to 30 whose unit is of the kinds asked."""
        out = []
        pool = [c for c, e in self.elements.items() if 1000 <= c < 31000 and kind_of(e["unit"]) in kinds
                and e["width"] <= 32]
        for _ in range(n):
            out.append(rng.choice(pool))
        return out


def kind_of(unit):
    if unit == "CCITT IA5":
        return "text"
    if unit.startswith("CODE TABLE") or unit.startswith("Code table"):
        return "code"
    if unit.startswith("FLAG TABLE") or unit.startswith("Flag table"):
        return "flag"
    return "number"


class LeftOut(ValueError):
    """A message that ecCodes would get wrong: not made."""


def factors(tables, template, rng, max_count):
    """Random counts for the delayed replications of the template, in the
    order ecCodes takes them, by input key."""
    out = {}

    def walk(codes, depth=0):
        i = 0
        while i < len(codes):
            d = codes[i]
            f, x, y = d // 100000, d // 1000 % 100, d % 1000
            if f == 3:
                walk(tables.sequences[d], depth)
            elif f == 1:
                body_at = i + 1
                count = y
                if y == 0:
                    factor = codes[i + 1]
                    body_at = i + 2
                    if factor == 31031 or factor not in FACTOR_INPUT:
                        raise ValueError("replication factor %06d" % factor)
                    # Two replications deep, a count of 0 can make ecCodes
                    # drop the repetitions that follow in the outer one.
                    least = 1 if depth >= 2 else 0
                    count = rng.randint(least, 1 if factor == 31000 else max(max_count, least))
                    out.setdefault(FACTOR_INPUT[factor], []).append(count)
                body = codes[body_at:body_at + x]
                for _ in range(count):
                    walk(body, depth + 1)
                i = body_at + x
                continue
            i += 1

    walk(template)
    return out


def hand_built(tables, rng):
    """A short list of elements around operators."""
    nums = lambda n: tables.plain_elements(rng, n)  # noqa: E731
    kind = rng.choice(["widthscale", "refs", "assoc", "chars", "local", "textwidth", "bitmap", "bitmap", "quality",
                       "mixed", "nested", "replicated", "twobitmaps", "twobitmaps"])
    if kind == "nested":
        # Associated fields one inside another.
        a, b = rng.randint(1, 6), rng.randint(1, 6)
        codes = nums(1) + [204000 + a, 31021] + nums(1) + [204000 + b, 31021] + nums(2) + [204000] + nums(1)
        return kind, codes + [204000] + nums(1), {}
    if kind == "replicated":
        # Operators inside and around delayed replications.
        body = nums(rng.randint(1, 3)) + tables.plain_elements(rng, 1, ("code", "flag", "text"))
        factor = rng.choice([31000, 31001, 31002])
        inner = rng.choice([[], [201000 + rng.randint(125, 135)], [202000 + rng.randint(126, 130)],
                            [207000 + rng.randint(1, 2)], [204000 + rng.randint(1, 7), 31021]])
        cancel = [inner[0] // 1000 * 1000] if inner else []
        codes = nums(1) + inner + [100000 + 1000 * len(body), factor] + body + cancel + nums(1)
        if rng.random() < 0.5:
            codes += [102000, 31001, 205000 + rng.randint(1, 8)] + nums(1)
        return kind, codes, {}
    if kind == "widthscale":
        op = rng.choice([201000 + rng.randint(120, 140), 202000 + rng.randint(125, 131), 207000 + rng.randint(1, 3)])
        cancel = op // 1000 * 1000
        codes = nums(1) + [op] + nums(2) + tables.plain_elements(rng, 1, ("code", "flag", "text")) + [cancel] + nums(1)
        if rng.random() < 0.5:
            codes = [201000 + rng.randint(125, 135), 202000 + rng.randint(126, 130)] + codes + [201000, 202000]
        return kind, codes, {}
    if kind == "refs":
        yyy = rng.randint(8, 20)
        # Distinct elements: given twice, ecCodes takes the first new
        # reference value, this library the last.
        targets = list(dict.fromkeys(nums(rng.randint(1, 3))))
        refs = [rng.randint(-(2 ** (yyy - 1)) + 1, 2 ** (yyy - 1) - 1) for _ in targets]
        codes = [203000 + yyy] + targets + [203255] + targets + nums(1) + [203000] + targets
        return kind, codes, {"inputOverriddenReferenceValues": refs}
    if kind == "assoc":
        bits = rng.randint(1, 12)
        codes = nums(1) + [204000 + bits, 31021] + nums(2) + tables.plain_elements(rng, 1, ("code", "text")) + [204000] + nums(1)
        return kind, codes, {}
    if kind == "chars":
        return kind, nums(1) + [205000 + rng.randint(1, 12)] + nums(1) + [205000 + rng.randint(1, 40)], {}
    if kind == "local":
        # 2-06 before a local element that no table here knows.
        local = rng.choice([48001, 1192, 12250, 63255, 55100])
        return kind, nums(1) + [206000 + rng.randint(1, 32), local] + nums(1), {}
    if kind == "textwidth":
        texts = tables.plain_elements(rng, 2, ("text",))
        return kind, nums(1) + [208000 + rng.randint(1, 40)] + texts + [208000] + texts[:1], {}
    n = rng.randint(2, 6)
    elements = nums(n)
    present = [rng.randint(0, 1) for _ in range(n)]
    if kind == "mixed":
        codes = [301011, 301012] + tables.plain_elements(rng, 2, ("number", "code", "flag"))
        return kind, codes + [204000 + rng.randint(1, 8), 31021] + nums(2) + [204000], {}
    if kind == "twobitmaps":
        # Quality marks on a first bitmap, then substituted values on a new
        # one; ecCodes refuses a second bitmap with more data present than
        # the first.
        present[rng.randrange(n)] = 0
        other = list(present)
        if other.count(0) > 1:
            other[other.index(0)] = 1
        codes = elements + [222000, 236000, 101000 + n, 31031] + [33007] * present.count(0)
        codes += [223000, 236000, 101000 + n, 31031] + [223255] * other.count(0)
        if rng.random() < 0.5:
            codes += [237255] + nums(1)
        return kind, codes, {"inputDataPresentIndicator": present + other}
    if kind == "quality":
        quality = [33007] * present.count(0)
        codes = elements + [222000, 236000, 101000 + n, 31031] + quality
        if rng.random() < 0.5:
            codes += [222000, 237000] + quality
        return kind, codes, {"inputDataPresentIndicator": present}
    # Bitmaps for substituted, first-order and difference statistics and
    # replaced values.
    op = rng.choice([223000, 224000, 225000, 232000])
    marker = op + 255
    # Without 2-36-000, ecCodes writes 2-24-255, 2-25-255 and 2-32-255
    # values of other widths than those of the elements they refer to.
    use_236 = op != 223000 or rng.random() < 0.5
    codes = elements + [op] + ([236000] if use_236 else []) + [101000 + n, 31031]
    if op == 224000 and rng.random() < 0.5:
        codes.append(8023)
    if op == 225000 and rng.random() < 0.5:
        codes.append(8024)
    codes += [marker] * present.count(0)
    if use_236 and rng.random() < 0.5:
        codes += [op, 237000] + [marker] * present.count(0)
    return "bitmap", codes, {"inputDataPresentIndicator": present}


def pick_template(tables, rng):
    r = rng.random()
    if r < 0.45:
        return "hand", hand_built(tables, rng)
    seqs = sorted(tables.sequences)
    if r < 0.85:
        code = rng.choice(seqs)
        return "sequence", ("%06d" % code, [code], {})
    chosen = sorted(rng.sample([s for s in seqs if 301000 <= s < 303000], rng.randint(2, 4)))
    return "sequences", ("+".join("%06d" % s for s in chosen), chosen, {})


def random_value(tables, rng, info, code):
    """A value for an element of this width, scale and reference."""
    width, scale, ref, unit = info
    kind = kind_of(unit)
    if kind == "text":
        chars = max(1, width // 8)
        n = rng.choice([chars, chars, rng.randint(0, chars)])
        return "".join(rng.choice(PRINTABLE) for _ in range(n))
    if width < 1:
        return None
    if rng.random() < 0.1 and width > 1:
        return None
    top = 2 ** width - 2
    if width >= 32:
        # ecCodes gets values of 2^31 and more wrong in such elements.
        top = 2 ** 31 - 1
    if width == 1:
        # A 1-bit element (made so by 2-01): ecCodes reads all ones as 1,
        # not missing.
        return 0
    if kind == "code":
        entries = [e for e in tables.code_table(code) if e <= top]
        if entries:
            return rng.choice(entries)
        return rng.randint(0, max(top, 0))
    raw = rng.choice([0, top, rng.randint(0, top), rng.randint(0, min(top, 100))])
    if kind == "flag":
        return raw
    value = raw + ref
    return value if scale == 0 else value / 10.0 ** scale


def key_info(h, key):
    try:
        return (eccodes.codes_get(h, key + "->width"), eccodes.codes_get(h, key + "->scale"),
                eccodes.codes_get(h, key + "->reference"), eccodes.codes_get(h, key + "->units"))
    except eccodes.GribInternalError:
        return None


def key_code(h, key):
    try:
        return int(eccodes.codes_get(h, key + "->code", str))
    except (eccodes.GribInternalError, ValueError):
        return None


def data_keys(h):
    it = eccodes.codes_bufr_keys_iterator_new(h)
    keys, in_data = [], False
    try:
        while eccodes.codes_bufr_keys_iterator_next(it):
            key = eccodes.codes_bufr_keys_iterator_get_name(it)
            if key == "unexpandedDescriptors":
                in_data = True
            elif in_data:
                keys.append(key)
    finally:
        eccodes.codes_bufr_keys_iterator_delete(it)
    return keys


def fill(h, tables, rng, subsets, compressed, present):
    """Sets every settable data key to random values (data present
    indicators to `present`, again and again); returns how many it set."""
    done = indicators = 0
    for key in data_keys(h):
        last = key.split("->")[-1]
        bare = re.sub(r"^#\d+#", "", last)
        if bare == "dataPresentIndicator" and present:
            value = present[indicators % len(present)]
            indicators += 1
            try:
                if compressed and subsets > 1:
                    eccodes.codes_set_long_array(h, key, [value] * subsets)
                else:
                    eccodes.codes_set(h, key, value)
            except eccodes.ReadOnlyError:
                pass  # ecCodes takes them from inputDataPresentIndicator here
            continue
        if key in SKIPPED_KEYS or bare in FACTOR_NAMES:
            continue
        info = key_info(h, key)
        if compressed and info is not None and info[0] > 32 and kind_of(info[3]) != "text":
            raise LeftOut("a compressed element wider than 32 bits: ecCodes reads it wrong")
        if info is None and bare == "text":
            # Characters of 2-05: ecCodes gives them no width; it cuts or
            # pads what it is given.
            info = (8 * rng.randint(1, 12), 0, 0, "CCITT IA5")
        if info is None or info[0] <= 0:
            continue
        code = key_code(h, key)
        n = subsets if compressed else 1
        values = [random_value(tables, rng, info, code) for _ in range(n)]
        if compressed and n > 1 and rng.random() < 0.2:
            values = values[:1] * n
        try:
            if kind_of(info[3]) == "text":
                if n == 1:
                    eccodes.codes_set(h, key, values[0])
                else:
                    eccodes.codes_set_string_array(h, key, values)
            elif n == 1 and values[0] is None:
                eccodes.codes_set_missing(h, key)
            else:
                arr = [MISSING if v is None else float(v) for v in values]
                if n == 1:
                    eccodes.codes_set(h, key, arr[0])
                else:
                    eccodes.codes_set_double_array(h, key, arr)
            done += 1
        except eccodes.GribInternalError:
            pass
    return done


def decoded(message):
    """What ecCodes decodes from the bytes."""
    h = eccodes.codes_new_from_message(message)
    try:
        eccodes.codes_set(h, "unpack", 1)
        subsets = eccodes.codes_get(h, "numberOfSubsets")
        compressed = bool(eccodes.codes_get(h, "compressedData"))
        numeric = [None if x == MISSING else float(x) for x in eccodes.codes_get_array(h, "numericValues")]
        try:
            strings = list(eccodes.codes_get_array(h, "stringValues", str))
        except eccodes.GribInternalError:
            strings = []
        expanded = [int(x) for x in eccodes.codes_get_array(h, "expandedDescriptors")]
        keys, texts, subset = [], [], -1
        for key in data_keys(h):
            if key == "subsetNumber":
                subset += 1
                continue
            if compressed and eccodes.codes_get_native_type(h, key) is str:
                column = list(eccodes.codes_get_array(h, key, str))
                texts.append(column * subsets if len(column) == 1 else column)
            if "->" in key or key == "operator":
                continue
            code = key_code(h, key)
            if code is None or code // 100000 != 0:
                continue
            if eccodes.codes_get_native_type(h, key) is str:
                values = list(eccodes.codes_get_array(h, key, str))
            else:
                values = [None if x == MISSING else float(x) for x in eccodes.codes_get_array(h, key, float)]
            if compressed:
                for s in range(subsets):
                    keys.append([s, code, values[s] if len(values) > 1 else values[0]])
            else:
                keys.append([max(subset, 0), code, values[0]])
        return {"numeric": numeric, "strings": strings, "texts": texts, "expanded": expanded, "keys": keys}
    finally:
        eccodes.codes_release(h)


def one(index, rng, versions):
    version = rng.choice(versions)
    if version not in TABLE_CACHE:
        TABLE_CACHE[version] = Tables(version)
    tables = TABLE_CACHE[version]
    source, (name, template, inputs) = pick_template(tables, rng)
    subsets = rng.choice([1, 1, 2, 3, 5])
    compressed = subsets > 1 and rng.random() < 0.5
    if name in ("bitmap", "quality", "twobitmaps") and subsets > 1:
        # ecCodes writes the data present indicators of an uncompressed
        # message wrong from the third subset on.
        compressed = True
    out = {"index": index, "source": source, "name": name, "version": version, "template": template,
           "subsets": subsets, "compressed": compressed}
    h = None
    try:
        per = [factors(tables, template, rng, 3) for _ in range(1 if compressed else subsets)]
        for key in FACTOR_INPUT.values():
            counts = [c for p in per for c in p.get(key, [])]
            if counts:
                inputs = dict(inputs, **{key: counts})
        if "inputDataPresentIndicator" in inputs and not compressed:
            inputs = dict(inputs, inputDataPresentIndicator=inputs["inputDataPresentIndicator"] * subsets)
        h = eccodes.codes_bufr_new_from_samples("BUFR4")
        eccodes.codes_set(h, "masterTablesVersionNumber", version)
        eccodes.codes_set(h, "numberOfSubsets", subsets)
        eccodes.codes_set(h, "compressedData", int(compressed))
        for key, values in inputs.items():
            eccodes.codes_set_array(h, key, values)
        eccodes.codes_set_array(h, "unexpandedDescriptors", template)
        fill(h, tables, rng, subsets, compressed, inputs.get("inputDataPresentIndicator"))
        eccodes.codes_set(h, "pack", 1)
        message = eccodes.codes_get_message(h)
        out["hex"] = message.hex()
        out["ecc"] = decoded(message)
    except LeftOut as e:
        out["refused"] = "left out: %s" % e
    except (eccodes.GribInternalError, ValueError, KeyError) as e:
        out["refused"] = "%s: %s" % (type(e).__name__, e)
    finally:
        if h is not None:
            eccodes.codes_release(h)
    return out


TABLE_CACHE = {}


def main(argv=None):
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--decode", action="store_true",
                   help="read messages in hex from standard input, a line each, and write what ecCodes decodes")
    p.add_argument("--seed", type=int, default=1)
    p.add_argument("--count", type=int, default=100)
    p.add_argument("--start", type=int, default=0, help="index of the first message")
    p.add_argument("--versions", default=",".join(map(str, VERSIONS)))
    args = p.parse_args(argv)
    if args.decode:
        for line in sys.stdin:
            try:
                record = decoded(bytes.fromhex(line.strip()))
            except (eccodes.GribInternalError, ValueError, KeyError) as e:
                record = {"refused": "%s: %s" % (type(e).__name__, e)}
            sys.stdout.write(json.dumps(record) + "\n")
        return
    versions = [int(v) for v in args.versions.split(",")]
    for index in range(args.start, args.start + args.count):
        sys.stdout.write(json.dumps(isolated(args.seed, index, versions)) + "\n")
        sys.stdout.flush()


def isolated(seed, index, versions):
    """The record of one message, made in a child process: ecCodes crashes
    on some templates."""
    read, write = os.pipe()
    pid = os.fork()
    if pid == 0:
        os.close(read)
        code = 0
        # A template whose expansion runs away ends the child.
        signal.alarm(CHILD_SECONDS)
        resource.setrlimit(resource.RLIMIT_AS, (CHILD_BYTES, CHILD_BYTES))
        try:
            # One generator per message, so a message can be made again alone.
            record = one(index, random.Random("%d:%d" % (seed, index)), versions)
            data = json.dumps(record).encode()
            with os.fdopen(write, "wb") as f:
                f.write(data)
        except BaseException:  # noqa: BLE001 - reported by the parent
            code = 1
        os._exit(code)
    os.close(write)
    with os.fdopen(read, "rb") as f:
        data = f.read()
    _, status = os.waitpid(pid, 0)
    if os.WIFEXITED(status) and os.WEXITSTATUS(status) == 0 and data:
        return json.loads(data)
    # Plan the message again here to name it.
    rng = random.Random("%d:%d" % (seed, index))
    version = rng.choice(versions)
    source, (name, template, _) = pick_template(Tables(version), rng)
    if os.WIFSIGNALED(status) and os.WTERMSIG(status) == signal.SIGALRM:
        why = "ecCodes took more than %d s" % CHILD_SECONDS
    else:
        why = "ecCodes crashed (status %d)" % status
    return {"index": index, "source": source, "name": name, "version": version, "template": template,
            "refused": why}


if __name__ == "__main__":
    main()
