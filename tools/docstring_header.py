"""Turns the docstrings of stubs/varnex.pyi into the C++ header the binding layer builds help() from.

    python tools/docstring_header.py STUBS OUTPUT

The English documentation of every class, method, property and function is written once, in
the stubs: type checkers read it there, the API reference is generated from it, and the build
runs this script so that each docstring of the compiled module ends with the same text
(src/python/docstring.hpp puts it after the module's own first lines). The names are keyed as
"Class", "Class.member" and "function"; type-checking-only classes are left out. The test
suite checks the built module against docstrings() below (tests/python/test_docstrings.py).
Standard library only: it runs on the Python that builds the module.
"""

from __future__ import annotations

import ast
import sys
from pathlib import Path


def _is_type_check_only(node: ast.ClassDef) -> bool:
    return any(isinstance(d, ast.Name) and d.id == "type_check_only" for d in node.decorator_list)


def _put(out: dict[str, str], key: str, node: ast.AST) -> None:
    doc = ast.get_docstring(node, clean=True)  # type: ignore[arg-type]
    if doc is None:
        return
    # Overloads may repeat the docstring; two different ones would leave help() to chance.
    if key in out and out[key] != doc:
        raise ValueError(f"{key}: its overloads carry different docstrings")
    out[key] = doc


def docstrings(stubs: str | Path) -> dict[str, str]:
    """Every documented name of the stubs, keyed "Class", "Class.member" or "function"."""
    tree = ast.parse(Path(stubs).read_text(encoding="utf-8"))
    out: dict[str, str] = {}
    for node in tree.body:
        if isinstance(node, ast.FunctionDef):
            _put(out, node.name, node)
        elif isinstance(node, ast.ClassDef) and not _is_type_check_only(node):
            _put(out, node.name, node)
            for member in node.body:
                if isinstance(member, ast.FunctionDef):
                    _put(out, f"{node.name}.{member.name}", member)
    return out


def _cxx_literal(text: str, indent: str) -> str:
    """Adjacent C++ string literals, one per line of text."""
    lines = text.split("\n")
    parts = []
    for i, line in enumerate(lines):
        escaped = line.replace("\\", "\\\\").replace('"', '\\"')
        parts.append(f'"{escaped}\\n"' if i < len(lines) - 1 else f'"{escaped}"')
    return f"\n{indent}".join(parts)


def header(docs: dict[str, str]) -> str:
    entries = "\n".join(
        f'    {{"{key}",\n     {_cxx_literal(body, "     ")}}},' for key, body in sorted(docs.items()))
    return f"""// Generated from stubs/varnex.pyi by tools/docstring_header.py at build time; do not edit.
#pragma once

#include <string_view>

namespace varnex::py::english {{

struct Body {{
  std::string_view name;  // "Class", "Class.member" or "function"
  std::string_view text;
}};

inline constexpr Body kBodies[] = {{
{entries}
}};

}}  // namespace varnex::py::english
"""


def main(argv: list[str]) -> int:
    if len(argv) != 3:
        print(__doc__.strip().splitlines()[2].strip(), file=sys.stderr)
        return 2
    text = header(docstrings(argv[1]))
    out = Path(argv[2])
    # Rewritten only when it changes, so that an edit elsewhere in the stubs rebuilds nothing.
    if not out.exists() or out.read_text(encoding="utf-8") != text:
        out.parent.mkdir(parents=True, exist_ok=True)
        out.write_text(text, encoding="utf-8")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
