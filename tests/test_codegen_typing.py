"""Static typing of generated modules: mypy --strict and pyright (strict) accept the generated
corpus and correct use of it, and flag each wrong use on its own line."""

from __future__ import annotations

import json
import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

import torvex
from codegen_support import CORPUS, PYRIGHT, torvex_protoc

GOOD = """\
import torvex
from corpus import proto2_all as p2
from corpus import proto3_all as p3
from corpus.shop import money, order

o = order.Order(items=[money.Money(currency="EUR", units=1)], currency=money.Currency.CURRENCY_EUR)
empty = order.Order()
o.total = money.Money(units=2)
data: bytes = o.to_binary(write_unknown_fields=False)
again: order.Order = order.Order.from_binary(data, ignore_unknown_fields=True)
text: str = again.to_json(use_proto_field_name=True)
node = p3.Node(payload=torvex.Oneof("number", 1), children=[p3.Node()])
node.payload = torvex.Oneof("link", p3.Node())


def show(n: p3.Node) -> str:
    match n.payload:
        case torvex.Oneof("text", str() as t):
            return t.upper()
        case torvex.Oneof(name, value):
            return f"{name}={value!r}"
        case None:
            return ""


color: p3.Color = p3.Scalars().f_color
size: p2.Size = p2.Legacy(id=1).size
kind: p3.Node.Leaf.Kind = p3.Node.Leaf().kind
by_sku: dict[str, money.Money] = o.by_sku
schema = torvex.load_descriptor_set(b"")
loaded: torvex.Message = schema.messages["corpus.shop.Order"].from_binary(data)
tag: torvex.Extension = schema.extensions["corpus.ext.tag"]
level: type[torvex.Enum] = schema.enums["corpus.p3.Color"]
"""

# Each line must be reported by both checkers.
BAD = [
    'money.Money(currency=1)',
    'money.Money(currncy="x")',
    'money.Money("x")',
    'm = money.Money(); m.units = "x"',
    'p3.Scalars(f_color=p2.Size.SIZE_SMALL)',
    'order.Order(items=[order.Customer()])',
    'p3.Node(payload=torvex.Oneof("number", 1.5))',
    'p3.Node(payload=torvex.Oneof("nmber", 1))',
    'money.Money().to_binary(write_unknown=True)',
    'x: int = money.Money().currency',
    'torvex.load_descriptor_set(b"").messages["a.B"].to_binary(write_unknown=True)',
]
BAD_HEADER = "import torvex\nfrom corpus import proto2_all as p2\nfrom corpus import proto3_all as p3\nfrom corpus.shop import money, order\n"


@pytest.fixture(scope="module")
def workspace(tmp_path_factory):
    root = tmp_path_factory.mktemp("typing")
    done = torvex_protoc(root, CORPUS)
    assert done.returncode == 0, done.stderr
    (root / "good.py").write_text(GOOD)
    (root / "bad.py").write_text(BAD_HEADER + "\n".join(BAD) + "\n")
    return root


def _package_path() -> list[str]:
    # The torvex sources, unless they are installed (checkers find installed packages).
    parent = str(Path(torvex.__file__).parent.parent)
    return [] if "site-packages" in parent else [parent]


def _bad_lines() -> set[int]:
    first = BAD_HEADER.count("\n") + 1
    return set(range(first, first + len(BAD)))


def _corpus_files(root: Path) -> list[str]:
    return ["enum_.py", "corpus"]


def test_mypy_strict(workspace):
    env = dict(os.environ, MYPYPATH=os.pathsep.join([str(workspace), *_package_path()]))
    args = [sys.executable, "-m", "mypy", "--strict", "--explicit-package-bases",
            "--follow-imports=silent", "--no-error-summary", "--cache-dir", str(workspace / ".mypy")]  # fmt: skip
    clean = subprocess.run([*args, *_corpus_files(workspace), "good.py"], cwd=workspace,
                           env=env, capture_output=True, text=True)  # fmt: skip
    assert clean.returncode == 0, clean.stdout + clean.stderr
    flagged = subprocess.run([*args, "bad.py"], cwd=workspace, env=env, capture_output=True, text=True)
    lines = {int(m) for m in re.findall(r"^bad\.py:(\d+): error", flagged.stdout, re.M)}
    assert lines == _bad_lines(), flagged.stdout




@pytest.mark.skipif(PYRIGHT is None, reason="pyright is not installed")
def test_pyright_strict(workspace):
    config = {"extraPaths": _package_path(), "typeCheckingMode": "strict", "pythonVersion": "3.12"}
    (workspace / "pyrightconfig.json").write_text(json.dumps(config))
    done = subprocess.run([str(PYRIGHT), "--pythonpath", sys.executable, "--outputjson", *_corpus_files(workspace), "good.py", "bad.py"],
                          cwd=workspace, capture_output=True, text=True)  # fmt: skip
    report = json.loads(done.stdout)
    errors = [d for d in report["generalDiagnostics"] if d["severity"] == "error"]
    elsewhere = [d for d in errors if not d["file"].endswith("bad.py")]
    assert not elsewhere, elsewhere
    lines = {d["range"]["start"]["line"] + 1 for d in errors}
    assert lines == _bad_lines(), errors
