"""The declarative schema API: descriptors it builds, name rules, references, enums, helpers."""

from __future__ import annotations

import math

import pytest
from hypothesis import given
from hypothesis import strategies as st

import torvex
from _torvex_ext import NativeMessage
from torvex import Oneof, Presence
from torvex import ScalarType as T
from torvex._descriptors import (
    DescEnum,
    DescField,
    DescFieldValueEnum,
    DescFieldValueList,
    DescFieldValueMap,
    DescFieldValueMessage,
    DescFieldValueScalar,
    DescMessage,
    DescOneof,
)
from torvex._names import json_name


@pytest.fixture
def F(request):
    """A fresh proto3 file per test, so type names never collide between tests."""
    return torvex.File(f"test/{request.node.name}.proto", package="t")


@pytest.fixture
def F2(request):
    return torvex.File(f"test2/{request.node.name}.proto", package="t2", syntax="proto2")


# Module-level types: found by Python name when it differs from the proto name.
MODULE_FILE = torvex.File("test/module_level.proto", package="m")


class RenamedInPython(torvex.Message, file=MODULE_FILE, name="Renamed"):
    x: int = torvex.field(1, T.INT32)


class UsesPythonName(torvex.Message, file=MODULE_FILE):
    r: RenamedInPython | None = torvex.field(1, "RenamedInPython")


def kitchen_sink(F):
    class Color(torvex.Enum, file=F):
        RED = 0
        GREEN = 1

    class Sink(torvex.Message, file=F):
        s: str = torvex.field(1, T.STRING)
        opt: int = torvex.field(2, T.INT64, optional=True)
        req: bool = torvex.field(3, T.BOOL, required=True)
        color: Color = torvex.field(4, Color)
        child: Sink | None = torvex.field(5, "Sink")
        group: Sink | None = torvex.field(6, "Sink", delimited=True)
        nums: list[int] = torvex.repeated(7, T.SINT32)
        texts: list[str] = torvex.repeated(8, T.STRING)
        colors: list[Color] = torvex.repeated(9, Color, packed=False)
        kids: list[Sink] = torvex.repeated(10, "Sink")
        by_name: dict[str, Sink] = torvex.map_field(11, T.STRING, "Sink")
        by_id: dict[int, Color] = torvex.map_field(12, T.UINT64, Color)
        choice: Oneof | None = torvex.oneof(
            "pick",
            a=torvex.field(13, T.BYTES),
            b=torvex.field(14, Color),
            c=torvex.field(15, "Sink"),
        )

    return Sink, Color


class TestDescriptorContract:
    def test_message_descriptor_types(self, F):
        Sink, _ = kitchen_sink(F)
        d = Sink._desc
        assert isinstance(d, DescMessage) and d.type is Sink
        assert type(d.type_name) is str and d.type_name == "t.Sink"
        assert d.file is F and type(d.file.name) is str
        assert type(d.fields) is list and all(type(f) is DescField for f in d.fields)
        assert [f.number for f in d.fields] == list(range(1, 16))
        assert type(d._fields_by_name) is dict
        assert list(d._fields_by_name) == [f.local_name for f in d.fields]
        assert "a" in d._fields_by_name and "choice" not in d._fields_by_name
        assert type(d._oneofs_by_local_name) is dict and list(d._oneofs_by_local_name) == ["choice"]
        group = d._oneofs_by_local_name["choice"]
        assert type(group) is DescOneof and group.name == "pick"
        assert [f.local_name for f in group.fields] == ["a", "b", "c"]
        assert type(d._defaults) is list
        assert all(type(pair) is tuple and len(pair) == 2 for pair in d._defaults)
        assert Sink.__slots__ == tuple(name for name, _ in d._defaults)
        for f in d.fields:
            assert type(f.number) is int
            assert all(type(s) is str for s in (f.name, f.local_name, f.json_name))
            assert type(f.presence) is int and f.presence in (1, 2, 3)
            assert type(f._requires_presence) is bool

    @pytest.mark.parametrize(
        "attr, kind, expected",
        [
            ("s", DescFieldValueScalar, {"scalar": T.STRING, "oneof": None}),
            ("color", DescFieldValueEnum, {"enum": "Color", "oneof": None}),
            ("child", DescFieldValueMessage, {"message": "Sink", "delimited_encoding": False}),
            ("group", DescFieldValueMessage, {"message": "Sink", "delimited_encoding": True}),
            ("nums", DescFieldValueList, {"element": T.SINT32, "packed": True}),
            ("texts", DescFieldValueList, {"element": T.STRING, "packed": False}),
            ("colors", DescFieldValueList, {"element": "Color", "packed": False}),
            ("kids", DescFieldValueList, {"element": "Sink", "delimited_encoding": False}),
            ("by_name", DescFieldValueMap, {"key": T.STRING, "value": "Sink"}),
            ("by_id", DescFieldValueMap, {"key": T.UINT64, "value": "Color"}),
            ("a", DescFieldValueScalar, {"scalar": T.BYTES, "oneof": "choice"}),
            ("b", DescFieldValueEnum, {"enum": "Color", "oneof": "choice"}),
            ("c", DescFieldValueMessage, {"message": "Sink", "oneof": "choice"}),
        ],
    )
    def test_field_value_kinds(self, F, attr, kind, expected):
        Sink, Color = kitchen_sink(F)
        named = {
            "Sink": Sink._desc,
            "Color": Color._desc,
            "choice": Sink._desc._oneofs_by_local_name["choice"],
        }
        value = Sink._desc._fields_by_name[attr].value
        assert type(value) is kind
        for name, want in expected.items():
            got = getattr(value, name)
            if isinstance(want, str):
                assert got is named[want]
            else:
                assert got == want and type(got) is type(want)

    def test_enum_descriptor_types(self, F):
        _, Color = kitchen_sink(F)
        d = Color._desc
        assert type(d) is DescEnum and d.type is Color and d.type_name == "t.Color"
        assert d.open is True and type(d.values) is list
        assert [(v.number, v.name, v.local_name, v.json_name) for v in d.values] == [
            (0, "RED", "RED", None),
            (1, "GREEN", "GREEN", None),
        ]


@pytest.mark.parametrize(
    "proto, expected",
    [
        ("foo", "foo"),
        ("foo_bar", "fooBar"),
        ("foo_bar_baz", "fooBarBaz"),
        ("foo__bar", "fooBar"),
        ("_foo", "Foo"),
        ("foo_", "foo"),
        ("FooBar", "FooBar"),
        ("foo_1bar", "foo1bar"),
        ("foo_Bar", "fooBar"),
        ("x_y_z", "xYZ"),
    ],
)
def test_json_name(proto, expected):
    assert json_name(proto) == expected


@given(st.text(alphabet="az_AZ1é", max_size=12))
def test_json_name_follows_the_character_rule(proto):
    # The rule one character at a time: drop "_", upper-case an ASCII letter right after one.
    out, upper_next = [], False
    for ch in proto:
        if ch == "_":
            upper_next = True
            continue
        out.append(ch.upper() if upper_next and "a" <= ch <= "z" else ch)
        upper_next = False
    assert json_name(proto) == "".join(out)


def test_json_name_from_proto_name_and_override(F):
    class M(torvex.Message, file=F):
        class_: int = torvex.field(1, T.INT32)
        renamed: int = torvex.field(2, T.INT32, name="wire_name")
        custom: int = torvex.field(3, T.INT32, json_name="CUSTOM")

    assert [(f.name, f.local_name, f.json_name) for f in M._desc.fields] == [
        ("class", "class_", "class"),
        ("wire_name", "renamed", "wireName"),
        ("custom", "custom", "CUSTOM"),
    ]


class TestDefaultsAndPresence:
    @pytest.mark.parametrize("scalar", list(T))
    def test_scalar_zero_values(self, F, scalar):
        class M(torvex.Message, file=F):
            v: object = torvex.field(1, scalar)

        ((attr, default),) = M._desc._defaults
        zeros = {T.DOUBLE: 0.0, T.FLOAT: 0.0, T.BOOL: False, T.STRING: "", T.BYTES: b""}
        zero = zeros.get(scalar, 0)
        assert attr == "v" and default == zero and type(default) is type(zero)
        assert M().v == zero

    def test_defaults_by_kind(self, F):
        Sink, Color = kitchen_sink(F)
        defaults = dict(Sink._desc._defaults)
        assert defaults["color"] is Color.RED
        assert defaults["child"] is None and defaults["choice"] is None
        assert defaults["nums"] == [] and type(defaults["nums"]) is list
        assert defaults["by_id"] == {} and type(defaults["by_id"]) is dict
        assert not {"a", "b", "c"} & defaults.keys()

    def test_custom_defaults(self, F2):
        class E(torvex.Enum, file=F2):
            A = 1
            B = 2

        class M(torvex.Message, file=F2):
            n: int = torvex.field(1, T.INT32, default=-5)
            d: float = torvex.field(2, T.DOUBLE, default=3)
            e: E = torvex.field(3, E, default=2)

        assert M._desc._defaults == [("n", -5), ("d", 3.0), ("e", E.B)]
        m = M()
        assert (m.n, m.e, m.has_field("n")) == (-5, E.B, False)

    REQUIRED = Presence.LEGACY_REQUIRED

    @pytest.mark.parametrize(
        "make, syntax, presence, requires",
        [
            (lambda: torvex.field(1, T.INT32), "proto3", Presence.IMPLICIT, False),
            (lambda: torvex.field(1, T.INT32), "proto2", Presence.EXPLICIT, True),
            (lambda: torvex.field(1, T.INT32, optional=True), "proto3", Presence.EXPLICIT, True),
            (lambda: torvex.field(1, T.INT32, required=True), "proto3", REQUIRED, True),
            (lambda: torvex.field(1, "E"), "proto3", Presence.IMPLICIT, False),
            (lambda: torvex.field(1, "E", optional=True), "proto3", Presence.EXPLICIT, True),
            (lambda: torvex.field(1, "M"), "proto3", Presence.EXPLICIT, False),
            (lambda: torvex.field(1, "M", required=True), "proto2", REQUIRED, False),
            (lambda: torvex.repeated(1, T.INT32), "proto2", Presence.IMPLICIT, False),
            (lambda: torvex.map_field(1, T.INT32, T.INT32), "proto2", Presence.IMPLICIT, False),
            (lambda: torvex.oneof(x=torvex.field(1, T.INT32)), "proto2", Presence.EXPLICIT, False),
        ],
    )
    def test_presence(self, request, make, syntax, presence, requires):
        file = torvex.File(f"p/{request.node.name}.proto", syntax=syntax)

        class E(torvex.Enum, file=file):
            Z = 0

        class M(torvex.Message, file=file):
            v: object = make()

        (f,) = M._desc.fields
        assert (f.presence, f._requires_presence) == (presence, requires)

    @pytest.mark.parametrize(
        "syntax, element, packed",
        [("proto3", T.INT32, True), ("proto3", T.DOUBLE, True), ("proto3", T.BYTES, False),
         ("proto3", "E", True), ("proto3", "M", False), ("proto2", T.INT32, False),
         ("proto2", "E", False)],
    )
    def test_packed_default(self, request, syntax, element, packed):
        file = torvex.File(f"p/{request.node.name}.proto", syntax=syntax)

        class E(torvex.Enum, file=file):
            Z = 0

        class M(torvex.Message, file=file):
            v: list = torvex.repeated(1, element)

        assert M._desc.fields[0].value.packed is packed


class TestClassLayout:
    def test_mro_slots_and_names(self, F):
        class Outer(torvex.Message, file=F):
            a: int = torvex.field(1, T.INT32)
            o: Oneof | None = torvex.oneof(x=torvex.field(2, T.INT32), y=torvex.field(3, T.STRING))

            class Inner(torvex.Message):
                b: int = torvex.field(1, T.INT32)

        assert Outer.__mro__[1:] == (NativeMessage, torvex.Message, object)
        assert Outer.__slots__ == ("a", "o")
        assert type(Outer.__dict__["a"]).__name__ == "member_descriptor"
        assert Outer.__module__ == __name__
        assert Outer.Inner.__qualname__.endswith("<locals>.Outer.Inner")
        assert Outer.Inner._desc.type_name == "t.Outer.Inner"
        assert Outer.Inner._desc.parent is Outer._desc
        m = Outer()
        assert not hasattr(m, "__dict__")
        with pytest.raises(AttributeError):
            m.not_a_field = 1

    def test_empty_message(self, F):
        class Empty(torvex.Message, file=F):
            pass

        assert Empty._desc.fields == [] and Empty._desc._defaults == [] and Empty.__slots__ == ()
        assert Empty() == Empty() and repr(Empty()) == "Empty()"

    def test_message_classes_cannot_be_subclassed(self, F):
        class Base(torvex.Message, file=F):
            pass

        with pytest.raises(TypeError, match="cannot be subclassed"):
            class Derived(Base):
                pass


class TestReferences:
    def test_self_and_forward_reference(self, F):
        class Node(torvex.Message, file=F):
            next: Node | None = torvex.field(1, "Node")
            leaf: Leaf | None = torvex.field(2, "Leaf")

        with pytest.raises(AttributeError, match="Node is not ready: field 'leaf' refers to"):
            Node()

        class Leaf(torvex.Message, file=F):
            v: int = torvex.field(1, T.INT32)

        n = Node(next=Node(), leaf=Leaf(v=1))
        by_name = Node._desc._fields_by_name
        assert by_name["next"].value.message is Node._desc
        assert by_name["leaf"].value.message is Leaf._desc
        assert n.next.next is None and n.leaf.v == 1

    def test_mutual_reference(self, F):
        class A(torvex.Message, file=F):
            b: B | None = torvex.field(1, "B")

        class B(torvex.Message, file=F):
            a: A | None = torvex.field(1, A)

        assert A(b=B(a=A())).b.a.b is None
        assert A._desc.fields[0].value.message is B._desc

    @pytest.mark.parametrize("ref", ["Inner", "Outer.Inner", "t.Outer.Inner", ".t.Outer.Inner"])
    def test_scoped_names(self, F, ref):
        class Outer(torvex.Message, file=F):
            x: Outer.Inner | None = torvex.field(1, ref)

            class Inner(torvex.Message):
                pass

        class Other(torvex.Message, file=F):
            y: Outer.Inner | None = torvex.field(1, "Outer.Inner")

        assert Outer._desc.fields[0].value.message is Outer.Inner._desc
        assert Other._desc.fields[0].value.message is Outer.Inner._desc

    def test_inner_scope_wins_over_outer(self, F):
        class Thing(torvex.Message, file=F):
            pass

        class Holder(torvex.Message, file=F):
            t: object = torvex.field(1, "Thing")

            class Thing(torvex.Message):
                pass

        assert Holder._desc.fields[0].value.message is Holder.Thing._desc

    def test_inner_scope_wins_two_levels_down(self, F):
        class Deep(torvex.Message, file=F):
            pass

        class Outer(torvex.Message, file=F):
            class Mid(torvex.Message):
                d: object = torvex.field(1, "Deep")

                class Deep(torvex.Message):
                    pass

        assert Outer.Mid.Deep._desc.type_name == "t.Outer.Mid.Deep"
        assert Outer.Mid._desc.fields[0].value.message is Outer.Mid.Deep._desc

    def test_nested_enum_used_by_sibling_message(self, F):
        class Outer(torvex.Message, file=F):
            class Inner(torvex.Message):
                kind: Outer.Kind = torvex.field(1, "Kind")

            class Kind(torvex.Enum):
                K0 = 0
                K1 = 1

        assert Outer.Kind._desc.type_name == "t.Outer.Kind"
        assert Outer.Inner(kind=Outer.Kind.K1).kind is Outer.Kind.K1

    def test_python_name_fallback(self):
        assert RenamedInPython._desc.type_name == "m.Renamed"
        assert UsesPythonName._desc.fields[0].value.message is RenamedInPython._desc

    def test_nested_in_plain_class_is_top_level(self, request):
        class Holder:
            class Msg(torvex.Message):
                peer: object = torvex.field(1, "Peer")

            class Peer(torvex.Message):
                pass

        assert Holder.Msg._desc.type_name == "Msg"
        assert Holder.Msg._desc.fields[0].value.message is Holder.Peer._desc

    def test_failed_reference_reports_on_use(self, F):
        class A(torvex.Message, file=F):
            xs: list = torvex.repeated(1, "B", packed=True)

        class B(torvex.Message, file=F):
            pass

        with pytest.raises(AttributeError, match="A is unusable: .*only numeric, bool and enum"):
            A()


class TestEnums:
    def test_open_enum_keeps_unknown_numbers(self, F):
        class E(torvex.Enum, file=F):
            ZERO = 0

        v = E(7)
        assert v == 7 and isinstance(v, E) and isinstance(v, int)
        assert v.name is None and v.value == 7 and repr(v) == "<E: 7>"
        assert E(0) is E.ZERO and list(E) == [E.ZERO]

    @pytest.mark.parametrize("value", [2**31, -(2**31) - 1, 1.0, "1", True])
    def test_open_enum_rejects_non_int32(self, F, value):
        class E(torvex.Enum, file=F):
            ZERO = 0

        with pytest.raises(ValueError):
            E(value)

    @pytest.mark.parametrize("syntax, kwargs", [("proto3", {"open": False}), ("proto2", {})])
    def test_closed_enum(self, request, syntax, kwargs):
        file = torvex.File(f"e/{request.node.name}.proto", syntax=syntax)

        class E(torvex.Enum, file=file, **kwargs):
            ONE = 1

        assert E._desc.open is False
        with pytest.raises(ValueError):
            E(2)

    def test_aliases_names_and_escaping(self, F):
        class E(torvex.Enum, file=F, name="Proto", value_names={"B": "BEE"}, json_names={"A": "a"}):
            A = 0
            B = 1
            ALIAS = 1
            None_ = 2

        assert E._desc.type_name == "t.Proto"
        assert [(v.number, v.name, v.local_name, v.json_name) for v in E._desc.values] == [
            (0, "A", "A", "a"),
            (1, "BEE", "B", None),
            (1, "ALIAS", "ALIAS", None),
            (2, "None", "None_", None),
        ]

    def test_invalid_enums(self, F):
        with pytest.raises(TypeError, match="at least one value"):

            class Empty(torvex.Enum, file=F):
                pass

        with pytest.raises(ValueError, match="32-bit"):

            class Big(torvex.Enum, file=F):
                BIG = 2**31


class TestNames:
    @pytest.mark.parametrize(
        "attr, proto",
        [("class_", "class"), ("None_", "None"), ("to_binary_", "to_binary"),
         ("has_field_", "has_field"), ("foo_", "foo_"), ("class__", "class__")],
    )
    def test_escaped_attribute_names(self, F, attr, proto):
        ns = {attr: torvex.field(1, T.INT32), "__qualname__": "M", "__module__": __name__}
        M = torvex._message.MessageMeta("M", (torvex.Message,), ns, file=F)
        assert (M._desc.fields[0].name, M._desc.fields[0].local_name) == (proto, attr)

    @pytest.mark.parametrize("attr", ["to_binary", "has_field", "_desc", "_present", "__x__"])
    def test_reserved_attribute_names_rejected(self, F, attr):
        ns = {attr: torvex.field(1, T.INT32), "__qualname__": "M", "__module__": __name__}
        with pytest.raises(TypeError, match="cannot be a field name"):
            torvex._message.MessageMeta("M", (torvex.Message,), ns, file=F)

    def test_oneof_member_escaping(self, F):
        class M(torvex.Message, file=F):
            o: Oneof | None = torvex.oneof(def_=torvex.field(1, T.INT32))

        f = M._desc.fields[0]
        assert (f.name, f.local_name, f.json_name) == ("def", "def_", "def")
        assert M(o=Oneof("def_", 1)).has_field("def_")


@pytest.mark.parametrize(
    "make, error, match",
    [
        (lambda: torvex.field(0, T.INT32), ValueError, "outside"),
        (lambda: torvex.field(2**29, T.INT32), ValueError, "outside"),
        (lambda: torvex.field(19000, T.INT32), ValueError, "reserved"),
        (lambda: torvex.field(True, T.INT32), TypeError, "must be an int"),
        (lambda: torvex.field(1, 11), ValueError, "invalid scalar type: 11"),
        (lambda: torvex.field(1, int), TypeError, "must be a ScalarType"),
        (lambda: torvex.field(1, T.INT32, optional=True, required=True), TypeError, "both"),
        (lambda: torvex.map_field(1, T.DOUBLE, T.INT32), TypeError, "map keys"),
        (lambda: torvex.oneof(x=torvex.repeated(1, T.INT32)), TypeError, "torvex.field"),
        (lambda: torvex.oneof(x=torvex.field(1, T.INT32, optional=True)), TypeError, "oneof"),
        (lambda: torvex.oneof(), TypeError, "at least one"),
    ],
)
def test_invalid_declarations(make, error, match):
    with pytest.raises(error, match=match):
        make()


@pytest.mark.parametrize(
    "fields, match",
    [
        ({"a": torvex.field(1, T.INT32), "b": torvex.field(1, T.STRING)}, "same number"),
        ({"a": torvex.field(1, T.INT32), "b": torvex.field(2, T.INT32, name="a")}, "proto name"),
        ({"a_b": torvex.field(1, T.INT32), "aB": torvex.field(2, T.INT32)}, "same JSON name"),
        # A clash hidden by escaping: the attribute to_binary_ is the proto field to_binary.
        ({"to_binary_": torvex.field(1, T.INT32), "toBinary": torvex.field(2, T.INT32)},
         r"fields 'to_binary_' \(proto name 'to_binary'\) and 'toBinary' have the same JSON name"),
        ({"a": torvex.repeated(1, T.STRING, packed=True)}, "packed"),
        ({"a": torvex.field(1, T.INT32, delimited=True)}, "delimited"),
        ({"a": torvex.field(1, T.INT32, default=3)}, "explicit presence"),
        ({"a": torvex.field(1, T.INT32, optional=True, default="x")}, "does not suit"),
        ({"a": torvex.field(1, T.UINT32, optional=True, default=-1)}, "out of range"),
        ({"o": torvex.oneof(a=torvex.field(1, T.INT32)), "a": torvex.field(2, T.INT32)}, "twice"),
    ],
)
def test_invalid_messages(F, fields, match):
    ns = {**fields, "__qualname__": "Bad", "__module__": __name__}
    with pytest.raises((TypeError, ValueError), match=match):
        torvex._message.MessageMeta("Bad", (torvex.Message,), ns, file=F)
    assert "t.Bad" not in F._types


class TestHelpers:
    @pytest.fixture
    def Sink(self, F):
        return kitchen_sink(F)[0]

    @pytest.mark.parametrize(
        "attr, value",
        [("s", "x"), ("opt", 0), ("req", False), ("color", 1), ("child", None), ("nums", [1]),
         ("by_id", {1: 0}), ("choice", Oneof("a", b""))],
    )
    def test_set_then_clear(self, Sink, attr, value):
        m = Sink()
        if attr == "child":
            value = Sink()
        assert not m.has_field(attr) and repr(m) == "Sink()"
        setattr(m, attr, value)
        assert m.has_field(attr)
        assert repr(m) == f"Sink({attr}={value!r})"
        m.clear_field(attr)
        assert not m.has_field(attr) and repr(m) == "Sink()"
        assert m == Sink()
        assert m._present == []

    def test_cleared_containers_are_fresh(self, Sink):
        m = Sink(nums=[1, 2])
        before = m.nums
        m.clear_field("nums")
        assert m.nums == [] and m.nums is not before and before == [1, 2]

    @pytest.mark.parametrize(
        "value, is_set", [(0.0, False), (-0.0, True), (math.nan, True), (1e-300, True)]
    )
    def test_implicit_float(self, F, value, is_set):
        class M(torvex.Message, file=F):
            d: float = torvex.field(1, T.DOUBLE)

        assert M(d=value).has_field("d") is is_set

    def test_oneof_members(self, Sink):
        m = Sink(choice=Oneof("b", 1))
        assert [m.has_field(n) for n in ("a", "b", "c", "choice")] == [False, True, False, True]
        m.clear_field("a")  # not the set member: no effect
        assert m.choice == Oneof("b", 1)
        m.clear_field("b")
        assert m.choice is None

    def test_explicit_presence_independent_of_value(self, Sink):
        m = Sink(opt=0)
        assert m.has_field("opt") and "opt=0" in repr(m)
        m.clear_field("opt")
        assert not m.has_field("opt") and m.opt == 0

    def test_unknown_name(self, Sink):
        with pytest.raises(ValueError, match="no field 'nope'"):
            Sink().has_field("nope")
        with pytest.raises(ValueError, match="no field 'nope'"):
            Sink().clear_field("nope")

    def test_recursive_repr(self, Sink):
        m = Sink()
        m.kids.append(m)
        assert repr(m) == "Sink(kids=[...])"
