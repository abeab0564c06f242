"""The long differential run against ecCodes: generates messages with
tests/ecc_generate.py (under an interpreter with the ecCodes bindings),
decodes them with _corvena, compares them as tests/test_generated_corpus.py
does, and prints counts: messages, items compared, distinct templates,
differences by kind, with one reproducer per kind.

    python scripts/diffcheck.py --count 5000 --seed 7
"""

import argparse
import json
import os
import sys
from collections import Counter, defaultdict

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests"))

from test_generated_corpus import TableCache, compare, generate, reproducer  # noqa: E402


def main(argv=None):
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--count", type=int, default=1000)
    p.add_argument("--seed", type=int, default=1)
    p.add_argument("--batch", type=int, default=500, help="messages per generator run")
    p.add_argument("--python", help="interpreter with the ecCodes bindings")
    p.add_argument("--versions", help="master table versions, comma separated")
    p.add_argument("--examples", type=int, default=3, help="reproducers printed per kind")
    p.add_argument("--save", help="write the records that differ to this JSON lines file")
    args = p.parse_args(argv)

    cache = TableCache()
    messages = items = 0
    refused = Counter()
    sources = Counter()
    templates = set()
    kinds = Counter()
    item_kinds = Counter()
    sequences = set()
    differing = 0
    examples = defaultdict(list)
    saved = open(args.save, "w") if args.save else None
    for start in range(0, args.count, args.batch):
        batch = generate(args.seed, min(args.batch, args.count - start), start, args.python, args.versions)
        for record in batch:
            if "refused" in record:
                refused[(record["source"], record["refused"].split(":")[0])] += 1
                continue
            messages += 1
            sources[record["source"]] += 1
            templates.add(tuple(record["template"]))
            n, diffs = compare(record, cache, item_kinds)
            sequences.update(d for d in record["template"] if d // 100000 == 3)
            items += n
            first = {}
            for kind, at, detail in diffs:
                first.setdefault(kind, (at, detail))
            for kind, (at, detail) in first.items():
                label = "%s in %s" % (kind, record["name"] if record["source"] == "hand" else record["source"])
                kinds[label] += 1
                if len(examples[label]) < args.examples:
                    examples[label].append("#%d %s; at %s: %s" % (record["index"], reproducer(record), at, detail))
            differing += bool(diffs)
            if diffs and saved:
                saved.write(json.dumps(record) + "\n")
        print("... %d generated" % (start + len(batch)), file=sys.stderr)
    if saved:
        saved.close()

    print("seed %d: %d messages decoded by both (%s), %d refused by ecCodes" % (
        args.seed, messages, ", ".join("%s %d" % kv for kv in sorted(sources.items())), sum(refused.values())))
    print("items compared: %d (%s)" % (items, ", ".join("%s %d" % kv for kv in item_kinds.most_common())))
    print("distinct templates: %d; distinct Table D sequences as template or part of one: %d" % (
        len(templates), len(sequences)))
    for (source, error), n in refused.most_common():
        print("  refused %-10s %-28s %d" % (source, error, n))
    print("messages that differ: %d" % differing)
    for label, n in kinds.most_common():
        print("  %-36s %d" % (label, n))
        for e in examples[label]:
            print("      " + e)
    return 1 if kinds else 0


if __name__ == "__main__":
    sys.exit(main())
