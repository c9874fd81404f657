"""The text grammar's edge cases, each decided the way the reference's ``text_format.Merge``
decides it (accepted to the same message, or rejected), plus what only torvex defines: error
positions, the nesting limit, input types and merging."""

from __future__ import annotations

import pytest
from google.protobuf import text_format
from google.protobuf import descriptor_pb2 as pb

import torvex
from text_support import load, peer_text

F = pb.FieldDescriptorProto
# The reference reads unknown escapes through Python's own, which warns about them.
pytestmark = pytest.mark.filterwarnings("ignore::DeprecationWarning")


def schema(syntax: str):
    fdp = pb.FileDescriptorProto(name=f"grammar_{syntax}.proto", package=f"g{syntax}", syntax=syntax)
    m = fdp.message_type.add(name="M")
    p = f".g{syntax}"

    def add(name, number, kind, label=F.LABEL_OPTIONAL, type_name=None):
        m.field.add(name=name, number=number, type=kind, label=label, type_name=type_name)

    for number, kind in enumerate(
        [F.TYPE_DOUBLE, F.TYPE_FLOAT, F.TYPE_INT32, F.TYPE_UINT32, F.TYPE_INT64, F.TYPE_UINT64,
         F.TYPE_SINT32, F.TYPE_FIXED64, F.TYPE_BOOL, F.TYPE_STRING, F.TYPE_BYTES], 1
    ):  # fmt: skip
        add(F.Type.Name(kind)[5:].lower(), number, kind)
    add("ri", 20, F.TYPE_INT32, F.LABEL_REPEATED)
    add("rs", 21, F.TYPE_STRING, F.LABEL_REPEATED)
    add("e", 22, F.TYPE_ENUM, type_name=f"{p}.E")
    add("sub", 23, F.TYPE_MESSAGE, type_name=f"{p}.M")
    add("subs", 24, F.TYPE_MESSAGE, F.LABEL_REPEATED, f"{p}.M")
    entry = m.nested_type.add(name="MpEntry", options=pb.MessageOptions(map_entry=True))
    entry.field.add(name="key", number=1, type=F.TYPE_STRING, label=F.LABEL_OPTIONAL)
    entry.field.add(name="value", number=2, type=F.TYPE_INT32, label=F.LABEL_OPTIONAL)
    add("mp", 25, F.TYPE_MESSAGE, F.LABEL_REPEATED, f"{p}.M.MpEntry")
    add("re", 26, F.TYPE_ENUM, F.LABEL_REPEATED, f"{p}.E")
    e = fdp.enum_type.add(name="E")
    for name, n in (("ZERO", 0), ("ONE", 1), ("NEG", -2)):
        e.value.add(name=name, number=n)
    if syntax == "proto2":
        group = m.nested_type.add(name="Grp")
        group.field.add(name="x", number=1, type=F.TYPE_INT32, label=F.LABEL_OPTIONAL)
        add("grp", 30, F.TYPE_GROUP, type_name=f"{p}.M.Grp")
        add("other", 31, F.TYPE_GROUP, type_name=f"{p}.M.Grp")
        m.extension_range.add(start=100, end=200)
        fdp.extension.add(name="ext", number=100, type=F.TYPE_INT32, label=F.LABEL_OPTIONAL,
                          extendee=f"{p}.M")  # fmt: skip
        fdp.extension.add(name="rext", number=101, type=F.TYPE_STRING, label=F.LABEL_REPEATED,
                          extendee=f"{p}.M")  # fmt: skip
        fdp.extension.add(name="mext", number=102, type=F.TYPE_MESSAGE, label=F.LABEL_OPTIONAL,
                          extendee=f"{p}.M", type_name=f"{p}.M")  # fmt: skip
    return load(fdp)


P2, P3 = schema("proto2"), schema("proto3")

# Snippets for both syntaxes; the proto2-only ones follow.
COMMON = [
    # separators, comments, delimiters, colons
    "", "  \n\t ", "# only a comment", "double: 1 # trailing\n, float: 2;", "int32: 1,",
    "int32: 1;;", "int32: 1 ,, int32: 2", "sub {}", "sub <>", "sub: {}", "sub: < int32: 1 >",
    "sub { int32: 1 ", "sub { int32: 1 >", "int32 1", "sub { sub { sub { string: 'x' } } }",
    "int32: 1 int32: 2", "sub { int32: 1 } sub { uint32: 2 }", "string: 'a' string: 'b'",
    # integers
    "int32: 0x7fffffff", "int32: 0x80000000", "int32: -0x80000000", "int32: -2147483649",
    "int32: 010", "int32: 08", "int32: -0", "int32: - 5", "int32: 1.0", "int32: 1e3",
    "int32: 1f", "int32: 0X1F", "int32: 0x", "uint32: -1", "uint32: 4294967295",
    "uint32: 4294967296", "int64: -9223372036854775808", "int64: 9223372036854775808",
    "uint64: 18446744073709551615", "uint64: 18446744073709551616", "uint64: 0xffffffffffffffff",
    "sint32: -7", "fixed64: 077777", "int32: abc", "int32: 'x'", "int32:", "int32: true",
    # floats
    "double: 1e5", "double: .5", "double: 5.", "double: 1.e2", "double: -0", "double: 0x10",
    "double: 1e", "double: 1e400", "double: -1e400", "double: 1e-400", "double: inf",
    "double: -inf", "double: Infinity", "double: -INFINITY", "double: nan", "double: NaN",
    "double: -nan", "double: 1f", "double: 1.5F", "double: 10", "double: --1", "double: +1",
    "double: + 1", "double: -+1", "double: +inf", "int32: +7", "e: +1", "double: -\n1",
    "float: 1e39", "float: 3.4028235e38", "float: 3.4028236e38", "float: 0.1", "float: 1e-46",
    "float: 1.0e+3f", "double: infx", "double: 1.2.3",
    # bools
    "bool: true", "bool: True", "bool: t", "bool: false", "bool: False", "bool: f", "bool: 1",
    "bool: 0", "bool: 2", "bool: TRUE", "bool: yes", "bool: 0x1",
    # strings and bytes
    "string: 'a' \"b\" 'c'", "string: \"\\x41\\101\\u00e9\\U0001F600\"", "string: '\\xff'",
    "bytes: '\\xff\\377\\0'", "bytes: '\\u00e9'", "string: 'a\nb'", "string: '\\z'",
    "string: \"\\'\"", "string: '\\a\\b\\f\\n\\r\\t\\v\\\\\\?'", "string: '\\x'", "string: 'x",
    "string: '\\ud800'", "string: '\\U00110000'", "string: '\\u12'", "bytes: '\\x4'",
    "string: 'héllo'", "string: x", "bytes: 1", "string: '\\0101'", "string: '\\1234'",
    # enums
    "e: ONE", "e: 1", "e: NEG", "e: -2", "e: 7", "e: -1", "e: one", "e: TWO", "e: 'ONE'",
    "e: 0x1", "e: 1.5",
    # repeated and lists
    "ri: [1, 2, 3]", "ri: []", "ri [1]", "ri: [1;2]", "ri: [1, ]", "ri: [1", "ri: 1 ri: [2]",
    "rs: ['a', 'b' 'c']", "re: [ONE, 0, NEG]", "subs [{ int32: 1 }, < int32: 2 >]",
    "subs: [{}, {}]", "subs { } subs { int32: 3 }", "int32: [1]", "sub: [{}]",
    # maps
    "mp { key: 'a' value: 1 }", "mp { key: 'a' value: 1 } mp { key: 'a' value: 2 }",
    "mp [{ key: 'a' value: 1 }, { key: 'b' }]", "mp: { value: 3 }", "mp {}",
    "mp { key: 'a', value: 1; }", "mp { nope: 1 }", "mp { key: 1 }", "mp: < key: 'x' >",
    # names
    "nope: 1", "Int32: 1", "1: 2", "[ext]: 1", "[]: 1", "int32: 1 }", "{", "}", ":",
]  # fmt: skip
PROTO2 = [
    "grp { x: 1 }", "Grp { x: 1 }", "Grp: { x: 1 }", "Grp < x: 1 >", "GRP { x: 1 }",
    "other { x: 1 }", "Other { x: 1 }", "grp { x: 1 } Grp { x: 2 }",
    "[gproto2.ext]: 5", "[gproto2.ext]: 5 [gproto2.ext]: 6", "[gproto2.ext] 5",
    "[gproto2.rext]: ['a', 'b'] [gproto2.rext]: 'c'", "[gproto2.mext] { int32: 1 }",
    "[gproto2.mext] { int32: 1 } [gproto2.mext] { uint32: 2 }", "[gproto2.nope]: 1",
    "[gproto2 . ext]: 5", "sub { [gproto2.ext]: 3 }", "[gproto2.ext]: 'x'",
]  # fmt: skip


def outcome(schema, text: str):
    """The reference's result (its text of the message) or None when it rejects ``text``."""
    _, peer = schema.pair("M")
    try:
        msg = text_format.Merge(text, peer(), descriptor_pool=schema.pool)
    except text_format.ParseError:
        return None
    return peer_text(msg)


def ours(schema, text: str):
    cls, peer = schema.pair("M")
    try:
        msg = cls.from_text(text, registry=schema.registry)
    except ValueError:
        return None
    return peer_text(peer.FromString(msg.to_binary()))


@pytest.mark.parametrize(
    ("schema", "text"),
    [(P3, t) for t in COMMON] + [(P2, t) for t in COMMON + PROTO2],
    ids=lambda v: v if isinstance(v, str) else "",
)
def test_decided_as_the_reference_decides(schema, text):
    assert ours(schema, text) == outcome(schema, text)


@pytest.mark.parametrize("text", ["double: 1_0", "int32: 1_000", "uint64: 0x_1"])
def test_underscores_in_numbers_are_refused(text):
    # The reference reads numbers with Python's own int() and float(), which allow digit
    # separators; the text format's grammar has none, and neither does torvex.
    assert outcome(P3, text) is not None
    assert ours(P3, text) is None


@pytest.mark.parametrize(
    ("text", "position", "fragment"),
    [
        ("int32: x", "1:8", 'expected int32, got "x"'),
        ("sub {\n  int32: 1\n  nope: 2\n}", "3:3", 'has no field named "nope"'),
        ("\n\n   e: SEVEN", "3:7", 'has no value named "SEVEN"'),
        ("sub {", "1:6", 'expected "}", got end of input'),
        ("string: 'abc\n'", "1:9", "unterminated string"),
        ("uint32: -1", "1:9", "value -1 out of range for uint32"),
        ("string: '\\xff'", "1:9", "invalid UTF-8"),
        ("[pkg.ext]: 1", "1:1", 'extension "pkg.ext" is not in the registry'),
        ("[a.com/pkg.T] {}", "1:1", "only valid in an Any"),
    ],
)
def test_errors_name_line_and_column(text, position, fragment):
    cls, _ = P3.pair("M")
    with pytest.raises(ValueError) as info:
        cls.from_text(text)
    message = str(info.value)
    assert message.startswith(position + ": ") and fragment in message


@pytest.mark.parametrize("opener", ["sub {", "sub <", "subs [{", "mp { value: 1 } sub {"])
def test_nesting_limit(opener):
    cls, _ = P3.pair("M")
    closer = {"sub {": "}", "sub <": ">", "subs [{": "}]", "mp { value: 1 } sub {": "}"}[opener]
    ok = opener * 100 + closer * 100
    assert cls.from_text(ok).to_text().count("sub") == 100
    with pytest.raises(RecursionError, match="exceeded maximum recursion depth 100"):
        cls.from_text(opener * 101 + closer * 101)
    # Far deeper input is refused the same way, without exhausting the native stack.
    with pytest.raises(RecursionError):
        cls.from_text(opener * 100_000)


def test_unknown_fields_skipped_on_request():
    cls, peer = P2.pair("M")
    text = "nope: 1 int32: 5 deep { a: [1, {b: 2}] c < d: 'x' > [x.y]: 3 } [x.z] { q: 1 } bool: t"
    with pytest.raises(ValueError):
        cls.from_text(text)
    msg = cls.from_text(text, allow_unknown_fields=True)
    assert msg.to_text(as_one_line=True) == "int32: 5 bool: true"
    with pytest.raises(RecursionError):
        cls.from_text("nope " + "{ a " * 200 + "}" * 200, allow_unknown_fields=True)


def test_input_types_and_merging():
    cls, _ = P3.pair("M")
    for text in ("int32: 7 rs: 'é'", b"int32: 7 rs: '\xc3\xa9'", bytearray(b"int32: 7 rs: '\xc3\xa9'")):
        assert cls.from_text(text) == cls(int32=7, rs=["é"])
    with pytest.raises(TypeError, match="text must be str, bytes, or bytearray, got <class 'int'>"):
        cls.from_text(7)
    with pytest.raises(UnicodeEncodeError):
        cls.from_text("string: '\ud800'")
    msg = cls.from_text("int32: 1 ri: 1 sub { int32: 1 } mp { key: 'a' value: 1 }")
    msg.merge_from_text("uint32: 2 ri: 2 sub { uint32: 2 } mp { key: 'a' value: 3 }")
    assert msg == cls.from_text(
        "int32: 1 uint32: 2 ri: [1, 2] sub { int32: 1 uint32: 2 } mp { key: 'a' value: 3 }"
    )


def test_any_and_extensions_need_the_registry():
    from torvex import wkt

    cls, _ = P2.pair("M")
    inner = cls(int32=3)
    any_cls = P2.torvex["google.protobuf.Any"]
    packed = any_cls.pack(inner)
    text = packed.to_text(registry=P2.registry)
    assert text == "[type.googleapis.com/gproto2.M] {\n  int32: 3\n}\n"
    bare = torvex.Registry(wkt)  # knows neither the payload type nor the extension
    assert "type_url:" in packed.to_text(registry=bare)
    assert any_cls.from_text(text, registry=P2.registry) == packed
    with pytest.raises(ValueError, match="not in the registry"):
        any_cls.from_text(text, registry=bare)
    # registry=None is the default registry, where every loaded class and extension is.
    assert packed.to_text() == text and any_cls.from_text(text) == packed
    ext = cls.from_text("[gproto2.ext]: 4", registry=P2.registry)
    assert ext.to_text(registry=P2.registry) == ext.to_text() == "[gproto2.ext]: 4\n"
    # A registry without the extension leaves it an unknown field.
    assert ext.to_text(registry=bare) == ""
    assert ext.to_text(registry=bare, print_unknown_fields=True) == "100: 4\n"
