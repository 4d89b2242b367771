"""help() and the stubs say the same: every docstring of the module is its own first lines (the
text signature and the module's own text, often Chinese) followed by the English body written
in stubs/varnex.pyi, which the build puts into the module (tools/docstring_header.py)."""

import importlib.util
import pathlib
import pydoc
import types

import pytest
import varnex

ROOT = pathlib.Path(__file__).resolve().parents[2]
_spec = importlib.util.spec_from_file_location("docstring_header", ROOT / "tools" / "docstring_header.py")
docstring_header = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(docstring_header)
STUB_DOCS = docstring_header.docstrings(ROOT / "stubs" / "varnex.pyi")

DESCRIPTORS = (types.MethodDescriptorType, types.GetSetDescriptorType, types.MemberDescriptorType)


def documented():
    """(key, object) for every class, method, property and function the module documents.

    Slots (__call__, __repr__, __get__, ...), __dict__ and a struct sequence's (CanLogFrame's)
    __reduce__ and __replace__ carry CPython's own docstrings."""
    for name in sorted(dir(varnex)):
        obj = getattr(varnex, name)
        if isinstance(obj, type):
            yield name, obj
            for member, attr in vars(obj).items():
                if isinstance(attr, DESCRIPTORS) and member not in ("__dict__", "__reduce__", "__replace__"):
                    yield f"{name}.{member}", attr
        elif isinstance(obj, types.BuiltinFunctionType):
            yield name, obj


DOCUMENTED = dict(documented())


@pytest.mark.parametrize("key", sorted(DOCUMENTED))
def test_docstring_is_the_modules_own_text_then_the_stubs_body(key):
    assert key in STUB_DOCS, f"{key} has no docstring in stubs/varnex.pyi"
    doc, body = DOCUMENTED[key].__doc__, STUB_DOCS[key]
    assert doc.endswith(body), f"{key}: the module's docstring does not end with the stub's"
    own = doc[: len(doc) - len(body)]
    # Either the body alone (a name with no text of the module's own), or the own text and a
    # blank line; never a second copy of the body.
    assert own == "" or (own.endswith("\n\n") and own.strip()), repr(own[-40:])
    assert body not in own


def test_every_documented_stub_name_the_module_can_carry_is_checked():
    # Stub docstrings of slots are for the reference only; every other one reaches help().
    slots = {"__call__", "__get__", "__iter__", "__next__", "__await__", "__new__"}
    unreached = {key for key in STUB_DOCS if key not in DOCUMENTED and key.rpartition(".")[2] not in slots}
    assert unreached == set()


def _has_cjk(text):
    return any("\u4e00" <= c <= "\u9fff" for c in text)


@pytest.mark.parametrize("key", sorted(DOCUMENTED))
def test_help_is_english_after_the_modules_first_lines(key):
    doc, body = DOCUMENTED[key].__doc__, STUB_DOCS[key]
    own = doc[: len(doc) - len(body)]
    text = own.partition("\n--\n\n")[2] if "\n--\n\n" in own else own
    summary, _, rest = text.strip().partition("\n\n")
    # The CAN device methods' own texts are English and keep their Args/Returns sections.
    assert not _has_cjk(rest) and not _has_cjk(body), key
    if _has_cjk(summary):
        assert rest == "", f"{key}: the module's own text goes on past its first paragraph"


def test_help_reads_the_first_lines_then_english():
    text = pydoc.render_doc(varnex.Motor, renderer=pydoc.plaintext)
    first, english = text.index("广播式电机控制器。"), text.index(STUB_DOCS["Motor"].splitlines()[0])
    assert first < english
    # Members too: add_device keeps its Chinese summary and gains its English body.
    assert text.index("添加一个驱动器") < text.index("Configure a driver and add it to the group.")
