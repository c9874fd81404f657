"""A corpus from outside: the googleapis common protos and every standard file. Each file
generates, imports, type-checks under pyright strict and loads from a descriptor set, and random
instances of every message type round-trip through binary and JSON against Google's runtime in
both directions, for generated and for loaded classes."""

from __future__ import annotations

import importlib
import json
import os
import subprocess
import sys
from pathlib import Path

import pytest
from google.protobuf import descriptor_pb2, descriptor_pool, json_format, message_factory
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import torvex
from codegen_support import (
    PYRIGHT,
    all_message_classes,
    grpc_include,
    message_values,
    torvex_protoc,
)
from peer import snapshot
from torvex import Registry, wkt
from torvex._model import BUNDLED_FILES, module_path


def _googleapis_root() -> Path:
    for entry in sys.path:
        if (Path(entry) / "google/api/http.proto").exists():
            return Path(entry)
    raise LookupError("googleapis-common-protos is not installed")


ROOT = _googleapis_root()
GOOGLEAPIS = sorted(
    str(p.relative_to(ROOT))
    for p in ROOT.glob("google/**/*.proto")
    if "protobuf" not in p.relative_to(ROOT).parts
)
STANDARD = sorted(BUNDLED_FILES)


class Corpus:
    def __init__(self, out: Path, data: bytes) -> None:
        self.out = out
        self.modules = {name: importlib.import_module(module_path(name)) for name in [*GOOGLEAPIS, *STANDARD]}
        self.loaded = torvex.load_descriptor_set(data)
        self.registry = Registry(wkt, *self.modules.values())
        self.loaded_registry = Registry(*self.loaded.messages.values())
        # The peer's classes from the same descriptors, in a pool of their own.
        self.pool = descriptor_pool.DescriptorPool()
        for fdp in descriptor_pb2.FileDescriptorSet.FromString(data).file:
            self.pool.Add(fdp)
        self.names = [
            m.full_name for fdp in descriptor_pb2.FileDescriptorSet.FromString(data).file
            for m in self.pool.FindFileByName(fdp.name).message_types_by_name.values()
        ]

    def peer(self, full_name: str):
        return message_factory.GetMessageClass(self.pool.FindMessageTypeByName(full_name))


@pytest.fixture(scope="module")
def corpus(tmp_path_factory):
    out = tmp_path_factory.mktemp("googleapis")
    include = [f"-I{ROOT}", f"-I{grpc_include()}"]
    done = torvex_protoc(out, GOOGLEAPIS, *include)
    assert done.returncode == 0, done.stderr
    set_path = out / "set.pb"
    done = subprocess.run(
        [sys.executable, "-m", "grpc_tools.protoc", *include, "--include_imports",
         f"--descriptor_set_out={set_path}", *GOOGLEAPIS, *STANDARD],
        capture_output=True, text=True,
    )  # fmt: skip
    assert done.returncode == 0, done.stderr
    sys.path.insert(0, str(out))
    try:
        yield Corpus(out, set_path.read_bytes())
    finally:
        sys.path.remove(str(out))


def test_every_file_generates_imports_and_loads(corpus):
    assert len(GOOGLEAPIS) >= 60 and len(STANDARD) == 15
    generated = {c._desc.type_name for m in corpus.modules.values() for c in all_message_classes(m)}
    # Map entries are not classes of their own.
    wanted = {n for n in corpus.names if not n.endswith("Entry")}
    assert wanted <= generated
    assert wanted <= set(corpus.loaded.messages)
    assert len(corpus.loaded.extensions) > 20  # google.api annotations on descriptor options
    for name in STANDARD:
        assert corpus.modules[name].__name__.startswith("torvex.wkt.")


@pytest.mark.skipif(PYRIGHT is None, reason="pyright is not installed")
def test_pyright_strict_is_clean(corpus):
    parent = str(Path(torvex.__file__).parent.parent)
    config = {"extraPaths": [] if "site-packages" in parent else [parent],
              "typeCheckingMode": "strict", "pythonVersion": "3.12"}  # fmt: skip
    (corpus.out / "pyrightconfig.json").write_text(json.dumps(config))
    done = subprocess.run([str(PYRIGHT), "--pythonpath", sys.executable, "--outputjson", "google"],
                          cwd=corpus.out, capture_output=True, text=True)  # fmt: skip
    report = json.loads(done.stdout)
    errors = [d for d in report["generalDiagnostics"] if d["severity"] == "error"]
    assert report["summary"]["filesAnalyzed"] >= len(GOOGLEAPIS)
    assert not errors, errors[:5]


# ---- random instances against the peer ------------------------------------------------------

_TEXT = st.text(st.characters(blacklist_categories=("Cs",)), max_size=6)
_JSON = st.recursive(
    st.none() | st.booleans() | st.floats(allow_nan=False, allow_infinity=False) | _TEXT,
    lambda inner: st.lists(inner, max_size=3) | st.dictionaries(_TEXT, inner, max_size=3),
    max_leaves=6,
)
_TS = st.builds(
    lambda s, n: wkt.Timestamp(seconds=s, nanos=n),
    st.integers(-62135596800, 253402300799), st.integers(0, 999_999_999),
)  # fmt: skip
_DUR = st.integers(-315576000000, 315576000000).flatmap(
    lambda s: st.integers(-999_999_999 if s <= 0 else 0, 999_999_999 if s >= 0 else 0).map(
        lambda n: wkt.Duration(seconds=s, nanos=n)
    )
)
_PATH = st.from_regex(r"[a-z]{1,4}(_[a-z]{1,4}){0,2}(\.[a-z]{1,4}){0,2}", fullmatch=True)
# The well-known types take only the values their JSON form can carry.
SPECIAL = {
    "google.protobuf.Timestamp": _TS,
    "google.protobuf.Duration": _DUR,
    "google.protobuf.FieldMask": st.lists(_PATH, max_size=3).map(lambda p: wkt.FieldMask(paths=p)),
    "google.protobuf.Value": _JSON.map(wkt.Value.from_python),
    "google.protobuf.Struct": st.dictionaries(_TEXT, _JSON, max_size=3).map(wkt.Struct.from_dict),
    "google.protobuf.ListValue": st.lists(_JSON, max_size=3).map(wkt.ListValue.from_list),
    # Empty, or a payload of a well-known type.
    "google.protobuf.Any": st.one_of(st.just(wkt.Any()), st.one_of(_TS, _DUR).map(wkt.Any.pack)),
}
# Derandomized: the same instances in every run, so that a failure is reproducible.
SETTINGS = settings(max_examples=3, deadline=None, database=None, derandomize=True,
                    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])  # fmt: skip


def _normal(msg):
    """The message as the wire sees it: a float field read from JSON text holds a double until
    it is encoded."""
    return snapshot(type(msg).from_binary(msg.to_binary()))


def round_trips(cls, peer_cls, msg, registry, pool) -> None:
    want = snapshot(msg)
    theirs = peer_cls.FromString(msg.to_binary())
    assert snapshot(cls.from_binary(theirs.SerializeToString())) == want
    # Our JSON read by the peer, the peer's JSON read by us.
    parsed = json_format.Parse(msg.to_json(registry=registry), peer_cls(), descriptor_pool=pool)
    assert snapshot(cls.from_binary(parsed.SerializeToString())) == want
    text = json_format.MessageToJson(theirs, descriptor_pool=pool)
    assert _normal(cls.from_json(text, registry=registry)) == want


@pytest.mark.parametrize("file", [*GOOGLEAPIS, *STANDARD])
@SETTINGS
@given(data=st.data())
def test_random_instances_round_trip_with_peer(corpus, file, data):
    for cls in all_message_classes(corpus.modules[file]):
        name = cls._desc.type_name
        msg = data.draw(message_values(cls, special=SPECIAL), label=name)
        peer_cls = corpus.peer(name)
        round_trips(cls, peer_cls, msg, corpus.registry, corpus.pool)
        loaded = corpus.loaded.messages[name]
        if loaded is not cls:
            copy = loaded.from_binary(msg.to_binary())
            round_trips(loaded, peer_cls, copy, corpus.loaded_registry, corpus.pool)
