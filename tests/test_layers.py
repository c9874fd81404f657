"""The include checker that keeps src/ layered: upward includes, stray paths and cycles fail."""

from __future__ import annotations

import ast
import importlib.util
from pathlib import Path

import pytest

_ROOT = Path(__file__).resolve().parent.parent
_spec = importlib.util.spec_from_file_location("check_layers", _ROOT / "tools" / "check_layers.py")
assert _spec and _spec.loader
check_layers = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(check_layers)


def _tree(tmp_path: Path, files: dict[str, str]) -> Path:
    for name, text in files.items():
        p = tmp_path / name
        p.parent.mkdir(parents=True, exist_ok=True)
        p.write_text(text)
    return tmp_path


# (including file, included file, allowed)
EDGES = [
    ("schema/a.cpp", "core/b.h", True),
    ("message/a.h", "schema/b.h", True),
    ("binary/a.cpp", "message/b.h", True),
    ("json/a.cpp", "binary/b.h", True),
    ("text/a.cpp", "binary/b.h", True),
    ("entry.cpp", "json/b.h", True),
    ("entry.cpp", "text/b.h", True),
    ("core/a.cpp", "core/b.h", True),
    ("core/a.h", "schema/b.h", False),
    ("schema/a.cpp", "json/b.h", False),
    ("message/a.cpp", "binary/b.h", False),
    ("binary/a.cpp", "json/b.h", False),
    ("binary/a.cpp", "text/b.h", False),
    ("json/a.cpp", "text/b.h", False),
    ("text/a.cpp", "json/b.h", False),
    ("core/a.cpp", "entry.h", False),
]


@pytest.mark.parametrize(("src", "dst", "allowed"), EDGES)
def test_edges_follow_the_layer_order(
    tmp_path: Path, src: str, dst: str, allowed: bool
) -> None:
    tree = _tree(tmp_path, {src: f'#include <Python.h>\n#include "{dst}"\n', dst: "#pragma once\n"})
    problems = check_layers.check(tree)
    assert (problems == []) is allowed, problems
    if not allowed:
        assert len(problems) == 1 and src in problems[0] and dst in problems[0]


@pytest.mark.parametrize(
    "files",
    [
        {"json/a.cpp": '#include "b.h"\n', "json/b.h": ""},  # not by its layer path
        {"json/a.cpp": '#include "json/missing.h"\n'},
        {"misc/a.h": ""},  # not a layer folder
        {"core/deep/a.h": ""},
    ],
)
def test_stray_files_and_paths_are_reported(tmp_path: Path, files: dict[str, str]) -> None:
    assert len(check_layers.check(_tree(tmp_path, files))) == 1


def test_a_cycle_within_a_layer_is_reported(tmp_path: Path) -> None:
    files = {
        "message/a.h": '#include "message/b.h"\n',
        "message/b.h": '#include "message/c.h"\n',
        "message/c.h": '#include "message/a.h"\n',
        "message/d.cpp": '#include "message/a.h"\n',
    }
    (problem,) = check_layers.check(_tree(tmp_path, files))
    assert problem == "include cycle: message/a.h -> message/b.h -> message/c.h -> message/a.h"
    files["message/c.h"] = "#pragma once\n"
    assert check_layers.check(_tree(tmp_path, files)) == []


def test_the_source_tree_is_layered() -> None:
    assert check_layers.main(["check_layers", str(_ROOT / "src")]) == 0


def _runtime_nodes(tree: ast.AST) -> list[ast.AST]:
    """The nodes of `tree` outside `if TYPE_CHECKING:` blocks, whose imports never run."""
    out: list[ast.AST] = []
    todo = [tree]
    while todo:
        node = todo.pop()
        out.append(node)
        if isinstance(node, ast.If) and getattr(node.test, "id", None) == "TYPE_CHECKING":
            todo.extend(node.orelse)
        else:
            todo.extend(ast.iter_child_nodes(node))
    return out


def _package_imports(package: Path) -> dict[str, set[str]]:
    """Module -> the package's modules it imports at run time anywhere in its body (lazy imports
    too).
    Imports of the package root are left out: generated modules and user code import the
    public `torvex`, whose __init__ gathers everything by design."""
    modules: dict[str, Path] = {}
    for p in package.rglob("*.py"):
        parts = list(p.relative_to(package.parent).with_suffix("").parts)
        modules[".".join(parts[:-1] if parts[-1] == "__init__" else parts)] = p
    graph: dict[str, set[str]] = {}
    for name, path in modules.items():
        here = name if path.name == "__init__.py" else name.rpartition(".")[0]
        edges = graph.setdefault(name, set())
        for node in _runtime_nodes(ast.parse(path.read_text(encoding="utf-8"))):
            if isinstance(node, ast.ImportFrom):
                parts = here.split(".")
                parts = parts[: len(parts) - node.level + 1] if node.level else []
                mod = ".".join(parts + ([node.module] if node.module else []))
                targets = [f"{mod}.{a.name}" for a in node.names]
                targets = [t if t in modules else mod for t in targets]
            elif isinstance(node, ast.Import):
                targets = [a.name for a in node.names]
            else:
                continue
            edges.update(t for t in targets if t in modules and t not in (name, package.name))
    return graph


def test_the_python_package_has_no_import_cycle() -> None:
    # The well-known types are left out: their mixins and the generated classes that use them
    # are one unit (a Timestamp difference makes a Duration).
    graph = {
        k: sorted(m for m in v if not m.startswith("torvex.wkt."))
        for k, v in _package_imports(_ROOT / "python" / "torvex").items()
        if not k.startswith("torvex.wkt.")
    }
    assert "torvex._model" in graph["torvex._loader"]
    assert not any("protoc_gen" in m for m in graph["torvex._loader"])
    assert check_layers._cycle(graph) is None
