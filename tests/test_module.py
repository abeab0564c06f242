"""Module initialisation, signatures and the argument rules every entry
shares."""

import importlib
import pathlib
import subprocess
import sys

import pytest

import _corvena as c
from bufr_build import message

ALL = ["BufrMessage", "DecodedValue", "Descriptor", "ElementDefinition", "SequenceDefinition", "TableSet",
       "parse_bytes", "parse_file", "parse_all_bytes", "parse_all_file", "expand_descriptors", "decode_values",
       "decode_values_with_tables", "decode_values_with_definitions"]


def test_all_in_registration_order():
    assert c.__all__ == ALL
    assert [n for n in vars(c) if n in ALL] == ALL
    assert c.__doc__ == ""


SIGNATURES = {
    c.parse_bytes: "(data)", c.parse_file: "(path)", c.parse_all_bytes: "(data)", c.parse_all_file: "(path)",
    c.expand_descriptors: "(table_dir, descriptors)", c.decode_values: "(data, table_dir)",
    c.decode_values_with_tables: "(data, tables)",
    c.decode_values_with_definitions: "(data, definitions_root)",
    c.Descriptor.from_fxy: "(code)", c.TableSet.from_eccodes: "(path)", c.TableSet.from_bufr4_45: "(path)",
    c.TableSet.from_definitions: "(path, message)",
}


def test_docstrings_are_signatures_only():
    for fn, sig in SIGNATURES.items():
        assert fn.__text_signature__ == sig, fn
        assert not fn.__doc__
    assert c.parse_bytes.__module__ == "_corvena"
    if sys.version_info >= (3, 10):
        assert c.Descriptor.__text_signature__ == "(f, x, y)"
        assert c.TableSet.__text_signature__ == "()"
    else:
        # CPython 3.9 strips the signature line from the docstring of a
        # class made from a spec, leaving nothing.
        assert c.Descriptor.__doc__ == "" and c.TableSet.__doc__ == ""
    assert c.TableSet.get_meaning.__text_signature__ == "($self, code, raw)"
    for cls in (c.BufrMessage, c.DecodedValue, c.ElementDefinition, c.SequenceDefinition):
        assert cls.__doc__ is None
        assert cls.__module__ == "_corvena"


def test_keyword_and_arity_rules():
    msg = message([1001], b"\x00")
    assert c.parse_bytes(data=msg).total_length == len(msg)
    with pytest.raises(TypeError):
        c.parse_bytes()
    with pytest.raises(TypeError):
        c.parse_bytes(b"", b"")
    with pytest.raises(TypeError):
        c.parse_bytes(msg, data=msg)
    with pytest.raises(TypeError):
        c.parse_bytes(buffer=msg)


def test_bytes_parameters():
    msg = message([1001], b"\x00")

    class Sub(bytes):
        pass

    assert c.parse_bytes(Sub(msg)).total_length == len(msg)
    for wrong in (bytearray(msg), memoryview(msg), msg.decode("latin-1"), None, 5):
        with pytest.raises(TypeError, match=r"^argument 'data': "):
            c.parse_bytes(wrong)
        with pytest.raises(TypeError, match=r"^argument 'data': "):
            c.parse_all_bytes(wrong)


def test_path_parameters(tmp_path):
    p = tmp_path / "m.bufr"
    p.write_bytes(message([1001], b"\x00"))
    with pytest.raises(TypeError, match=r"^argument 'path': "):
        c.parse_file(pathlib.Path(p))
    with pytest.raises(TypeError, match=r"^argument 'path': "):
        c.parse_all_file(str(p).encode())
    assert c.parse_file(str(pathlib.Path(p))).edition == 4

    class Sub(str):
        pass

    assert c.parse_all_file(Sub(str(p)))[0].edition == 4
    with pytest.raises(UnicodeEncodeError):
        c.parse_file("\udc80.bufr")
    with pytest.raises(TypeError, match=r"^argument 'table_dir': "):
        c.decode_values(message([]), pathlib.Path(tmp_path))


def test_table_errors_are_value_errors_and_file_errors_os_errors(tmp_path):
    with pytest.raises(ValueError, match=r"^csv/table parse error: No such file or directory \(os error 2\)$"):
        c.TableSet.from_eccodes(str(tmp_path / "nothing"))
    with pytest.raises(OSError) as info:
        c.parse_all_file(str(tmp_path / "nothing"))
    assert type(info.value) is FileNotFoundError or type(info.value) is OSError
    assert not isinstance(info.value, ValueError)


def test_reimport_returns_the_same_module():
    first = sys.modules.pop("_corvena")
    try:
        again = importlib.import_module("_corvena")
        assert again is first
        assert again.__all__ == ALL
        assert again.parse_bytes(message([])).edition == 4
    finally:
        sys.modules["_corvena"] = first


def test_sub_interpreter_is_refused():
    code = r"""
import _corvena
try:
    import _xxsubinterpreters as interpreters
except ImportError:
    import _interpreters as interpreters
interp = interpreters.create()
try:
    interpreters.run_string(interp, "import _corvena")
except Exception as exc:
    print("refused", type(exc).__name__, exc)
else:
    print("imported")
print(_corvena.parse_bytes.__name__)
"""
    try:
        import _xxsubinterpreters  # noqa: F401
    except ImportError:
        try:
            import _interpreters  # noqa: F401
        except ImportError:
            pytest.skip("this interpreter offers no sub-interpreters")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert "refused" in out.stdout, out.stdout + out.stderr
    assert "ImportError" in out.stdout
    assert out.stdout.strip().endswith("parse_bytes")


def test_native_helper_refuses_a_corvena_of_another_build(tmp_path):
    # corvena._ext reads _corvena's objects by their layout: a _corvena whose
    # objects have other sizes is refused at import, never read wrongly.
    import subprocess
    import sys

    import corvena._ext

    (tmp_path / "_corvena.py").write_text("class TableSet:\n    __slots__ = ('a', 'b', 'c', 'd', 'e')\n"
                                          "class BufrMessage:\n    pass\n")
    code = """
import importlib.machinery, importlib.util, sys
sys.path.insert(0, %r)
loader = importlib.machinery.ExtensionFileLoader("corvena._ext", %r)
spec = importlib.util.spec_from_loader("corvena._ext", loader)
try:
    spec.loader.create_module(spec)
except ImportError as e:
    print(e)
""" % (str(tmp_path), corvena._ext.__file__)
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert "corvena._ext and _corvena come from different builds (_corvena.TableSet objects have" in out.stdout, \
        out.stdout + out.stderr
