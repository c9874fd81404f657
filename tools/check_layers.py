"""Fails when an include in src/ points up the layer order or closes a cycle.

Layers, lowest first: core, schema, message, binary, then text and json side by side (json may
use the binary codec, since an Any holds binary bytes; neither may use the other), and the
module entry (the files directly in src/) on top of everything. Run from make test:
    python tools/check_layers.py [SRC_DIR]
"""

from __future__ import annotations

import re
import sys
from pathlib import Path

ENTRY = ""
# Which layers each layer may include, itself always among them.
ALLOWED: dict[str, frozenset[str]] = {
    "core": frozenset({"core"}),
    "schema": frozenset({"core", "schema"}),
    "message": frozenset({"core", "schema", "message"}),
    "binary": frozenset({"core", "schema", "message", "binary"}),
    "text": frozenset({"core", "schema", "message", "binary", "text"}),
    "json": frozenset({"core", "schema", "message", "binary", "json"}),
}
ALLOWED[ENTRY] = frozenset(ALLOWED) | {ENTRY}

_INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.MULTILINE)


def layer_of(rel: Path) -> str | None:
    """The layer of a path relative to src/: its folder, or ENTRY for a top-level file."""
    if len(rel.parts) == 1:
        return ENTRY
    if len(rel.parts) == 2 and rel.parts[0] in ALLOWED:
        return rel.parts[0]
    return None


def _cycle(graph: dict[str, list[str]]) -> list[str] | None:
    """One include cycle among the files of `graph`, as a path that returns to its start."""
    state: dict[str, int] = {}  # 1 on the current path, 2 finished
    path: list[str] = []

    def visit(node: str) -> list[str] | None:
        state[node] = 1
        path.append(node)
        for nxt in graph.get(node, []):
            if state.get(nxt) == 1:
                return path[path.index(nxt) :] + [nxt]
            if nxt not in state and (found := visit(nxt)):
                return found
        path.pop()
        state[node] = 2
        return None

    for node in sorted(graph):
        if node not in state and (found := visit(node)):
            return found
    return None


def check(src: Path) -> list[str]:
    """Every violation under `src`, one message each; empty when the layering holds."""
    problems: list[str] = []
    graph: dict[str, list[str]] = {}
    files = sorted(p for p in src.rglob("*") if p.suffix in (".h", ".cpp"))
    for path in files:
        rel = path.relative_to(src)
        layer = layer_of(rel)
        if layer is None:
            folders = ", ".join(sorted(k for k in ALLOWED if k))
            problems.append(f"{rel}: not in a layer folder ({folders}) or directly in src/")
            continue
        edges = graph.setdefault(rel.as_posix(), [])
        for target in _INCLUDE.findall(path.read_text(encoding="utf-8")):
            target_layer = layer_of(Path(target))
            if not (src / target).is_file() or target_layer is None:
                problems.append(f"{rel}: includes {target!r}, not a file of src/ by its layer path")
                continue
            edges.append(target)
            if target_layer not in ALLOWED[layer]:
                problems.append(
                    f"{rel}: {layer or 'module entry'} may not include {target} ({target_layer})"
                )
    if cycle := _cycle(graph):
        problems.append("include cycle: " + " -> ".join(cycle))
    return problems


def main(argv: list[str]) -> int:
    src = Path(argv[1]) if len(argv) > 1 else Path(__file__).resolve().parent.parent / "src"
    problems = check(src)
    for p in problems:
        print(p, file=sys.stderr)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
