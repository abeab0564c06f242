"""corvena.write: whole messages written as they were read, or not at all."""

import io
import os
import pathlib
import subprocess
import sys

import pytest

import corvena
from conftest import MESSAGES

SYNOP = os.path.join(MESSAGES, "synop_multi_subset_uncompressed.bufr")
AMSUA = os.path.join(MESSAGES, "aaen_55.bufr")  # four messages, with octets between them
ONE = corvena.read(SYNOP).__next__().data
OLD = b"what was there before"


def _messages():
    return list(corvena.read(AMSUA)) + list(corvena.read(SYNOP))


@pytest.mark.parametrize("form", ["messages", "bytes", "bytearray", "memoryview", "generator"])
def test_written_as_read(tmp_path, form):
    messages = _messages()
    expected = b"".join(m.data for m in messages)
    items = {"messages": messages, "bytes": [m.data for m in messages],
             "bytearray": [bytearray(m.data) for m in messages], "memoryview": [memoryview(m.data) for m in messages],
             "generator": (m for m in messages)}[form]
    path = tmp_path / "out.bufr"
    path.write_bytes(OLD * 10000)  # replaced, not overwritten in part
    assert corvena.write(path, items) == 5
    assert path.read_bytes() == expected
    assert [m.data for m in corvena.read(str(path))] == [m.data for m in messages]
    assert os.listdir(tmp_path) == ["out.bufr"]


def test_binary_file_and_str_path(tmp_path):
    stream = io.BytesIO(b"head:")
    stream.seek(0, io.SEEK_END)
    assert corvena.write(stream, [ONE, ONE]) == 2
    assert stream.getvalue() == b"head:" + ONE + ONE
    assert corvena.write(str(tmp_path / "none.bufr"), []) == 0
    assert (tmp_path / "none.bufr").read_bytes() == b""


def _damaged(data, at, octets):
    return data[:at] + octets + data[at + len(octets):]


BAD = [
    (ONE[:-1], ValueError, "truncated"),
    (ONE + b"\0\0", ValueError, "section 0 gives a length of 1650 octets, but it has 1652"),
    (b"XUFR" + ONE[4:], ValueError, "does not start with 'BUFR'"),
    (b"  " + ONE, ValueError, "does not start with 'BUFR'"),
    (_damaged(ONE, len(ONE) - 4, b"7778"), ValueError, "7777"),
    (ONE[:4] + (len(ONE) + 2).to_bytes(3, "big") + ONE[7:], ValueError, "truncated"),
    (ONE[:4] + (len(ONE) - 2).to_bytes(3, "big") + ONE[7:], ValueError, "truncated"),
    (ONE[:4] + (3).to_bytes(3, "big") + ONE[7:], ValueError, "too short"),
    (b"BUFR\0\0", ValueError, "too few"),
    (b"", ValueError, "does not start with 'BUFR'"),
    ("BUFR", TypeError, "not str"),
    (None, TypeError, "not NoneType"),
    (7, TypeError, "not int"),
]


@pytest.mark.parametrize("bad, error, reason", BAD)
def test_a_bad_item_writes_nothing(tmp_path, bad, error, reason):
    path = tmp_path / "out.bufr"
    path.write_bytes(OLD)
    stream = io.BytesIO()
    for destination in (path, stream):
        with pytest.raises(error) as caught:
            corvena.write(destination, [ONE, ONE, bad, ONE])
        assert str(caught.value).startswith("message 2: ") and reason in str(caught.value)
    assert path.read_bytes() == OLD and stream.getvalue() == b""
    assert os.listdir(tmp_path) == ["out.bufr"]


@pytest.mark.parametrize("destination, messages, reason", [
    (io.StringIO(), [ONE], "a binary file is needed"),
    (42, [ONE], "a path or a binary file object, not int"),
    ("PATH", ONE, "not one bytes"),
    ("PATH", corvena.read(SYNOP).__next__(), "not one Message"),
    ("PATH", 3, "not int"),
])
def test_wrong_arguments(tmp_path, destination, messages, reason):
    destination = str(tmp_path / "out.bufr") if destination == "PATH" else destination
    with pytest.raises(TypeError, match=reason):
        corvena.write(destination, messages)
    assert os.listdir(tmp_path) == []
    if isinstance(destination, io.StringIO):
        assert destination.getvalue() == ""


def test_a_failed_write_leaves_the_old_file(tmp_path):
    # A file size limit makes the write fail half way, as a full disk does.
    path = tmp_path / "out.bufr"
    path.write_bytes(OLD)
    code = ("import resource, signal, corvena\nsignal.signal(signal.SIGXFSZ, signal.SIG_IGN)\n"
            "resource.setrlimit(resource.RLIMIT_FSIZE, (4000, 4000))\n"
            "try:\n    corvena.write(%r, [%r] * 4)\nexcept OSError as e:\n    print('failed', e.errno)\n"
            % (str(path), ONE))
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert out.stdout.startswith("failed"), out.stderr
    assert path.read_bytes() == OLD and os.listdir(tmp_path) == ["out.bufr"]


def test_a_missing_folder_is_an_os_error(tmp_path):
    with pytest.raises(FileNotFoundError):
        corvena.write(tmp_path / "nowhere" / "out.bufr", [ONE])
    assert os.listdir(tmp_path) == []


@pytest.mark.parametrize("edition", [2, 3])
def test_other_editions_are_written_as_read(tmp_path, edition):
    # What is read is what is written, not its edition 4 form.
    from bufr_build import Bits, message

    # Section 1 of editions 2 and 3: master table, (sub-)centre, update,
    # flags, category, sub-category, versions, year of century to minute.
    s1 = (18).to_bytes(3, "big") + bytes([0, 0, 98, 0, 0, 0, 0, 13, 0, 24, 1, 2, 3, 4, 0])
    data = message([1001], Bits().put(5, 7), subsets=1, edition=edition, s1=s1)
    read = list(corvena.read(data, tables=corvena.SHIPPED_TABLES))
    assert read[0].edition == edition and read[0].edition4_data != data
    assert corvena.write(tmp_path / "old.bufr", read + [data]) == 2
    assert pathlib.Path(tmp_path / "old.bufr").read_bytes() == data + data
