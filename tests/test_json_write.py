"""The JSON writer: keys, presence, every scalar form and error text, enums, maps, oneofs,
recursion, registry extensions; the text and the tree forms agree with each other."""

from __future__ import annotations

import json
import math

import _torvex_ext
import pytest
from hypothesis import given
from hypothesis import strategies as st

import torvex
from schema_helpers import field, scalar, simple
from torvex import Oneof
from torvex import ScalarType as T

P3 = torvex.File("jw/p3.proto", package="jw3")
P2 = torvex.File("jw/p2.proto", package="jw2", syntax="proto2")

I32_MIN, I32_MAX = -(2**31), 2**31 - 1
I64_MIN, I64_MAX = -(2**63), 2**63 - 1
F32_MAX = 3.4028234663852886e38


class Color(torvex.Enum, file=P3):
    COLOR_UNSPECIFIED = 0
    COLOR_RED = 1
    COLOR_NEG = -3


class Level(torvex.Enum, file=P2):
    LOW = 1
    HIGH = 2


class Leaf(torvex.Message, file=P3):
    name: str = torvex.field(1, T.STRING)
    child: Leaf | None = torvex.field(2, "Leaf")


SCALARS = [
    T.DOUBLE, T.FLOAT, T.INT64, T.UINT64, T.INT32, T.FIXED64, T.FIXED32, T.BOOL,
    T.STRING, T.BYTES, T.UINT32, T.SFIXED32, T.SFIXED64, T.SINT32, T.SINT64,
]  # fmt: skip


def attr(t: T) -> str:
    return f"v_{t.name.lower()}"


def declare(name: str, file: torvex.File, fields: dict) -> type:
    ns = {"__module__": __name__, "__qualname__": name, **fields}
    return type(torvex.Message)(name, (torvex.Message,), ns, file=file)


Scalars = declare("Scalars", P3, {attr(t): torvex.field(i + 1, t) for i, t in enumerate(SCALARS)})
Optionals = declare(
    "Optionals", P3, {attr(t): torvex.field(i + 1, t, optional=True) for i, t in enumerate(SCALARS)}
)


class Shapes(torvex.Message, file=P3):
    foo_bar: int = torvex.field(1, T.INT32)
    color: Color = torvex.field(2, Color)
    leaf: Leaf | None = torvex.field(3, Leaf)
    nums: list[int] = torvex.repeated(4, T.SINT32)
    leaves: list[Leaf] = torvex.repeated(5, Leaf)
    by_int: dict[int, str] = torvex.map_field(6, T.INT32, T.STRING)
    by_bool: dict[bool, Color] = torvex.map_field(7, T.BOOL, Color)
    by_str: dict[str, Leaf] = torvex.map_field(8, T.STRING, Leaf)
    by_u64: dict[int, int] = torvex.map_field(9, T.UINT64, T.INT64)
    pick: Oneof | None = torvex.oneof(
        text=torvex.field(10, T.STRING), sub=torvex.field(11, Leaf), hue=torvex.field(12, Color)
    )
    custom: str = torvex.field(13, T.STRING, json_name="renamed")


class Legacy(torvex.Message, file=P2):
    must: int = torvex.field(1, T.INT32, required=True)
    level: Level = torvex.field(2, Level)
    levels: list[Level] = torvex.repeated(3, Level)


def both(msg, **opts):
    """The text form parsed back and the tree form; they must always be equal."""
    text = msg.to_json(**opts)
    tree = msg._to_json_value(**opts)
    assert json.loads(text) == tree
    return text, tree


# ---- keys, presence, defaults ------------------------------------------------------------------


def test_defaults_and_always_emit_implicit():
    assert Scalars().to_json() == "{}"
    assert Scalars()._to_json_value() == {}
    _, tree = both(Scalars(), always_emit_implicit=True)
    assert tree == {
        "vDouble": 0.0, "vFloat": 0.0, "vInt64": "0", "vUint64": "0", "vInt32": 0,
        "vFixed64": "0", "vFixed32": 0, "vBool": False, "vString": "", "vBytes": "",
        "vUint32": 0, "vSfixed32": 0, "vSfixed64": "0", "vSint32": 0, "vSint64": "0",
    }  # fmt: skip
    # Explicit presence, message fields set to None, oneofs: never emitted by the flag.
    assert Optionals().to_json(always_emit_implicit=True) == "{}"
    _, tree = both(Shapes(), always_emit_implicit=True)
    assert tree == {
        "fooBar": 0, "color": "COLOR_UNSPECIFIED", "nums": [], "leaves": [], "byInt": {},
        "byBool": {}, "byStr": {}, "byU64": {}, "renamed": "",
    }  # fmt: skip


def test_explicit_presence_follows_the_bit_not_the_value():
    msg = Optionals(v_int32=0, v_string="", v_bool=False)
    assert both(msg)[1] == {"vInt32": 0, "vString": "", "vBool": False}
    msg = Optionals()
    _torvex_ext.generic_setattr(msg, "v_int32", 7)  # stored without marking presence
    assert msg.to_json() == "{}"


@pytest.mark.parametrize("proto_names", [False, True])
def test_key_names(proto_names):
    msg = Shapes(foo_bar=1, custom="c")
    text, tree = both(msg, use_proto_field_name=proto_names)
    assert msg.to_dict(use_proto_field_name=proto_names) == tree
    assert text == ('{"foo_bar":1,"custom":"c"}' if proto_names else '{"fooBar":1,"renamed":"c"}')


def test_declaration_order_and_compact_text():
    msg = Shapes(custom="z", foo_bar=-5, nums=[1, -2], leaves=[Leaf(), Leaf(name="a b")])
    text, _ = both(msg)
    assert text == '{"fooBar":-5,"nums":[1,-2],"leaves":[{},{"name":"a b"}],"renamed":"z"}'


def test_zero_and_negative_zero_doubles():
    assert Scalars(v_double=0.0).to_json() == "{}"
    assert Scalars(v_double=-0.0).to_json() == '{"vDouble":-0.0}'
    assert math.copysign(1, Scalars(v_double=-0.0)._to_json_value()["vDouble"]) == -1
    assert both(Scalars(v_double=math.nan))[1] == {"vDouble": "NaN"}


# ---- scalar forms ---------------------------------------------------------------------------

FORMS = [
    (T.INT32, -5, "-5"), (T.INT32, I32_MIN, "-2147483648"), (T.SINT32, I32_MAX, "2147483647"),
    (T.UINT32, 2**32 - 1, "4294967295"), (T.FIXED32, 1, "1"), (T.SFIXED32, -1, "-1"),
    (T.INT64, -5, '"-5"'), (T.INT64, I64_MIN, f'"{I64_MIN}"'), (T.SINT64, I64_MAX, f'"{I64_MAX}"'),
    (T.SFIXED64, -(2**40), f'"{-(2**40)}"'), (T.UINT64, 2**64 - 1, f'"{2**64 - 1}"'),
    (T.FIXED64, 2**63, f'"{2**63}"'), (T.UINT64, 7, '"7"'),
    (T.BOOL, True, "true"), (T.STRING, "é/\x7f", '"é/\x7f"'),
    (T.BYTES, b"\xff", '"/w=="'), (T.BYTES, bytearray(b"ab?"), '"YWI/"'),
    (T.BYTES, bytes(range(256)) * 5, None),
    (T.DOUBLE, 1.0, "1.0"), (T.DOUBLE, 1e16, "1e+16"), (T.DOUBLE, 1e-5, "1e-05"),
    (T.DOUBLE, 0.0001, "0.0001"), (T.DOUBLE, 1e15, "1000000000000000.0"),
    (T.DOUBLE, 5e-324, "5e-324"), (T.DOUBLE, -1.5e300, "-1.5e+300"),
    (T.DOUBLE, math.inf, '"Infinity"'), (T.DOUBLE, -math.inf, '"-Infinity"'),
    (T.DOUBLE, 2**70, str(2**70)), (T.DOUBLE, 3, "3"),
    (T.FLOAT, math.inf, '"Infinity"'), (T.FLOAT, F32_MAX, "3.4028234663852886e+38"),
    (T.FLOAT, 0.1, "0.1"),
]  # fmt: skip


@pytest.mark.parametrize(("t", "value", "text"), FORMS)
def test_scalar_forms(t, value, text):
    msg = Scalars(**{attr(t): value})
    out, tree = both(msg)
    if text is None:  # long bytes: compare against the standard library
        import base64

        text = json.dumps(base64.b64encode(bytes(value)).decode())
    assert out == f'{{"{msg._desc.fields[SCALARS.index(t)].json_name}":{text}}}'
    if t in (T.DOUBLE, T.FLOAT) and isinstance(value, (int, float)) and math.isfinite(value):
        assert tree[next(iter(tree))] is value  # the tree holds the stored object


ERRORS = [
    (T.INT32, 2**31, OverflowError, "value 2147483648 out of range for int32"),
    (T.SFIXED32, I32_MIN - 1, OverflowError, "value -2147483649 out of range for int32"),
    (T.UINT32, -1, OverflowError, "value -1 out of range for uint32"),
    (T.FIXED32, 2**32, OverflowError, "value 4294967296 out of range for uint32"),
    (T.INT64, 2**63, OverflowError, f"value {2**63} out of range for int64"),
    (T.UINT64, -1, OverflowError, "value -1 out of range for uint64"),
    (T.FIXED64, 2**64, OverflowError, f"value {2**64} out of range for uint64"),
    (T.FLOAT, 1e39, OverflowError, "value 1e+39 out of range for float"),
    (T.FLOAT, -1e39, OverflowError, "value -1e+39 out of range for float"),
    (T.INT32, True, TypeError, "expected int, got <class 'bool'>"),
    (T.UINT64, 1.0, TypeError, "expected int, got <class 'float'>"),
    (T.BOOL, 1, TypeError, "expected bool, got <class 'int'>"),
    (T.STRING, b"x", TypeError, "expected str, got <class 'bytes'>"),
    (T.BYTES, "x", TypeError, "expected bytes, got <class 'str'>"),
    (T.DOUBLE, True, TypeError, "expected float, got <class 'bool'>"),
    (T.DOUBLE, "1.5", TypeError, "expected float, got <class 'str'>"),
    (T.DOUBLE, 10**400, TypeError, "expected float, got <class 'int'>"),
]  # fmt: skip


@pytest.mark.parametrize(("t", "value", "exc", "text"), ERRORS)
@pytest.mark.parametrize("method", ["to_json", "_to_json_value"])
def test_scalar_errors(t, value, exc, text, method):
    with pytest.raises(exc) as info:
        getattr(Optionals(**{attr(t): value}), method)()
    assert str(info.value) == text


NONZERO_OR_NEGATIVE_ZERO = st.floats(allow_nan=False, allow_infinity=False).filter(
    lambda x: x != 0 or math.copysign(1, x) < 0
)


@given(NONZERO_OR_NEGATIVE_ZERO)
def test_double_text_is_repr(x):
    assert Scalars(v_double=x).to_json() == f'{{"vDouble":{x!r}}}'


def test_double_subclass_and_foreign_numbers():
    class F(float):
        def __repr__(self):
            return "nope"

    assert Scalars(v_double=F(2.5)).to_json() == '{"vDouble":2.5}'
    from decimal import Decimal

    # A Decimal passes the float conversion; the text form writes its repr.
    assert Scalars(v_double=Decimal("1.25")).to_json() == """{"vDouble":Decimal('1.25')}"""
    assert Scalars(v_double=Decimal("1.25"))._to_json_value()["vDouble"] == Decimal("1.25")


# ---- number lists: runs of plain elements written straight into the buffer ---------------------

LIST_TYPES = [T.DOUBLE, T.FLOAT, T.INT32, T.SINT32, T.SFIXED32, T.UINT32, T.FIXED32]
Lists = declare("Lists", P3, {attr(t): torvex.repeated(i + 1, t) for i, t in enumerate(LIST_TYPES)})


class FloatSub(float):
    pass


class IntSub(int):
    pass


def list_elements(t: T) -> st.SearchStrategy:
    """Plain elements mixed with those that leave a run: subclasses, NaN and the infinities,
    ints in a double list, and the ends of the field's range."""
    if t in (T.DOUBLE, T.FLOAT):
        plain = st.floats(width=32 if t is T.FLOAT else 64)
        return st.one_of(plain, plain.map(FloatSub), st.integers(-(2**53), 2**53), st.just(-0.0))
    lo, hi = (0, 2**32 - 1) if t in (T.UINT32, T.FIXED32) else (I32_MIN, I32_MAX)
    plain = st.one_of(st.integers(lo, hi), st.sampled_from([lo, hi, 0, 9999, 10000, 10**8]))
    return st.one_of(plain, plain.map(IntSub))


@given(st.data())
def test_number_lists_match_the_element_by_element_form(data):
    values = {attr(t): data.draw(st.lists(list_elements(t), max_size=40)) for t in LIST_TYPES}
    msg = Lists(**values)
    # The tree form writes every element on its own; the standard library writes floats as
    # repr() and NaN/Infinity are strings in both forms.
    assert msg.to_json() == json.dumps(msg._to_json_value(), separators=(",", ":"))


def test_number_list_longer_than_a_block():
    values = [(i * 7919) % (2**31) - 2**30 for i in range(70_000)]
    doubles = [v / 7 for v in values]
    assert Lists(v_int32=values, v_double=doubles).to_json() == json.dumps(
        {"vDouble": doubles, "vInt32": values}, separators=(",", ":")
    )


@pytest.mark.parametrize(
    ("t", "bad", "exc"),
    [(T.INT32, I32_MAX + 1, OverflowError), (T.UINT32, -1, OverflowError),
     (T.FIXED32, 2**32, OverflowError),
     (T.INT32, True, TypeError), (T.FLOAT, 1e39, OverflowError), (T.DOUBLE, "1", TypeError)],
)  # fmt: skip
@pytest.mark.parametrize("method", ["to_json", "_to_json_value"])
def test_number_list_errors_name_the_element_after_a_run(t, bad, exc, method):
    good = 1.5 if t in (T.DOUBLE, T.FLOAT) else 7
    with pytest.raises(exc) as info:
        getattr(Lists(**{attr(t): [good] * 300 + [bad, good]}), method)()
    assert info.value.__notes__ == [f"while encoding jw3.Lists.{attr(t)}[300]"]


ESCAPES = [
    ('a"b', r'"a\"b"'), ("a\\b", r'"a\\b"'), ("\t\n\r\b\f", r'"\t\n\r\b\f"'),
    ("\x01\x1f\x00", r'"\u0001\u001f\u0000"'), ("/é日\U0001f600\x7f", '"/é日\U0001f600\x7f"'),
    ("x" * 40 + "\x02" + "y" * 40, '"' + "x" * 40 + r"\u0002" + "y" * 40 + '"'),
]  # fmt: skip


@pytest.mark.parametrize(("value", "text"), ESCAPES)
def test_string_escapes(value, text):
    assert Scalars(v_string=value).to_json() == f'{{"vString":{text}}}'
    assert json.loads(text) == value


@given(st.text())
def test_any_string_survives_text(s):
    out = Scalars(v_string=s).to_json()
    assert json.loads(out) == ({"vString": s} if s else {})
    assert not set(out) & {" ", "\n", "\t"} or s  # whitespace only inside the string


@pytest.mark.parametrize(
    "s", ["a" * 70_000, "é" * 40_000 + "x", "日" * 30_000, "\U0001f600" * 9_000]
)
def test_large_documents(s):
    # Past the size where the text is built inside its str object; ASCII and wider text.
    msg = Shapes(nums=list(range(-5, 20_000)), custom=s, by_bool={True: 1})
    _, tree = both(msg)
    assert tree["renamed"] == s and tree["nums"][-1] == 19_999


@pytest.mark.parametrize(
    "values",
    [["é", "plain", "ÿ"], ["é", "日本", "x"], ["\U0001f600", "é", "日"], ["é\n", "日"], ["a\tb", "é"]],
)
def test_wide_strings_mixed_into_ascii_text(values):
    # Non-ASCII values are placed into the result in their own width, escaped ones as UTF-8.
    msg = Shapes(by_int=dict(enumerate(values)), custom="k\u00e9y")
    text, tree = both(msg)
    assert text == json.dumps(tree, separators=(",", ":"), ensure_ascii=False)


@given(
    st.lists(st.one_of(st.text(st.characters(max_codepoint=0x7E), max_size=40),
                       st.sampled_from(["é", "日本", "\U0001f600"])), max_size=12),
)  # fmt: skip
def test_ascii_runs_of_any_length_between_wide_strings(values):
    # The ASCII text between wide values is widened in blocks: runs shorter and longer than one.
    msg = Shapes(by_int=dict(enumerate(values)), custom="日")
    assert msg.to_json() == json.dumps(msg._to_json_value(), separators=(",", ":"), ensure_ascii=False)


def test_lone_surrogate():
    s = "a\ud800b"
    with pytest.raises(UnicodeEncodeError):
        Scalars(v_string=s).to_json()
    assert Scalars(v_string=s)._to_json_value()["vString"] is s


# ---- enums ----------------------------------------------------------------------------------


def test_enum_forms():
    assert both(Shapes(color=Color.COLOR_NEG))[1] == {"color": "COLOR_NEG"}
    assert both(Shapes(color=Color.COLOR_NEG), print_enums_as_ints=True)[1] == {"color": -3}
    assert both(Shapes(color=Color(77)))[1] == {"color": 77}  # open enum, unknown number
    assert both(Shapes(color=2**40))[1] == {"color": 2**40}
    assert both(Legacy(must=1, level=Level.HIGH, levels=[Level.LOW, 2]))[1] == {
        "must": 1, "level": "HIGH", "levels": ["LOW", "HIGH"]
    }  # fmt: skip


@pytest.mark.parametrize(
    ("value", "exc", "text"),
    [
        (9, ValueError, "invalid enum value 9 for enum jw2.Level"),
        (2**40, ValueError, f"invalid enum value {2**40} for enum jw2.Level"),
        ("HIGH", TypeError, "expected int for enum jw2.Level, got <class 'str'>"),
        (True, TypeError, "expected int for enum jw2.Level, got <class 'bool'>"),
    ],
)
def test_closed_enum_errors(value, exc, text):
    with pytest.raises(exc) as info:
        Legacy(must=1, levels=[value]).to_json()
    assert str(info.value) == text


# ---- maps, lists, messages, oneofs ------------------------------------------------------------


def test_map_keys():
    msg = Shapes(
        by_int={-5: "a", 0: "b"}, by_bool={True: Color.COLOR_RED, False: 0},
        by_str={"": Leaf(), "k\n": Leaf(name="x")}, by_u64={2**64 - 1: -1},
    )  # fmt: skip
    text, tree = both(msg)
    assert text == (
        '{"byInt":{"-5":"a","0":"b"},"byBool":{"true":"COLOR_RED","false":"COLOR_UNSPECIFIED"},'
        '"byStr":{"":{},"k\\n":{"name":"x"}},"byU64":{"18446744073709551615":"-1"}}'
    )


@pytest.mark.parametrize(
    ("kwargs", "exc", "text"),
    [
        ({"nums": (1,)}, TypeError, "'tuple' object is not an instance of 'list'"),
        ({"by_int": [(1, "a")]}, TypeError, "'list' object is not an instance of 'dict'"),
        ({"by_str": {1: Leaf()}}, TypeError, "'int' object is not an instance of 'str'"),
        ({"leaf": Legacy()}, TypeError,
         "expected 'jw3.Leaf', got <class 'test_json_write.Legacy'>"),  # fmt: skip
        ({"leaves": [1]}, TypeError, "expected 'jw3.Leaf', got <class 'int'>"),
        ({"leaves": [None]}, TypeError, "expected 'jw3.Leaf', got <class 'NoneType'>"),
        ({"pick": ("text", "x")}, TypeError, "expected Oneof, got '<class 'tuple'>'"),
        ({"pick": Oneof("nope", 1)}, ValueError, "unknown oneof field 'nope'"),
    ],
)
def test_container_and_message_errors(kwargs, exc, text):
    for method in ("to_json", "_to_json_value"):
        with pytest.raises(exc) as info:
            getattr(Shapes(**kwargs), method)()
        assert str(info.value) == text


def test_oneof_members():
    assert both(Shapes(pick=Oneof("text", "")))[1] == {"text": ""}
    assert both(Shapes(pick=Oneof("sub", Leaf())))[1] == {"sub": {}}
    hue = Shapes(pick=Oneof("hue", Color.COLOR_UNSPECIFIED))
    assert both(hue)[1] == {"hue": "COLOR_UNSPECIFIED"}
    # A field outside the oneof is refused, as the binary writer refuses it.
    with pytest.raises(ValueError, match="^unknown oneof field 'foo_bar'$"):
        Shapes(pick=Oneof("foo_bar", 1)).to_json()


def test_required_field():
    with pytest.raises(ValueError) as info:
        Legacy().to_json()
    assert str(info.value) == "cannot encode must to binary: required field not set"
    assert Legacy(must=0).to_json() == '{"must":0}'


def chain(n: int) -> Leaf:
    leaf = Leaf(name="bottom")
    for _ in range(n - 1):
        leaf = Leaf(child=leaf)
    return leaf


@pytest.mark.parametrize("method", ["to_json", "_to_json_value"])
def test_recursion_limit(method):
    getattr(chain(101), method)()  # depths 0 to 100
    with pytest.raises(RecursionError) as info:
        getattr(chain(102), method)()
    assert str(info.value) == "exceeded maximum recursion depth 100 while serializing message"


def test_map_changed_during_iteration():
    class Key(int):
        def __str__(self):
            msg.by_int[len(msg.by_int) + 100] = "new"
            return "1"

    msg = Shapes(by_int={Key(1): "a", 2: "b"})
    with pytest.raises(RuntimeError, match="changed size during iteration"):
        msg.to_json()


# ---- extensions through a registry ------------------------------------------------------------


class Ext:
    def __init__(self, value, type_name, key):
        self.value, self.type_name, self.type = value, type_name, key


class Registry:
    def __init__(self, known):
        self.known, self.calls = known, []

    def extension_for(self, desc, number):
        self.calls.append((desc, number))
        return self.known.get(number)


def extendable(values: dict) -> type:
    """A bare message class whose item access reads extension values (the runtime's job)."""
    cls = simple("Extendable", [field(1, "name", scalar(9))])
    cls.__getitem__ = lambda self, key: values[key]
    return cls


def test_extensions_written_from_registry():
    from torvex._descriptors import (
        DescFieldValueList,
        DescFieldValueMap,
        DescFieldValueScalar,
        ScalarType,
    )

    cls = extendable({"big": -7, "flags": [True, False]})
    msg = cls(name="n")
    msg._get_or_init_unknown_fields().update({100: [b"\xa0\x06\x01"], 101: [b""], 102: [b""]})
    ext_int = Ext(DescFieldValueScalar(ScalarType.SINT64, None), "jw3.big", "big")
    ext_list = Ext(DescFieldValueList(ScalarType.BOOL, False, False), "jw3.flags", "flags")
    reg = Registry({100: ext_int, 102: ext_list})
    text, _ = both(msg, registry=reg)
    assert text == '{"name":"n","[jw3.big]":"-7","[jw3.flags]":[true,false]}'
    assert [n for _, n in reg.calls[:3]] == [100, 101, 102]
    assert reg.calls[0][0] is cls._desc
    assert msg.to_json() == '{"name":"n"}'  # the default registry knows none of them
    ext_map = Ext(DescFieldValueMap(ScalarType.INT32, ScalarType.INT32), "jw3.m", "big")
    with pytest.raises(ValueError, match="^map extensions are not supported$"):
        msg.to_json(registry=Registry({101: ext_map}))


def test_extension_errors_propagate():
    from torvex._descriptors import DescFieldValueScalar, ScalarType

    msg = Leaf()
    msg._get_or_init_unknown_fields()[5] = [b""]

    class Boom:
        def extension_for(self, desc, number):
            raise KeyError("boom")

    with pytest.raises(KeyError, match="boom"):
        msg.to_json(registry=Boom())
    ext = Ext(DescFieldValueScalar(ScalarType.INT32, None), "jw3.m", "m")
    with pytest.raises(TypeError):  # Leaf has no item access
        msg.to_json(registry=Registry({5: ext}))


def test_option_flags_must_be_bool():
    with pytest.raises(TypeError) as info:
        Leaf().to_json(always_emit_implicit=1)
    assert info.value.__notes__ == ["while processing 'always_emit_implicit'"]
    with pytest.raises(TypeError):
        Leaf()._to_json_value(use_proto_field_name=None)


@pytest.mark.parametrize(
    ("build", "note"),
    [
        (lambda: Shapes(leaves=[Leaf(), Leaf(child=Leaf(name=3))]),
         "jw3.Shapes.leaves[1].child.name"),  # fmt: skip
        (lambda: Shapes(by_str={"a": Leaf(), "b": Leaf(name=b"x")}), "jw3.Shapes.by_str['b'].name"),
        (lambda: Legacy(must=1, levels=[1, 9]), "jw2.Legacy.levels[1]"),
        (lambda: Shapes(pick=Oneof("sub", Leaf(child=Leaf(name=1)))), "jw3.Shapes.sub.child.name"),
        (lambda: Legacy(), "jw2.Legacy.must"),
    ],
)
@pytest.mark.parametrize("method", ["to_json", "_to_json_value"])
def test_error_notes_name_the_field_path(build, note, method):
    with pytest.raises((TypeError, ValueError)) as info:
        getattr(build(), method)()
    assert info.value.__notes__ == [f"while encoding {note}"]
