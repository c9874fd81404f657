"""Code generation: the corpus under tests/proto compiled by protoc-gen-torvex, against the
peer's classes compiled by protoc --python_out from the same files; self-hosting of the bundled
descriptor.proto and plugin.proto modules; golden output; hostile and unsupported input."""

from __future__ import annotations

import copy
import importlib
import inspect
import os
import re
import struct
import sys
from pathlib import Path

import pytest
from google.protobuf import descriptor_pool, message_factory
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import torvex
from codegen_support import (
    CORPUS,
    PROTO_ROOT,
    WKT_FILES,
    all_message_classes,
    ensure_wkt,
    grpc_include,
    message_values,
    protoc,
    torvex_protoc,
)
from peer import snapshot
from torvex._descriptors import DescEnum, DescMessage
from torvex.protoc_gen import generate_files
from torvex._model import module_path

SETTINGS = settings(
    max_examples=12,
    deadline=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large],
)
PACKAGE = Path(torvex.__file__).parent


@pytest.fixture(scope="session")
def compiled(tmp_path_factory):
    """Corpus modules of both sides: proto file -> (torvex module, peer module)."""
    out = tmp_path_factory.mktemp("torvex_out")
    peer_out = tmp_path_factory.mktemp("peer_out")
    ensure_wkt(out)
    done = torvex_protoc(out, CORPUS)
    assert done.returncode == 0, done.stderr
    protoc(f"--python_out={peer_out}", *CORPUS)
    sys.path[:0] = [str(out), str(peer_out)]
    modules = {}
    for name in CORPUS:
        ours = importlib.import_module(module_path(name))
        theirs = importlib.import_module(name[:-6].replace("/", ".") + "_pb2")
        modules[name] = (ours, theirs)
    return modules


def peer_class(full_name: str):
    return message_factory.GetMessageClass(
        descriptor_pool.Default().FindMessageTypeByName(full_name)
    )


# The bundled modules of standard files against the peer's own modules of the same files.
STANDARD_ROOTS = [
    "google.protobuf.FileDescriptorSet",
    "google.protobuf.compiler.CodeGeneratorRequest",
    "google.protobuf.compiler.CodeGeneratorResponse",
    "google.protobuf.Any",
    "google.protobuf.Timestamp",
    "google.protobuf.Duration",
    "google.protobuf.FieldMask",
    "google.protobuf.Struct",
    "google.protobuf.Empty",
    "google.protobuf.DoubleValue",
    "google.protobuf.BytesValue",
    "google.protobuf.UInt64Value",
    "google.protobuf.Api",
    "google.protobuf.Type",
    "google.protobuf.Enum",
]


@pytest.mark.parametrize("full_name", STANDARD_ROOTS)
@settings(SETTINGS, max_examples=8)
@given(data=st.data())
def test_standard_files_agree_with_peer(full_name, data):
    import google.protobuf.compiler.plugin_pb2  # noqa: F401  (registers the peer's classes)
    import google.protobuf.descriptor_pb2  # noqa: F401
    from google.protobuf import any_pb2, duration_pb2, empty_pb2, field_mask_pb2  # noqa: F401
    from google.protobuf import struct_pb2, timestamp_pb2, wrappers_pb2  # noqa: F401
    from google.protobuf import api_pb2, type_pb2  # noqa: F401

    cls = _scope_find(full_name)
    peer = peer_class(full_name)
    msg = data.draw(message_values(cls))
    theirs = peer.FromString(msg.to_binary())
    assert snapshot(cls.from_binary(theirs.SerializeToString())) == snapshot(msg)


def _scope_find(full_name: str):
    import torvex.wkt.compiler.plugin  # noqa: F401
    import torvex.wkt.descriptor  # noqa: F401
    from torvex import _scope

    found = _scope.find(full_name)
    assert found is not None, full_name
    return found


def corpus_classes():
    """(file, class attribute path) of every message in the corpus, found without importing
    (parametrization happens before the session fixture runs)."""
    from torvex.wkt.descriptor import FileDescriptorSet

    data = _descriptor_set()
    out = []
    for f in FileDescriptorSet.from_binary(data).file:
        if f.name not in CORPUS:
            continue

        def walk(messages, prefix):
            for m in messages:
                if m.options is not None and m.options.map_entry:
                    continue
                out.append(pytest.param(f.name, prefix + m.name, id=prefix + m.name))
                walk(m.nested_type, prefix + m.name + ".")

        walk(f.message_type, f"{f.package}.")
    return out


_SET_CACHE: list[bytes] = []


def _descriptor_set() -> bytes:
    if not _SET_CACHE:
        import tempfile

        with tempfile.TemporaryDirectory() as tmp:
            path = os.path.join(tmp, "set.pb")
            protoc("--include_imports", "--include_source_info", f"--descriptor_set_out={path}", *CORPUS)
            _SET_CACHE.append(Path(path).read_bytes())
    return _SET_CACHE[0]


def torvex_class(module, full_name: str):
    for cls in all_message_classes(module):
        if cls._desc.type_name == full_name:
            return cls
    raise LookupError(full_name)


# Unknown records: numbers no corpus message uses, each wire type.
_UNKNOWN = st.lists(
    st.one_of(
        st.tuples(st.just(0), st.integers(0, 2**64 - 1)),
        st.tuples(st.just(1), st.binary(min_size=8, max_size=8)),
        st.tuples(st.just(2), st.binary(max_size=6)),
        st.tuples(st.just(5), st.binary(min_size=4, max_size=4)),
    ).flatmap(lambda rec: st.tuples(st.integers(5000, 6000), st.just(rec))),
    max_size=3,
)


def _varint(n: int) -> bytes:
    out = bytearray()
    while True:
        byte = n & 0x7F
        n >>= 7
        if n:
            out.append(byte | 0x80)
        else:
            out.append(byte)
            return bytes(out)


def _record(number: int, rec) -> bytes:
    wire, value = rec
    tag = _varint(number << 3 | wire)
    if wire == 0:
        return tag + _varint(value)
    if wire == 2:
        return tag + _varint(len(value)) + value
    return tag + value


@pytest.mark.parametrize("file, full_name", corpus_classes())
@SETTINGS
@given(data=st.data())
def test_binary_agrees_with_peer(compiled, file, full_name, data):
    cls = torvex_class(compiled[file][0], full_name)
    peer = peer_class(full_name)
    msg = data.draw(message_values(cls))
    wire = msg.to_binary()
    theirs = peer.FromString(wire)
    back = cls.from_binary(theirs.SerializeToString())
    assert snapshot(back) == snapshot(msg)
    # Unknown fields pass through either side unchanged.
    extra = b"".join(_record(n, rec) for n, rec in data.draw(_UNKNOWN))
    ours = cls.from_binary(wire + extra)
    theirs = peer.FromString(wire + extra)
    assert snapshot(cls.from_binary(theirs.SerializeToString()), unknown=True) == snapshot(
        ours, unknown=True
    )
    # (Unknown records are kept per field number, so compare them that way, not as bytes.)
    again = peer.FromString(ours.to_binary()).SerializeToString()
    assert snapshot(cls.from_binary(again), unknown=True) == snapshot(ours, unknown=True)


# ---- generated vs loaded -------------------------------------------------------------------


def _shape(desc) -> tuple:
    """What a type declares, comparable across two builds of it."""
    if isinstance(desc, DescEnum):
        return (desc.type_name, desc.open, [(v.name, v.local_name, v.number) for v in desc.values])
    fields = []
    for f in desc.fields:
        kind = f.value
        detail = {k: getattr(kind, k) for k in kind.__slots__ if k != "oneof"}
        for key, value in detail.items():
            if isinstance(value, (DescMessage, DescEnum)):
                detail[key] = value.type_name
        group = f.oneof
        fields.append(
            (f.number, f.name, f.local_name, f.json_name, f.presence, f._requires_presence,
             type(kind).__name__, sorted(detail.items()), group and (group.name, group.local_name))
        )  # fmt: skip
    return desc.type_name, desc.file.name, fields, [(k, repr(v)) for k, v in desc._defaults]


def test_loaded_classes_match_generated(compiled):
    loaded = torvex.load_descriptor_set(_descriptor_set())
    generated = {}
    for ours, _ in compiled.values():
        for cls in all_message_classes(ours):
            generated[cls._desc.type_name] = cls
    corpus_types = [name for name in loaded if name in generated]
    assert len(corpus_types) == len(generated)
    for name in corpus_types:
        assert loaded[name] is not generated[name]
        assert _shape(loaded[name]._desc) == _shape(generated[name]._desc), name
    # WKT files are the package's own modules, not second definitions.
    assert loaded["google.protobuf.Timestamp"] is importlib.import_module("torvex.wkt.timestamp").Timestamp


@pytest.mark.parametrize("full_name", ["corpus.p3.Node", "corpus.p2.Legacy", "shop.orders.Order", "corpus.ed.Item"])
@settings(SETTINGS, max_examples=15)
@given(data=st.data())
def test_loaded_classes_encode_like_generated(compiled, full_name, data):
    loaded = _loaded()[full_name]
    generated = next(
        torvex_class(m, full_name) for m, _ in compiled.values()
        if any(c._desc.type_name == full_name for c in all_message_classes(m))
    )  # fmt: skip
    msg = data.draw(message_values(generated))
    wire = msg.to_binary()
    other = loaded.from_binary(wire)
    # Same full names and numbers on both sides, so the snapshots compare directly (map entry
    # order in the bytes may differ between encodings, so bytes are not compared).
    assert snapshot(other) == snapshot(msg)
    assert snapshot(generated.from_binary(other.to_binary())) == snapshot(msg)


_LOADED: list[dict] = []


def _loaded() -> dict:
    if not _LOADED:
        _LOADED.append(torvex.load_descriptor_set(_descriptor_set()))
    return _LOADED[0]


def test_loading_twice_gives_separate_classes(compiled):
    first = torvex.load_descriptor_set(_descriptor_set())
    second = torvex.load_descriptor_set(_descriptor_set())
    assert first["corpus.p3.Node"] is not second["corpus.p3.Node"]
    node = second["corpus.p3.Node"]
    # References inside one load resolve within it.
    assert node._desc._fields_by_name["parent"].value.message is node._desc


def _peer_options(peer):
    """The peer's options of a descriptor as torvex's options message, None when unset."""
    if not peer.has_options:
        return None
    options = peer.GetOptions()
    from torvex.wkt import descriptor as d

    return getattr(d, type(options).__name__).from_binary(options.SerializeToString())


def _option_pairs(ours_module, theirs_module, loaded):
    """(element, generated options, loaded options, peer options) for every file, message,
    field and enum of a corpus file."""
    peer_file = theirs_module.DESCRIPTOR
    yield peer_file.name, ours_module.FILE.options, None, _peer_options(peer_file)

    def enums(peer_enums):
        for e in peer_enums:
            mine = torvex.descriptor(_scope_find(e.full_name))
            yield e.full_name, mine.options, torvex.descriptor(loaded[e.full_name]).options, _peer_options(e)

    def messages(peer_messages):
        for m in peer_messages:
            if m.GetOptions().map_entry:
                continue
            mine = torvex.descriptor(torvex_class(ours_module, m.full_name))
            other = torvex.descriptor(loaded[m.full_name])
            yield m.full_name, mine.options, other.options, _peer_options(m)
            for f in m.fields:
                pair = (mine._fields_by_name, other._fields_by_name)
                ours, theirs = (next(x for x in side.values() if x.name == f.name) for side in pair)
                yield f.full_name, ours.options, theirs.options, _peer_options(f)
            yield from messages(m.nested_types)
            yield from enums(m.enum_types)

    yield from messages(peer_file.message_types_by_name.values())
    yield from enums(peer_file.enum_types_by_name.values())


def _without_features(options):
    # The peer resolves editions features and leaves them out of the options it shows.
    if options is None:
        return None
    options = copy.deepcopy(options)
    options.clear_field("features")
    return None if options == type(options)() else options


def test_options_agree_with_peer(compiled):
    loaded = _loaded()
    seen = 0
    for name, (ours, theirs) in compiled.items():
        for element, generated, from_set, peer in _option_pairs(ours, theirs, loaded):
            peer = _without_features(peer)
            assert _without_features(generated) == peer, element
            # A loaded schema keeps its whole descriptor (file options included).
            if from_set is not None or element != name:
                assert _without_features(from_set) == peer, element
            seen += peer is not None
    assert seen >= 8  # the corpus sets options on files, messages, fields and enums


# ---- self-hosting and golden output --------------------------------------------------------

SELF_HOSTED = {
    "google/protobuf/descriptor.proto": "wkt/descriptor.py",
    "google/protobuf/compiler/plugin.proto": "wkt/compiler/plugin.py",
    **{f: f"wkt/{Path(f).stem}.py" for f in WKT_FILES},
}


def test_bundled_modules_regenerate_identically(tmp_path):
    # The committed modules of torvex.wkt are the plugin's own output (with brief docstrings),
    # the plugin reading its requests through the descriptor and plugin modules among them.
    done = torvex_protoc(
        tmp_path, list(SELF_HOSTED), f"-I{grpc_include()}", "--torvex_opt=brief_docs"
    )
    assert done.returncode == 0, done.stderr
    for proto, committed in SELF_HOSTED.items():
        fresh = tmp_path / "torvex" / committed
        assert fresh.read_text() == (PACKAGE / committed).read_text(), proto


def test_wkt_modules_carry_their_mixins():
    from torvex.wkt import _mixins, struct, timestamp, wrappers

    assert issubclass(timestamp.Timestamp, _mixins.TimestampMixin)
    for name in ("Struct", "Value", "ListValue"):
        assert issubclass(getattr(struct, name), getattr(_mixins, f"{name}Mixin"))
    assert not any(base.__module__ == _mixins.__name__ for base in wrappers.Int32Value.__mro__)


GOLDEN = ["enum.proto", "corpus/proto2_all.proto", "corpus/editions_defaults.proto"]


@pytest.mark.parametrize("proto", GOLDEN)
def test_golden_output(proto, tmp_path):
    """Review changes of the generator here: TORVEX_UPDATE_GOLDEN=1 rewrites the files."""
    done = torvex_protoc(tmp_path, [proto])
    assert done.returncode == 0, done.stderr
    produced = (tmp_path / (module_path(proto).replace(".", "/") + ".py")).read_text()
    golden = PROTO_ROOT / "golden" / (module_path(proto) + ".py.txt")
    if os.environ.get("TORVEX_UPDATE_GOLDEN"):
        golden.write_text(produced)
    assert produced == golden.read_text()


def test_output_is_deterministic(compiled, tmp_path):
    from torvex.wkt.descriptor import FileDescriptorSet

    files = list(FileDescriptorSet.from_binary(_descriptor_set()).file)
    first = generate_files(files, CORPUS)
    assert generate_files(list(reversed(files)), CORPUS) == first


# ---- values the generator must carry exactly -----------------------------------------------


def test_proto2_defaults(compiled):
    p2 = compiled["corpus/proto2_all.proto"][0]
    d = p2.Defaults()
    assert d.d_int32 == -42 and d.d_uint64 == 2**64 - 1
    assert d.d_float == 8999999488.0  # 9e9 in single precision
    assert d.d_float_small == struct.unpack("<f", struct.pack("<f", 0.1))[0]
    assert d.d_double == float("-inf") and d.d_nan != d.d_nan
    assert d.d_string == 'quote " backslash \\ nul \x00 """ é'
    assert d.d_bytes == b'\x00\xff\\"\x01abc'
    assert d.d_size is p2.Size.SIZE_LARGE and d.d_sint64 == -(2**63) and d.d_hex == 0x7FFF
    assert not any(d.has_field(f.local_name) for f in p2.Defaults._desc.fields)


def test_names_are_renamed_and_proto_names_kept(compiled):
    names = compiled["enum.proto"][0]
    assert names.__name__ == "enum_"  # named like the standard library's enum
    kw = names.Keywords
    fields = {f.name: f.local_name for f in kw._desc.fields}
    assert fields["class"] == "class__" and fields["class_"] == "class___"
    assert fields["to_binary"] == "to_binary_" and fields["_desc"] == "_desc_"
    assert fields["__private"] == "x__private" and fields["torvex"] == "torvex_"
    assert names.torvex_._desc.type_name == "names.torvex"
    assert names.class_._desc.type_name == "names.class"
    assert [v.name for v in names.class_._desc.values][1:] == ["None", "mro", "_sunder_", "__mangled"]
    assert names.Enum._desc.type_name == "names.Enum" and names.Any._desc.type_name == "names.Any"
    msg = kw(class__=1, to_binary_=2, x__private="p", match=torvex.Oneof("lambda_", "λ"))
    peer = peer_class("names.Keywords").FromString(msg.to_binary())
    assert (getattr(peer, "class"), peer.to_binary, peer.__private, getattr(peer, "lambda")) == (1, 2, "p", "λ")


def _torvex_types(owner):
    for value in vars(owner).values():
        if isinstance(value, type) and isinstance(getattr(value, "_desc", None), (DescMessage, DescEnum)):
            yield value
            yield from _torvex_types(value)


@pytest.mark.parametrize("file", CORPUS)
def test_descriptor_names_match_peer(compiled, file):
    # Every renamed attribute still carries the proto name, JSON name and value names protoc
    # gave: a renaming rule off by one shows up as a name the peer does not have.
    ours, theirs = compiled[file]
    pool = descriptor_pool.Default()
    for cls in set(_torvex_types(ours)):
        desc = cls._desc
        if isinstance(desc, DescEnum):
            peer = pool.FindEnumTypeByName(desc.type_name)
            assert {v.name: v.number for v in desc.values} == {v.name: v.number for v in peer.values}
            continue
        peer = pool.FindMessageTypeByName(desc.type_name)
        assert {f.number: (f.name, f.json_name) for f in desc.fields} == {
            f.number: (f.name, f.json_name) for f in peer.fields}  # fmt: skip


def test_shortest_names_for_each_renaming_rule(compiled):
    short, _ = compiled["corpus/shortest.proto"]
    assert (short.x__._desc.type_name, short._M__._desc.type_name) == (
        "corpus.shortest.__", "corpus.shortest._M_")  # fmt: skip
    fields = {f.name: f.local_name for f in short.Short._desc.fields}
    assert fields == {"__": "x___", "_a_": "_a__", "as": "as__", "as_": "as_", "_T": "_T_",
                      "mro": "mro_", "a_": "a_", "if_": "if_", "v": "v", "w": "w", "x": "x",
                      "y": "y", "m": "m", "in": "in_", "_i": "_i"}  # fmt: skip
    values = {v.name: v.local_name for e in "VWXY" for v in getattr(short.Values, e)._desc.values}
    assert values == {"_A_": "_A__", "as": "as_", "mro": "mro_", "__": "x__", "_a": "_a",
                      "_": "_", "if_": "if_", "___": "x___", "a_": "a_"}  # fmt: skip
    msg = short.Short(if_=1, a_=2, _o__=torvex.Oneof("in_", 3), v=short.Values.V._A__)
    assert msg.to_json(use_proto_field_name=True) == '{"a_":2,"if_":1,"v":"_A_","in":3}'
    assert short.Short.from_json('{"if":1,"aU":2,"as":4}') == short.Short(if_=1, a_=2, as__=4)


# ---- hostile and unsupported input ---------------------------------------------------------

HOSTILE = "\n".join(
    [
        'syntax = "proto2";',
        "package hostile;",
        '// Ends a docstring: """ + "" ; raise SystemExit("comment ran") ; """',
        '// Backslashes \\ and \\\\ and \\""" and a quote at the end "',
        "// Non-ASCII: héllo ✓ 日本 and a line separator \u2028 here",
        "message Evil {",
        '  // """',
        "  optional string s = 1 [default = \"\\\"\\\"\\\" ; raise SystemExit('default ran') ; "
        '\\"\\"\\" \\\\"];',
        "  optional bytes b = 2 [default = \"\'\'\'\\\\\\\'\\\"\\x00\"];",
        "}",
    ]
)
HOSTILE_DOC = '''Ends a docstring: """ + "" ; raise SystemExit("comment ran") ; """
Backslashes \\ and \\\\ and \\""" and a quote at the end "
Non-ASCII: héllo ✓ 日本 and a line separator \u2028 here'''


def test_hostile_names_and_comments_stay_text(tmp_path):
    src = tmp_path / "src"
    src.mkdir()
    (src / "hostile.proto").write_text(HOSTILE, encoding="utf-8")
    out = tmp_path / "out"
    out.mkdir()
    done = torvex_protoc(out, ["hostile.proto"], f"-I{src}")
    assert done.returncode == 0, done.stderr
    text = (out / "hostile.py").read_text(encoding="utf-8")
    namespace: dict = {}
    exec(compile(text, "hostile.py", "exec"), namespace)
    evil = namespace["Evil"]
    assert inspect.cleandoc(evil.__doc__) == HOSTILE_DOC
    assert evil().s == "\"\"\" ; raise SystemExit('default ran') ; \"\"\" \\"
    assert evil().b == b"'''\\'\"\x00"


@pytest.mark.parametrize(
    "source, expected",
    [
        ('edition = "2024";\npackage p;\nmessage M { int32 a = 1; }\n', "bad.proto"),
        ('syntax = "proto3";\npackage p;\nmessage M { int32 a = 1; }\n', "unknown option"),
    ],
)
def test_unsupported_input_is_a_protoc_error(tmp_path, source, expected):
    (tmp_path / "bad.proto").write_text(source)
    extra = ["--torvex_opt=no_such_option"] if expected == "unknown option" else []
    done = torvex_protoc(tmp_path, ["bad.proto"], f"-I{tmp_path}", *extra)
    assert done.returncode != 0
    assert expected in done.stderr and "Traceback" not in done.stderr
    assert not (tmp_path / "bad.py").exists()


def test_relative_imports(tmp_path):
    done = torvex_protoc(tmp_path, ["corpus/shop/order.proto", "corpus/shop/money.proto"], "--torvex_opt=relative_imports,grpc")
    assert done.returncode == 0, done.stderr
    text = (tmp_path / "corpus/shop/order.py").read_text()
    assert "from . import money as _money" in text
    assert "from torvex.wkt import timestamp as _timestamp" in text
    # The service lives in the gRPC module only, which imports its messages relatively too.
    assert "Orders" not in text and "grpc" not in text
    services = (tmp_path / "corpus/shop/order_grpc.py").read_text()
    assert "from . import order as _order" in services and "from . import money" not in services
    assert not (tmp_path / "corpus/shop/money_grpc.py").exists()


def test_missing_protoc_is_a_clear_error(monkeypatch, capsys):
    import torvex.compile as tc

    monkeypatch.setattr(tc.shutil, "which", lambda name: None)
    monkeypatch.setattr(tc.importlib.util, "find_spec", lambda name: None)
    assert tc.main(["-I.", "--torvex_out=.", "x.proto"]) == 2
    assert "no protoc found" in capsys.readouterr().err


def test_extensions_against_peer(compiled):
    ext, peer_ext = compiled["corpus/extensions.proto"]
    p2, peer_p2 = compiled["corpus/proto2_all.proto"]
    msg = p2.Legacy(id=7)
    assert msg[ext.size_ext] is p2.Size.SIZE_HUGE and msg[ext.ratio] == 8999999488.0
    msg[ext.nickname] = "nick"
    msg[ext.scores] = [1, -2, 3]
    msg[ext.loose] = [-(2**63), 5]
    msg[ext.holder] = ext.Holder(v=4)
    msg[ext.grp] = ext.Grp(g=9)
    msg[ext.Holder.nested_holder] = ext.Holder(v=-1)
    theirs = peer_p2.Legacy.FromString(msg.to_binary())
    assert theirs.Extensions[peer_ext.nickname] == "nick"
    assert list(theirs.Extensions[peer_ext.scores]) == [1, -2, 3]
    assert list(theirs.Extensions[peer_ext.loose]) == [-(2**63), 5]
    assert theirs.Extensions[peer_ext.holder].v == 4 and theirs.Extensions[peer_ext.grp].g == 9
    assert theirs.Extensions[peer_ext.Holder.nested_holder].v == -1
    assert not theirs.HasExtension(peer_ext.size_ext)
    theirs.Extensions[peer_ext.size_ext] = peer_p2.SIZE_SMALL
    back = p2.Legacy.from_binary(theirs.SerializeToString())
    assert back[ext.size_ext] is p2.Size.SIZE_SMALL and back[ext.nickname] == "nick"
    assert back[ext.scores] == [1, -2, 3] and back[ext.grp] == ext.Grp(g=9)
    assert back[ext.Holder.nested_holder] == ext.Holder(v=-1)


def test_loaded_extensions_match_generated(compiled):
    ext, _ = compiled["corpus/extensions.proto"]
    p2, _ = compiled["corpus/proto2_all.proto"]
    loaded = torvex.load_descriptor_set(_descriptor_set())
    legacy = loaded["corpus.p2.Legacy"](id=1)
    legacy[loaded["corpus.ext.scores"]] = [3, 4]
    legacy[loaded["corpus.ext.Holder.nested_holder"]] = loaded["corpus.ext.Holder"](v=5)
    assert legacy[loaded["corpus.ext.size_ext"]] == p2.Size.SIZE_HUGE
    ours = p2.Legacy.from_binary(legacy.to_binary())
    assert ours[ext.scores] == [3, 4] and ours[ext.Holder.nested_holder] == ext.Holder(v=5)
    assert ours.to_binary() == legacy.to_binary()


def test_plugin_reports_unreadable_requests_without_traceback():
    import subprocess

    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    done = subprocess.run([sys.executable, "-m", "torvex.protoc_gen"], input=b"\xff\xff\xff",
                          capture_output=True, env=env)  # fmt: skip
    assert done.returncode == 1 and done.stdout == b""
    assert b"cannot read the request" in done.stderr and b"Traceback" not in done.stderr
    # An empty request is valid and answers with the supported features and editions.
    from torvex.wkt.compiler.plugin import CodeGeneratorResponse

    done = subprocess.run([sys.executable, "-m", "torvex.protoc_gen"], input=b"",
                          capture_output=True, env=env)  # fmt: skip
    response = CodeGeneratorResponse.from_binary(done.stdout)
    assert response.supported_features == 3 and not response.file
    assert (response.minimum_edition, response.maximum_edition) == (998, 1000)


# ---- malformed descriptor sets -------------------------------------------------------------


def _base_file():
    from google.protobuf import descriptor_pb2 as pb

    F = pb.FieldDescriptorProto
    fdp = pb.FileDescriptorProto(name="t.proto", package="p", syntax="proto2")
    m = fdp.message_type.add(name="M")
    m.field.add(name="a", number=1, label=F.LABEL_OPTIONAL, type=F.TYPE_INT32)
    m.field.add(name="m", number=2, label=F.LABEL_REPEATED, type=F.TYPE_MESSAGE, type_name=".p.M.MEntry")
    m.field.add(name="c", number=3, label=F.LABEL_OPTIONAL, type=F.TYPE_INT32, oneof_index=0)
    m.oneof_decl.add(name="o")
    m.extension_range.add(start=100, end=200)
    entry = m.nested_type.add(name="MEntry")
    entry.options.map_entry = True
    entry.field.add(name="key", number=1, label=F.LABEL_OPTIONAL, type=F.TYPE_STRING)
    entry.field.add(name="value", number=2, label=F.LABEL_OPTIONAL, type=F.TYPE_INT32)
    e = fdp.enum_type.add(name="E")
    e.value.add(name="E0", number=0)
    fdp.extension.add(name="x", number=100, label=F.LABEL_OPTIONAL, type=F.TYPE_INT32, extendee=".p.M")
    return fdp


def _field(fdp, name):
    return next(f for f in fdp.message_type[0].field if f.name == name)


# (how the file is broken, what the error names)
BROKEN = [
    (lambda f: setattr(_field(f, "a"), "name", "a b"), "p.M: invalid name 'a b'"),
    (lambda f: setattr(f.message_type[0], "name", "1M"), "t.proto: p.1M: invalid name '1M'"),
    (lambda f: setattr(f.enum_type[0].value[0], "name", "é"), "p.E: invalid name 'é'"),
    (lambda f: f.message_type[0].nested_type[0].field.pop(), "p.M.MEntry: a map entry needs"),
    (lambda f: setattr(f.message_type[0].nested_type[0].field[0], "type", 1),
     "p.M.MEntry: type 1 cannot be a map key"),
    (lambda f: setattr(_field(f, "c"), "oneof_index", 4), "p.M.c: no oneof 4"),
    (lambda f: setattr(f.extension[0], "extendee", ".p.E"), "p.x: extendee 'p.E' is not a message"),
    (lambda f: setattr(_field(f, "c"), "number", 1),
     "p.M: fields 'a' and 'c' have the same number 1"),
    (lambda f: f.message_type[0].field.add(name="a_", number=4, label=1, type=5),
     "p.M: fields 'a' and 'a_' have the same JSON name 'a'"),
    (lambda f: f.message_type[0].field.add(name="d", number=5, label=1, type=5, json_name="a"),
     "p.M: fields 'a' and 'd' have the same JSON name 'a'"),
    (lambda f: setattr(_field(f, "a"), "type_name", ".p.Nope") or setattr(_field(f, "a"), "type", 11),
     "p.M.a: type p.Nope is not defined"),
]


@pytest.mark.parametrize("breaks, names", BROKEN)
def test_broken_descriptor_sets_name_file_and_element(breaks, names):
    from google.protobuf import descriptor_pb2 as pb

    from torvex.protoc_gen import GenerateError

    fdp = _base_file()
    loaded = torvex.load_descriptor_set(pb.FileDescriptorSet(file=[fdp]).SerializeToString())
    assert loaded["p.M"](a=1, m={"k": 2}).to_binary()  # the unbroken file loads
    breaks(fdp)
    data = pb.FileDescriptorSet(file=[fdp]).SerializeToString()
    with pytest.raises(GenerateError) as caught:
        torvex.load_descriptor_set(data)
    assert isinstance(caught.value, ValueError)
    assert str(caught.value).startswith("t.proto: ") and names in str(caught.value)
    # The plugin refuses the same file with the same text, which protoc prints.
    with pytest.raises(GenerateError, match=re.escape(names)):
        generate_files([fdp], ["t.proto"])


def test_a_nameless_file_is_refused():
    """Found by the descriptor-set fuzzer: the declarative API's TypeError escaped."""
    from google.protobuf import descriptor_pb2 as pb

    from torvex.protoc_gen import GenerateError

    fdp = _base_file()
    fdp.name = ""
    with pytest.raises(GenerateError, match="^a file in the set has no name$"):
        torvex.load_descriptor_set(pb.FileDescriptorSet(file=[fdp]).SerializeToString())


def test_json_name_clash_is_a_protoc_error(tmp_path):
    (tmp_path / "clash.proto").write_text(
        'syntax = "proto2";\npackage cl;\n'
        "message B { optional string to_binary = 1; optional string to_binary_ = 2; }\n"
    )
    done = torvex_protoc(tmp_path, ["clash.proto"], f"-I{tmp_path}")
    assert done.returncode != 0 and "Traceback" not in done.stderr
    assert ("clash.proto: cl.B: fields 'to_binary' and 'to_binary_' have the same JSON name "
            "'toBinary'") in done.stderr  # fmt: skip
    assert not (tmp_path / "clash.py").exists()


# A file of the standard's directory that torvex does not bundle (a conformance or test schema)
# is an ordinary file; its imports of bundled files still map to torvex.wkt.
UNBUNDLED = """syntax = "proto3";
package google.protobuf.extra;
import "google/protobuf/source_context.proto";
import "google/protobuf/api.proto";
message Holder { SourceContext where = 1; Api api = 2; }
"""


def test_unbundled_standard_file_is_ordinary(tmp_path):
    src = tmp_path / "src" / "google" / "protobuf"
    src.mkdir(parents=True)
    (src / "extra_test.proto").write_text(UNBUNDLED)
    out = tmp_path / "out"
    out.mkdir()
    include = [f"-I{tmp_path / 'src'}", f"-I{grpc_include()}"]
    done = torvex_protoc(out, ["google/protobuf/extra_test.proto"], *include)
    assert done.returncode == 0, done.stderr
    text = (out / "google/protobuf/extra_test.py").read_text()
    assert "from torvex.wkt import source_context as _source_context" in text
    assert "ScalarType" not in text  # no scalar field: no unused import
    set_path = tmp_path / "set.pb"
    protoc(*include, "--include_imports", f"--descriptor_set_out={set_path}", "google/protobuf/extra_test.proto")
    loaded = torvex.load_descriptor_set(set_path.read_bytes())
    holder = loaded["google.protobuf.extra.Holder"]
    assert holder.__module__ == "torvex._loaded.google.protobuf.extra_test"
    assert loaded["google.protobuf.Api"] is torvex.wkt.Api
    msg = holder(where=torvex.wkt.SourceContext(file_name="a.proto"), api=torvex.wkt.Api(name="x"))
    assert holder.from_binary(msg.to_binary()) == msg
