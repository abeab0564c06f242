"""Command-line front end and helpers of the _corvena BUFR reader."""


def message_slices(data):
    """The bytes of each message of `data`, found as the library's scan
    finds them: by the "BUFR" marker and the total length of section 0."""
    pos = 0
    while True:
        at = data.find(b"BUFR", pos)
        if at < 0 or at + 8 > len(data):
            return
        total = int.from_bytes(data[at + 4:at + 7], "big")
        if total == 0:
            return
        yield data[at:at + total]
        pos = at + total
