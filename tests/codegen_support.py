"""Shared by the code generation tests: compiling the corpus once per session (torvex modules
and the peer's ``_pb2`` modules), and hypothesis values for any torvex message class."""

from __future__ import annotations

import importlib
import os
import shutil
import subprocess
import sys
from pathlib import Path

from hypothesis import strategies as st

import torvex
import torvex.compile
from torvex import Oneof, Presence, ScalarType
from torvex._descriptors import (
    DescEnum,
    DescFieldValueEnum,
    DescFieldValueList,
    DescFieldValueMap,
    DescFieldValueMessage,
    DescFieldValueScalar,
    DescMessage,
)

PROTO_ROOT = Path(__file__).parent / "proto"
CORPUS = sorted(
    str(p.relative_to(PROTO_ROOT))
    for p in PROTO_ROOT.rglob("*.proto")
    if "golden" not in p.parts
)
WKT_FILES = [
    f"google/protobuf/{name}.proto"
    for name in (
        "any", "api", "cpp_features", "duration", "empty", "field_mask", "go_features",
        "java_features", "source_context", "struct", "timestamp", "type", "wrappers",
    )
]  # fmt: skip


# The venv's own pyright first: make runs the suite without the venv on PATH.
PYRIGHT = shutil.which(
    "pyright", path=os.pathsep.join([os.path.dirname(sys.executable), os.environ.get("PATH", "")])
)


def grpc_include() -> str:
    import grpc_tools

    return os.path.join(os.path.dirname(grpc_tools.__file__), "_proto")


def protoc(*args: str) -> None:
    """The peer's compiler; output for failures."""
    done = subprocess.run(
        [sys.executable, "-m", "grpc_tools.protoc", f"-I{PROTO_ROOT}", *args],
        capture_output=True,
        text=True,
    )
    if done.returncode:
        raise AssertionError(f"protoc {' '.join(args)} failed:\n{done.stderr}")


def torvex_protoc(out: Path, files: list[str], *extra: str) -> subprocess.CompletedProcess[str]:
    """torvex.compile in a child process, as a user runs it."""
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join([p for p in sys.path if p])
    return subprocess.run(
        [sys.executable, "-m", "torvex.compile", f"-I{PROTO_ROOT}", f"--torvex_out={out}", *extra, *files],
        capture_output=True,
        text=True,
        env=env,
    )


def ensure_wkt(out: Path) -> None:
    """Make ``torvex.wkt.<name>`` importable: the package's own modules when it has them, else
    this generator's output (with no-op mixins when the package has none)."""
    import torvex.wkt

    missing = [
        f for f in WKT_FILES if importlib.util.find_spec(f"torvex.wkt.{Path(f).stem}") is None
    ]
    if not missing:
        return
    done = torvex_protoc(out, missing)
    assert done.returncode == 0, done.stderr
    wkt_dir = out / "torvex" / "wkt"
    if importlib.util.find_spec("torvex.wkt._mixins") is None:
        names = ["Any", "Timestamp", "Duration", "FieldMask", "Struct", "Value", "ListValue"]
        (wkt_dir / "_mixins.py").write_text(
            "".join(f"class {n}Mixin:\n    __slots__ = ()\n\n\n" for n in names)
        )
    torvex.wkt.__path__.append(str(wkt_dir))


# ---- values --------------------------------------------------------------------------------

_I32 = (-(2**31), 2**31 - 1)
_RANGES = {
    ScalarType.INT32: _I32, ScalarType.SINT32: _I32, ScalarType.SFIXED32: _I32,
    ScalarType.UINT32: (0, 2**32 - 1), ScalarType.FIXED32: (0, 2**32 - 1),
    ScalarType.INT64: (-(2**63), 2**63 - 1), ScalarType.SINT64: (-(2**63), 2**63 - 1),
    ScalarType.SFIXED64: (-(2**63), 2**63 - 1),
    ScalarType.UINT64: (0, 2**64 - 1), ScalarType.FIXED64: (0, 2**64 - 1),
}  # fmt: skip
_TEXT = st.text(st.characters(blacklist_categories=("Cs",)), max_size=8)


def scalar_values(scalar: ScalarType) -> st.SearchStrategy:
    if scalar is ScalarType.DOUBLE:
        return st.floats()
    if scalar is ScalarType.FLOAT:
        return st.floats(width=32)
    if scalar is ScalarType.BOOL:
        return st.booleans()
    if scalar is ScalarType.STRING:
        return _TEXT
    if scalar is ScalarType.BYTES:
        return st.binary(max_size=8)
    low, high = _RANGES[scalar]
    return st.one_of(st.integers(low, high), st.sampled_from([low, high, 0]))


def enum_values(desc: DescEnum) -> st.SearchStrategy:
    members = st.sampled_from([getattr(desc.type, v.local_name) for v in desc.values])
    if not desc.open:
        return members
    return st.one_of(members, st.integers(*_I32).map(desc.type))


def _element(element, depth: int, special) -> st.SearchStrategy:
    if isinstance(element, ScalarType):
        return scalar_values(element)
    if isinstance(element, DescEnum):
        return enum_values(element)
    return message_values(element.type, depth + 1, special)


def message_values(cls: type, depth: int = 0, special=None) -> st.SearchStrategy:
    """Messages of ``cls`` with random fields set; required fields always are, and nesting
    stops at depth 3 (recursive types). ``special`` maps full names to strategies used instead
    (well-known types whose JSON form admits only some values)."""
    desc: DescMessage = cls._desc
    if special and desc.type_name in special:
        return special[desc.type_name]
    return st.deferred(lambda: _message(desc, depth, special))


@st.composite
def _message(draw, desc: DescMessage, depth: int, special=None):
    msg = desc.type()
    deep = depth >= 3
    groups: dict[str, list] = {}
    for f in desc.fields:
        kind = f.value
        if f.oneof is not None:
            groups.setdefault(f.oneof.local_name, []).append(f)
            continue
        required = f.presence == Presence.LEGACY_REQUIRED
        if not required and (deep or not draw(st.booleans())):
            continue
        if isinstance(kind, DescFieldValueScalar):
            value = draw(scalar_values(kind.scalar))
        elif isinstance(kind, DescFieldValueEnum):
            value = draw(enum_values(kind.enum))
        elif isinstance(kind, DescFieldValueMessage):
            value = draw(message_values(kind.message.type, depth + 1, special))
        elif isinstance(kind, DescFieldValueList):
            value = draw(st.lists(_element(kind.element, depth, special), max_size=3))
        else:
            assert isinstance(kind, DescFieldValueMap)
            value = draw(
                st.dictionaries(
                    scalar_values(kind.key), _element(kind.value, depth, special), max_size=3
                )
            )
        setattr(msg, f.local_name, value)
    for name, members in groups.items():
        if deep or not draw(st.booleans()):
            continue
        f = draw(st.sampled_from(members))
        kind = f.value
        if isinstance(kind, DescFieldValueScalar):
            value = draw(scalar_values(kind.scalar))
        elif isinstance(kind, DescFieldValueEnum):
            value = draw(enum_values(kind.enum))
        else:
            value = draw(message_values(kind.message.type, depth + 1, special))
        setattr(msg, name, Oneof(f.local_name, value))
    return msg


def all_message_classes(module) -> list[type]:
    """Every message class of a generated module, nested ones included."""
    out = []

    def walk(owner):
        for value in vars(owner).values():
            if isinstance(value, type) and issubclass(value, torvex.Message) and value is not torvex.Message:
                if value.__module__ == module.__name__ and value not in out:
                    out.append(value)
                    walk(value)

    walk(module)
    return out
