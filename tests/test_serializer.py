"""to_binary: field order, emission rules, value conversions and their errors, nesting, unknown
fields, and Python code that changes containers while they are written."""

import math
import struct

import pytest

import _torvex_ext as ext
from schema_helpers import (
    EXPLICIT,
    IMPLICIT,
    REQUIRED,
    DescOneof,
    ScalarType,
    desc,
    enum_type,
    enum_value,
    field,
    finish,
    list_value,
    map_value,
    message_class,
    message_value,
    scalar,
    simple,
)

T = ScalarType
Color = enum_type("Color", {"RED": 0, "GREEN": 1, "BLUE": 2}, open=True)
Shut = enum_type("Shut", {"ZERO": 0, "ONE": 1}, open=False)
Inner = simple("Inner", [field(1, "v", scalar(T.INT32))])


def one(t, value, presence=EXPLICIT):
    """Encoding of `value` in field 1 of scalar type `t` (explicit presence: always written)."""
    cls = simple(f"One{int(t)}", [field(1, "f", scalar(t), presence)])
    return cls(f=value).to_binary()


def raises(exc, text, fn, *args):
    with pytest.raises(exc) as e:
        fn(*args)
    assert str(e.value) == text


# ---- layout of the output -----------------------------------------------------------------


def test_declaration_order_not_number_order():
    cls = simple("Order", [field(3, "c", scalar(T.INT32)), field(1, "a", scalar(T.INT32)),
                           field(2, "b", scalar(T.INT32))])
    assert cls(a=1, b=2, c=3).to_binary() == bytes([0x18, 3, 0x08, 1, 0x10, 2])


def test_map_entries_reverse_dict_order_with_both_records():
    cls = simple("Map", [field(1, "m", map_value(T.STRING, T.INT32))])
    d = {"a": 1}
    d["b"] = 2
    d[""] = 0
    assert cls(m=d).to_binary() == (
        b"\x0a\x04\x0a\x00\x10\x00" b"\x0a\x05\x0a\x01b\x10\x02" b"\x0a\x05\x0a\x01a\x10\x01"
    )
    msgs = simple("MsgMap", [field(1, "m", map_value(T.INT32, Inner))])
    assert msgs(m={0: None}).to_binary() == b"\x0a\x04\x08\x00\x12\x00"
    enums = simple("EnumMap", [field(1, "m", map_value(T.BOOL, Shut))])
    assert enums(m={False: Shut.ZERO}).to_binary() == b"\x0a\x04\x08\x00\x10\x00"


@pytest.mark.parametrize("packed", [True, False])
def test_lists(packed):
    cls = simple(f"List{packed}", [field(1, "xs", list_value(T.INT32, packed=packed))])
    assert cls(xs=[]).to_binary() == b""
    expected = b"\x0a\x03\x01\x02\x03" if packed else b"\x08\x01\x08\x02\x08\x03"
    assert cls(xs=[1, 2, 3]).to_binary() == expected


@pytest.mark.parametrize("slots", [True, False])
def test_slot_and_attribute_access_agree(slots):
    pick = DescOneof("pick", "pick")
    cls = simple(f"Access{slots}", [
        field(1, "n", scalar(T.INT64), EXPLICIT), field(2, "s", scalar(T.STRING)),
        field(3, "xs", list_value(T.SINT32)), field(4, "c", enum_value(Color)),
        field(5, "i", message_value(Inner)), field(6, "o", scalar(T.BOOL, pick)),
    ], oneofs=[pick], slots=slots)
    m = cls(n=0, s="é", xs=[-1, 2**31 - 1], c=Color.BLUE, i=Inner(v=-2),
            pick=ext.Oneof("o", False))
    assert m.to_binary() == (b"\x08\x00\x12\x02\xc3\xa9\x1a\x06\x01\xfe\xff\xff\xff\x0f\x20\x02"
                             b"\x2a\x0b\x08" + b"\xfe" + b"\xff" * 8 + b"\x01\x30\x00")


def test_message_lists_and_groups():
    cls = simple("Msgs", [field(1, "xs", list_value(Inner, packed=False)),
                          field(2, "gs", list_value(Inner, packed=False, delimited=True))])
    assert cls(xs=[None, Inner(v=1)]).to_binary() == b"\x0a\x00\x0a\x02\x08\x01"
    assert cls(gs=[None, Inner(v=1)]).to_binary() == b"\x13\x14\x13\x08\x01\x14"
    pick = DescOneof("pick", "pick")
    grp = simple("Grp", [field(3, "g", message_value(Inner, delimited=True, oneof=pick))],
                 oneofs=[pick])
    assert grp(pick=ext.Oneof("g", None)).to_binary() == b"\x1b\x1c"


# ---- which fields are written ---------------------------------------------------------------


@pytest.mark.parametrize("t, value, expected", [
    (T.DOUBLE, 0.0, b""),
    (T.DOUBLE, -0.0, b"\x09" + struct.pack("<d", -0.0)),
    (T.FLOAT, -0.0, b"\x0d" + struct.pack("<f", -0.0)),
    (T.DOUBLE, math.nan, b"\x09" + struct.pack("<d", math.nan)),
    (T.INT32, 0, b""),
    (T.BOOL, False, b""),
    (T.STRING, "", b""),
    (T.BYTES, b"", b""),
    (T.INT32, "", b""),  # falsy: skipped before any type check
])
def test_implicit_scalar_emission(t, value, expected):
    assert one(t, value, IMPLICIT) == expected


def test_emission_test_runs_before_type_checks():
    raises(TypeError, "expected int, got <class 'str'>", one, T.INT32, "x", IMPLICIT)
    with pytest.raises(TypeError) as e:
        one(T.DOUBLE, "x", IMPLICIT)
    assert "expected float" not in str(e.value)  # the platform's conversion error
    raises(TypeError, "expected float, got <class 'str'>", one, T.DOUBLE, "x", EXPLICIT)


def test_explicit_presence_bit_decides():
    cls = simple("Pres", [field(1, "a", scalar(T.INT32), EXPLICIT)])
    m = cls()
    ext.generic_setattr(m, "a", 5)  # value without the bit
    assert m.to_binary() == b""
    assert cls(a=0).to_binary() == b"\x08\x00"
    m = cls()
    m._set_field_number_present(1)
    ext.generic_setattr(m, "a", "not checked while absent")
    with pytest.raises(TypeError):
        m.to_binary()


def test_enum_and_message_emission():
    cls = simple("Emit", [field(1, "c", enum_value(Color)), field(2, "i", message_value(Inner))])
    assert cls(c=Color.RED).to_binary() == b""
    assert cls(c=0).to_binary() == b""  # equal to the default member
    assert cls(c=Color.BLUE, i=Inner()).to_binary() == b"\x08\x02\x12\x00"


def test_required_fields():
    cls = simple("Req", [field(1, "a", scalar(T.INT32), REQUIRED),
                         field(2, "i", message_value(Inner), REQUIRED)])
    raises(ValueError, "cannot encode i to binary: required field not set", cls(a=1).to_binary)
    raises(ValueError, "cannot encode a to binary: required field not set",
           cls(i=Inner()).to_binary)
    assert cls(a=0, i=Inner()).to_binary() == b"\x08\x00\x12\x00"


def test_oneofs():
    pick = DescOneof("pick", "pick")
    cls = simple("Pick", [field(1, "n", scalar(T.INT32, pick)),
                          field(2, "text", scalar(T.STRING, pick))], oneofs=[pick])
    assert cls(pick=ext.Oneof("n", 0)).to_binary() == b"\x08\x00"  # no default test for members
    name = "".join(["te", "xt"])  # equal to the field's name, but another object
    assert cls(pick=ext.Oneof(name, "")).to_binary() == b"\x12\x00"
    assert cls().to_binary() == b""
    raises(TypeError, "expected Oneof, got '<class 'tuple'>'", cls(pick=("n", 1)).to_binary)
    raises(ValueError, "unknown oneof field 'zz'", cls(pick=ext.Oneof("zz", 1)).to_binary)


# ---- value conversions ------------------------------------------------------------------------


@pytest.mark.parametrize("t, value, expected", [
    (T.INT32, -1, b"\x08" + b"\xff" * 9 + b"\x01"),
    (T.INT64, 2**63 - 1, b"\x08" + b"\xff" * 8 + b"\x7f"),
    (T.UINT64, 2**64 - 1, b"\x08" + b"\xff" * 9 + b"\x01"),
    (T.UINT32, 2**32 - 1, b"\x08\xff\xff\xff\xff\x0f"),
    (T.SINT32, -1, b"\x08\x01"),
    (T.SINT32, 2**31 - 1, b"\x08\xfe\xff\xff\xff\x0f"),
    (T.SINT64, -(2**63), b"\x08" + b"\xff" * 9 + b"\x01"),
    (T.FIXED32, 2**32 - 1, b"\x0d\xff\xff\xff\xff"),
    (T.SFIXED32, -2, b"\x0d\xfe\xff\xff\xff"),
    (T.FIXED64, 2**40, b"\x09" + struct.pack("<Q", 2**40)),
    (T.SFIXED64, -(2**40), b"\x09" + struct.pack("<q", -(2**40))),
    (T.DOUBLE, True, b"\x09" + struct.pack("<d", 1.0)),
    (T.DOUBLE, 7, b"\x09" + struct.pack("<d", 7.0)),
    (T.FLOAT, math.inf, b"\x0d" + struct.pack("<f", math.inf)),
    (T.FLOAT, 3.4028235e38, b"\x0d" + struct.pack("<f", 3.4028235e38)),  # rounds to the max
    (T.BOOL, True, b"\x08\x01"),
    (T.STRING, "h\u00e9", b"\x0a\x03h\xc3\xa9"),
    (T.BYTES, type("B", (bytes,), {})(b"ab"), b"\x0a\x02ab"),
    (T.INT32, type("I", (int,), {})(3), b"\x08\x03"),
])
def test_scalar_encodings(t, value, expected):
    assert one(t, value) == expected


@pytest.mark.parametrize("t, value, exc, text", [
    (T.INT32, True, TypeError, "expected int, got <class 'bool'>"),
    (T.INT32, 1.0, TypeError, "expected int, got <class 'float'>"),
    (T.BOOL, 1, TypeError, "expected bool, got <class 'int'>"),
    (T.STRING, b"x", TypeError, "expected string, got <class 'bytes'>"),
    (T.BYTES, bytearray(b"x"), TypeError, "expected bytes, got <class 'bytearray'>"),
    (T.DOUBLE, [], TypeError, "expected float, got <class 'list'>"),
    (T.INT32, 2**31, OverflowError, "value 2147483648 out of range for int32"),
    (T.INT32, -(2**70), OverflowError, f"value {-(2**70)} out of range for int32"),
    (T.UINT32, -1, OverflowError, "value -1 out of range for uint32"),
    (T.INT64, 2**63, OverflowError, "value 9223372036854775808 out of range for int64"),
    (T.UINT64, -1, OverflowError, "value -1 out of range for uint64"),
    (T.SFIXED32, 2**31, OverflowError, "out of range integral type conversion attempted"),
    (T.FIXED32, -1, OverflowError, "out of range integral type conversion attempted"),
    (T.SINT32, -(2**31) - 1, OverflowError, "out of range integral type conversion attempted"),
    (T.FLOAT, 1e39, OverflowError, "value 1" + "0" * 39 + " out of range for float32"),
    (T.FLOAT, -3.5e38, OverflowError, "value -35" + "0" * 37 + " out of range for float32"),
])
def test_scalar_errors(t, value, exc, text):
    raises(exc, text, one, t, value)


@pytest.mark.parametrize("packed", [True, False])
@pytest.mark.parametrize("t, values, exc, text", [
    (T.INT32, [1, True], TypeError, "expected int, got <class 'bool'>"),
    (T.UINT32, [5, -1], OverflowError, "value -1 out of range for uint32"),
    (T.INT64, [2**40, 2**63], OverflowError, "value 9223372036854775808 out of range for int64"),
    (T.FIXED32, [1, 2**32], OverflowError, "out of range integral type conversion attempted"),
    (T.FLOAT, [1.0, 1e39], OverflowError, "value 1" + "0" * 39 + " out of range for float32"),
    (T.DOUBLE, [1.0, "2"], TypeError, "expected float, got <class 'str'>"),
    (T.BOOL, [True, 0], TypeError, "expected bool, got <class 'int'>"),
    (T.BYTES, [b"", "x"], TypeError, "expected bytes, got <class 'str'>"),
])
def test_list_element_errors(packed, t, values, exc, text):
    cls = simple("ListErr", [field(1, "xs", list_value(t, packed=packed))])
    raises(exc, text, cls(xs=values).to_binary)


def test_lists_of_non_plain_numbers():
    Big = type("Big", (int,), {})
    cls = simple("Wide", [field(1, "a", list_value(T.INT64)), field(2, "b", list_value(T.DOUBLE)),
                          field(3, "c", list_value(Shut, packed=False))])
    assert cls(a=[2**62, Big(-1)], b=[True, 2]).to_binary() == (
        b"\x0a\x13\x80\x80\x80\x80\x80\x80\x80\x80\x40" + b"\xff" * 9 + b"\x01"
        b"\x12\x10" + struct.pack("<2d", 1.0, 2.0))
    raises(ValueError, "invalid enum value 5 for enum 'test.Shut'", cls(c=[Shut.ONE, 5]).to_binary)


def test_platform_conversion_errors_propagate():
    with pytest.raises(OverflowError) as e:
        one(T.FIXED64, -1)
    assert "out of range for" not in str(e.value)
    with pytest.raises(OverflowError):
        one(T.SFIXED64, 2**64)
    with pytest.raises(UnicodeEncodeError):
        one(T.STRING, "\ud800")

    class Flt:
        def __float__(self):
            raise KeyError("mine")

    with pytest.raises(KeyError):
        one(T.DOUBLE, Flt())


def test_enum_values():
    cls = simple("Enums", [field(1, "o", enum_value(Color), EXPLICIT),
                           field(2, "c", enum_value(Shut), EXPLICIT)])
    assert cls(o=True).to_binary() == b"\x08\x01"
    assert cls(o=-1).to_binary() == b"\x08" + b"\xff" * 9 + b"\x01"
    assert cls(o=99).to_binary() == b"\x08\x63"  # open: any 32-bit number
    assert cls(c=Shut.ONE).to_binary() == b"\x10\x01"
    raises(ValueError, "invalid enum value 7 for enum 'test.Shut'", cls(c=7).to_binary)
    raises(OverflowError, "out of range integral type conversion attempted", cls(o=2**31).to_binary)
    with pytest.raises(TypeError):
        cls(o=1.0).to_binary()


# ---- messages, depth, unknown fields -------------------------------------------------------


def test_sub_message_type_checks():
    cls = simple("Holder", [field(1, "i", message_value(Inner))])
    other = simple("NotInner", [])
    raises(TypeError, f"expected {Inner}, got '{other}'", cls(i=other()).to_binary)
    raises(TypeError, "'int' object is not an instance of 'NativeMessage'", cls(i=5).to_binary)
    raises(TypeError, "'tuple' object is not an instance of 'list'",
           simple("L", [field(1, "xs", list_value(T.INT32))])(xs=(1,)).to_binary)
    raises(TypeError, "'list' object is not an instance of 'dict'",
           simple("D", [field(1, "m", map_value(T.INT32, T.INT32))])(m=[(1, 2)]).to_binary)


class Impostor:
    __class__ = Inner  # isinstance() believes this


def test_impostor_passing_isinstance_is_refused():
    cls = simple("Host", [field(1, "i", message_value(Inner))])
    raises(TypeError, "'Impostor' object is not an instance of 'NativeMessage'",
           cls(i=Impostor()).to_binary)


@pytest.fixture(scope="module")
def Node():
    cls = message_class("Node", ["child", "n"])
    desc(cls)
    return finish(cls, [field(1, "child", message_value(cls)), field(2, "n", scalar(T.INT32))])


def chain(Node, levels):
    node = Node()
    for _ in range(levels):
        node = Node(child=node)
    return node


def test_depth_limit(Node):
    assert len(chain(Node, 100).to_binary()) > 0  # innermost message at depth 100
    raises(RecursionError, "exceeded maximum recursion depth 100 while serializing message",
           chain(Node, 101).to_binary)


def test_unknown_fields_follow_known_ones(Node):
    inner, outer = Node(n=1), Node(n=2)
    inner._get_or_init_unknown_fields()[9] = [b"\x48\x01"]
    store = outer._get_or_init_unknown_fields()
    store["any key"] = [b"\x38\x05", b"\x38\x06"]
    store[1] = [b"\x40\x07"]
    outer.child = inner
    assert outer.to_binary() == b"\x0a\x04\x10\x01\x48\x01\x10\x02\x38\x05\x38\x06\x40\x07"
    assert outer.to_binary(write_unknown_fields=False) == b"\x0a\x02\x10\x01\x10\x02"
    big = b"\x7a\xb8\x17" + b"u" * 3000  # long records are written unchanged too
    store[15] = [big]
    assert outer.to_binary() == (b"\x0a\x04\x10\x01\x48\x01\x10\x02\x38\x05\x38\x06\x40\x07"
                                 + big)
    del store[15]
    store[2] = [bytearray(b"\x10\x00")]
    raises(TypeError, "'bytearray' object is not an instance of 'bytes'", outer.to_binary)
    store[2] = None
    raises(TypeError, "'None' is not an instance of 'list'", outer.to_binary)


# ---- Python code changing what is being written ----------------------------------------------


class Shrinker:
    """An enum value whose __index__ empties the container it sits in."""

    def __init__(self, container):
        self.container = container

    def __index__(self):
        self.container.clear()
        return 1


@pytest.mark.parametrize("packed", [True, False])
def test_list_mutated_during_encoding(packed):
    cls = simple(f"Mut{packed}", [field(1, "xs", list_value(Color._desc, packed=packed))])
    xs = [Color.RED]
    xs += [Shrinker(xs), Color.BLUE]
    raises(RuntimeError, "list changed size during encoding", cls(xs=xs).to_binary)
    xs = [Shrinker(None)]
    xs[0].container = xs  # emptied by its only element: nothing left to fetch
    raises(RuntimeError, "list changed size during encoding", cls(xs=xs).to_binary)


def test_dict_mutated_during_encoding():
    cls = simple("MutMap", [field(1, "m", map_value(T.INT32, Color._desc))])
    d = {1: Color.RED}
    d[2] = Shrinker(d)
    d[3] = Color.BLUE
    raises(RuntimeError, "dictionary changed size during encoding", cls(m=d).to_binary)


def test_attribute_replaced_while_its_list_is_written():
    cls = simple("Swap", [field(1, "xs", list_value(T.DOUBLE, packed=True))])
    m = cls()

    class Swapper:
        def __float__(self):
            m.xs = None  # drops the message's reference to the list being written
            return 2.0

    m.xs = [1.0, Swapper(), 3.0]
    assert m.to_binary() == b"\x0a\x18" + struct.pack("<3d", 1.0, 2.0, 3.0)


# ---- against the reference implementation ------------------------------------------------------

SCALARS = [T.DOUBLE, T.FLOAT, T.INT64, T.UINT64, T.INT32, T.FIXED64, T.FIXED32, T.BOOL, T.STRING,
           T.BYTES, T.UINT32, T.SFIXED32, T.SFIXED64, T.SINT32, T.SINT64]


@pytest.fixture(scope="module")
def twins():
    """The same recursive schema for us and for the reference encoder (fields in number order,
    which is the reference's output order)."""
    pytest.importorskip("google.protobuf")
    from google.protobuf import descriptor_pb2, descriptor_pool, message_factory

    fdp = descriptor_pb2.FileDescriptorProto(name="ser_diff.proto", package="serdiff",
                                             syntax="proto3")
    proto = fdp.message_type.add(name="All")
    ours = message_class("All", [f"s{i}" for i in range(15)] + [f"r{i}" for i in range(15)]
                         + ["child", "kids"])
    desc(ours)
    fields = []
    for i, t in enumerate(SCALARS):
        proto.field.add(name=f"s{i}", number=i + 1, type=int(t), label=1)
        fields.append(field(i + 1, f"s{i}", scalar(t)))
    for i, t in enumerate(SCALARS):
        proto.field.add(name=f"r{i}", number=i + 101, type=int(t), label=3)
        fields.append(field(i + 101, f"r{i}", list_value(t, packed=t.packable)))
    proto.field.add(name="child", number=200, type=11, label=1, type_name=".serdiff.All")
    proto.field.add(name="kids", number=2047, type=11, label=3, type_name=".serdiff.All")
    fields += [field(200, "child", message_value(ours)),
               field(2047, "kids", list_value(ours, packed=False))]
    finish(ours, fields)
    pool = descriptor_pool.DescriptorPool()
    pool.Add(fdp)
    return ours, message_factory.GetMessageClass(pool.FindMessageTypeByName("serdiff.All"))


def build(cls, values):
    kw = {k: v for k, v in values.items() if k not in ("child", "kids")}
    if values.get("child") is not None:
        kw["child"] = build(cls, values["child"])
    kw["kids"] = [build(cls, k) for k in values.get("kids", [])]
    return cls(**kw)


def value_strategy(st, t):
    ints = {T.INT64: 64, T.SFIXED64: 64, T.SINT64: 64, T.INT32: 32, T.SFIXED32: 32, T.SINT32: 32}
    uints = {T.UINT64: 64, T.FIXED64: 64, T.UINT32: 32, T.FIXED32: 32}
    if t in ints:
        bits = ints[t]
        return st.integers(-(2 ** (bits - 1)), 2 ** (bits - 1) - 1)
    if t in uints:
        return st.integers(0, 2 ** uints[t] - 1)
    if t == T.DOUBLE:
        return st.floats(allow_nan=False)
    if t == T.FLOAT:
        return st.floats(allow_nan=False, width=32)
    if t == T.BOOL:
        return st.booleans()
    if t == T.STRING:
        return st.text(st.characters(blacklist_categories=("Cs",)), max_size=3000)
    return st.binary(max_size=3000)


def test_matches_reference_encoder(twins):
    hypothesis = pytest.importorskip("hypothesis")
    st = hypothesis.strategies
    ours, ref = twins
    scalars = {f"s{i}": value_strategy(st, t) for i, t in enumerate(SCALARS)}
    lists = {f"r{i}": st.lists(value_strategy(st, t), max_size=40) for i, t in enumerate(SCALARS)}
    flat = st.fixed_dictionaries({}, optional={**scalars, **lists})
    tree = st.recursive(flat, lambda sub: st.fixed_dictionaries(
        {}, optional={**scalars, "child": sub, "kids": st.lists(sub, max_size=3)}), max_leaves=6)

    @hypothesis.settings(max_examples=150, deadline=None, database=None)
    @hypothesis.given(tree)
    def check(values):
        assert build(ours, values).to_binary() == build(ref, values).SerializeToString()

    check()


def test_large_outputs_match_reference(twins):
    ours, ref = twins
    leaf = {"s8": "x" * 9000, "r4": list(range(-3000, 3000)), "s9": b"\x01" * 1500,
            "r0": [k / 3 if k % 700 else k for k in range(3000)],  # ints take the general path
            "r1": [1e38, -2.5] * 900, "r5": [2**40 + k if k % 3 else k for k in range(2500)]}
    values = {"s0": 1.5, "child": {"child": leaf, "kids": [leaf, {}, leaf]}, "kids": [leaf] * 3,
              "r8": ["y" * n for n in (0, 1, 7, 8, 16, 17, 127, 128, 2047, 2048, 2049, 4096)]}
    expected = build(ref, values).SerializeToString()
    assert len(expected) > 100_000
    assert build(ours, values).to_binary() == expected


# Around the digit boundaries of Python ints (30-bit digits) and of every wire width.
BOUNDARY_INTS = sorted({s * (2**k + d) for k in (*range(6, 64, 7), *range(7, 65, 7), 29, 30, 31,
                                                 32, 59, 60, 61, 62, 64) for d in (-1, 0, 1)
                        for s in (1, -1)} | {0})  # fmt: skip
INT_RANGES = {T.INT32: (-(2**31), 2**31 - 1), T.SINT32: (-(2**31), 2**31 - 1),
              T.SFIXED32: (-(2**31), 2**31 - 1), T.UINT32: (0, 2**32 - 1),
              T.FIXED32: (0, 2**32 - 1), T.INT64: (-(2**63), 2**63 - 1),
              T.SINT64: (-(2**63), 2**63 - 1), T.SFIXED64: (-(2**63), 2**63 - 1),
              T.UINT64: (0, 2**64 - 1), T.FIXED64: (0, 2**64 - 1)}  # fmt: skip


@pytest.mark.parametrize("t", list(INT_RANGES), ids=lambda t: t.name)
def test_integer_boundaries_match_reference(twins, t):
    """Every width at the digit boundaries, singular and in packed lists where runs of small
    values are written several at a time; values out of range raise wherever they stand."""
    ours, ref = twins
    name = f"{SCALARS.index(t)}"
    lo, hi = INT_RANGES[t]
    fits = [v for v in BOUNDARY_INTS if lo <= v <= hi]
    for v in fits:
        assert build(ours, {f"s{name}": v}).to_binary() == build(ref, {f"s{name}": v}).SerializeToString()
    small = [0, 1, 5, 127, 3, 64, 2, 9]
    values = small + fits + small * 3 + [v for v in fits for _ in range(4)] + small[:3]
    for items in (values, values[::-1], values[1:]):
        assert (build(ours, {f"r{name}": items}).to_binary()
                == build(ref, {f"r{name}": items}).SerializeToString())  # fmt: skip
    for v in BOUNDARY_INTS:
        if not lo <= v <= hi:
            with pytest.raises(OverflowError):
                build(ours, {f"s{name}": v}).to_binary()
            with pytest.raises(OverflowError):
                build(ours, {f"r{name}": small * 2 + [v] + small}).to_binary()
