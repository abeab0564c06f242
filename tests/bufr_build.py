"""A tiny test-side BUFR edition 4 encoder: enough to lay out sections and
pack section 4 bit by bit."""

import os


class Bits:
    """Packs unsigned fields most significant bit first."""

    def __init__(self):
        self.value = 0
        self.count = 0

    def put(self, value, width):
        assert 0 <= value < (1 << width) or width == 0
        self.value = (self.value << width) | value
        self.count += width
        return self

    def ones(self, width):
        return self.put((1 << width) - 1, width)

    def text(self, s, width=None):
        raw = s.encode("latin-1")
        width = len(raw) * 8 if width is None else width
        raw = raw.ljust((width + 7) // 8, b" ")
        value = int.from_bytes(raw, "big") >> ((len(raw) * 8) - width)
        return self.put(value, width)

    def octets(self):
        pad = (-self.count) % 8
        n = (self.count + pad) // 8
        return (self.value << pad).to_bytes(n, "big") if n else b""


def descriptor_word(code):
    f, x, y = code // 100000, (code // 1000) % 100, code % 1000
    return bytes([(f << 6) | x, y])


def section1(master_table=0, centre=98, subcentre=0, update=0, section2=False, category=0,
             intl_subcategory=0, local_subcategory=0, master_version=38, local_version=0,
             when=(2024, 1, 2, 3, 4, 5), length=22):
    body = bytes([master_table]) + centre.to_bytes(2, "big") + subcentre.to_bytes(2, "big")
    body += bytes([update, 0x80 if section2 else 0, category, intl_subcategory, local_subcategory,
                   master_version, local_version])
    body += when[0].to_bytes(2, "big") + bytes(when[1:])
    body = body.ljust(length - 3, b"\0")
    return length.to_bytes(3, "big") + body


def message(descriptors=(), data=b"", subsets=1, compressed=False, observed=True, edition=4,
            section2=None, s1=None, end=b"7777", **s1_args):
    if isinstance(data, Bits):
        data = data.octets()
    s1 = s1 if s1 is not None else section1(section2=section2 is not None, **s1_args)
    s2 = b""
    if section2 is not None:
        s2 = (len(section2) + 4).to_bytes(3, "big") + b"\0" + section2
    flags = (0x80 if observed else 0) | (0x40 if compressed else 0)
    body3 = b"\0" + subsets.to_bytes(2, "big") + bytes([flags]) + b"".join(descriptor_word(c) for c in descriptors)
    s3 = (len(body3) + 3).to_bytes(3, "big") + body3
    s4 = (len(data) + 4).to_bytes(3, "big") + b"\0" + data
    rest = s1 + s2 + s3 + s4 + end
    total = 8 + len(rest)
    return b"BUFR" + total.to_bytes(3, "big") + bytes([edition]) + rest


def with_total(msg, total):
    """The message with its section 0 total length replaced."""
    return msg[:4] + total.to_bytes(3, "big") + msg[7:]


def table_dir(path, elements=(), sequences=None, codetables=None, raw_elements=None, raw_sequences=None):
    """Writes an ecCodes table directory. `elements` are tuples
    (code, name, unit, scale, reference, width)."""
    os.makedirs(path, exist_ok=True)
    if raw_elements is None:
        lines = ["#code|abbreviation|type|name|unit|scale|reference|width|crex_unit|crex_scale|crex_width"]
        for code, name, unit, scale, reference, width in elements:
            kind = "string" if unit == "CCITT IA5" else "long"
            lines.append("%06d|e%06d|%s|%s|%s|%d|%d|%d|x|0|0" % (code, code, kind, name, unit, scale, reference, width))
        raw_elements = "\n".join(lines) + "\n"
    mode = "wb" if isinstance(raw_elements, bytes) else "w"
    with open(os.path.join(path, "element.table"), mode) as f:
        f.write(raw_elements)
    if raw_sequences is None:
        raw_sequences = "".join(
            '"%06d" = [ %s ]\n' % (code, ", ".join("%06d" % m for m in members))
            for code, members in (sequences or {}).items()
        )
    mode = "wb" if isinstance(raw_sequences, bytes) else "w"
    with open(os.path.join(path, "sequence.def"), mode) as f:
        f.write(raw_sequences)
    if codetables is not None:
        os.makedirs(os.path.join(path, "codetables"), exist_ok=True)
        for code, entries in codetables.items():
            name = code if isinstance(code, str) else "%d.table" % code
            with open(os.path.join(path, "codetables", name), "wb" if isinstance(entries, bytes) else "w") as f:
                if isinstance(entries, (str, bytes)):
                    f.write(entries)
                else:
                    f.write("".join("%d %d %s\n" % (k, k, v) for k, v in entries.items()))
    return str(path)
