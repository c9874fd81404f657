"""initialize_message_type: validation texts, side effects and what the schema does with them."""

import pytest

import _torvex_ext as ext
from schema_helpers import (
    EXPLICIT,
    IMPLICIT,
    DescField,
    DescFieldValueList,
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


def build(fields, attrs=None, **kw):
    attrs = attrs if attrs is not None else [f.local_name for f in fields
                                             if isinstance(f, DescField)]
    cls = message_class("T", attrs)
    desc(cls)
    return cls, lambda: finish(cls, fields, **kw)


class Attr:
    """A descriptor-like stand-in whose attributes the test sets freely."""

    def __init__(self, **kw):
        self.__dict__.update(kw)


@pytest.mark.parametrize(
    "mutate, exc, text",
    [
        (lambda f: setattr(f, "presence", 0), ValueError, "invalid presence: 0"),
        (lambda f: setattr(f, "presence", 4), ValueError, "invalid presence: 4"),
        (lambda f: setattr(f.value, "scalar", 11), ValueError, "invalid scalar type: 11"),
        (lambda f: setattr(f.value, "scalar", 14), ValueError, "invalid scalar type: 14"),
        (lambda f: setattr(f, "number", -1), OverflowError,
         "out of range integral type conversion attempted"),
        (lambda f: setattr(f, "number", 2**32), OverflowError,
         "out of range integral type conversion attempted"),
        (lambda f: setattr(f, "number", "1"), TypeError, None),
        (lambda f: setattr(f, "name", b"a"), TypeError, "'bytes' object is not an instance of 'str'"),
        (lambda f: setattr(f, "json_name", None), TypeError, "'None' is not an instance of 'str'"),
        (lambda f: setattr(f, "_requires_presence", 1), TypeError,
         "'int' object is not an instance of 'bool'"),
        (lambda f: setattr(f, "value", object()), ValueError, "invalid field value type"),
    ],
)
def test_field_validation(mutate, exc, text):
    f = field(1, "a", scalar(5))
    mutate(f)
    cls, init = build([f])
    with pytest.raises(exc) as e:
        init()
    if text is not None:
        assert str(e.value) == text
    assert "_ext_marshaler" not in vars(cls)


@pytest.mark.parametrize(
    "setup, exc, text",
    [
        (lambda d: setattr(d, "fields", (1,)), TypeError, "'tuple' object is not an instance of 'list'"),
        (lambda d: setattr(d, "fields", [object()]), ValueError, "invalid field descriptor"),
        (lambda d: setattr(d, "type_name", None), TypeError, "'None' is not an instance of 'str'"),
        (lambda d: setattr(d, "type", 3), TypeError, "'int' object is not an instance of 'type'"),
        (lambda d: setattr(d, "_oneofs_by_local_name", []), TypeError,
         "'list' object is not an instance of 'dict'"),
        (lambda d: setattr(d, "_oneofs_by_local_name", {1: None}), TypeError,
         "'int' object is not an instance of 'str'"),
        (lambda d: setattr(d, "_defaults", ()), TypeError,
         "'tuple' object is not an instance of 'list'"),
        (lambda d: setattr(d, "_defaults", [("nope", 1)]), KeyError,
         "'default value specified for unknown field nope'"),
        (lambda d: setattr(d, "_defaults", [(3, 1)]), KeyError,
         "'default value specified for unknown field 3'"),
        (lambda d: setattr(d, "_defaults", [("a",)]), IndexError, None),
    ],
)
def test_message_validation(setup, exc, text):
    cls = message_class("V", ["a"])
    d = desc(cls)
    finish(cls, [field(1, "a", scalar(5))], init=False)
    setup(d)
    with pytest.raises(exc) as e:
        ext.initialize_message_type(cls)
    if text is not None:
        assert str(e.value) == text
    assert "_ext_marshaler" not in vars(cls)


def test_list_and_map_kinds():
    f_int = field(1, "xs", DescFieldValueList(5, True))  # a plain int is no element type
    cls, init = build([f_int])
    with pytest.raises(ValueError, match="^invalid list element type$"):
        init()
    bad_map = field(1, "m", map_value(9, ScalarType.INT32))
    bad_map.value.value = "x"
    cls, init = build([bad_map])
    with pytest.raises(ValueError, match="^invalid map value type$"):
        init()
    # A plain int is fine where a scalar type is read, and a double key is accepted.
    ok = field(2, "m", map_value(1, ScalarType.INT32))
    ok.value.key = 1
    cls = simple("DoubleKey", [field(1, "s", scalar(5)), ok])
    assert cls().m == {}


def test_enum_validation_and_permanent_side_effects():
    empty = enum_type("EmptyEnum", {"A": 0})
    empty._desc.values = []
    cls, init = build([field(1, "e", enum_value(empty))])
    with pytest.raises(ValueError, match="^enum must have at least one value$"):
        init()
    assert not hasattr(empty, "_ext_value_type")

    # A failing later field leaves the handle and enum table made before it in place.
    color = enum_type("Color", {"RED": 0, "BLUE": 1})
    target = simple("Target", [])
    bad = field(3, "z", scalar(5))
    bad.presence = 9
    cls, init = build([field(1, "c", enum_value(color)), field(2, "t", message_value(target)), bad])
    with pytest.raises(ValueError):
        init()
    table, handle = color._ext_value_type, target._ext_value_type
    assert "_ext_marshaler" not in vars(cls)
    bad.presence = IMPLICIT
    init()
    assert color._ext_value_type is table and target._ext_value_type is handle


def test_enum_value_type_errors():
    e = enum_type("JsonEnum", {"A": 0})
    e._desc.values[0].json_name = 5
    cls, init = build([field(1, "e", enum_value(e))])
    with pytest.raises(TypeError, match="'int' object is not an instance of 'str'"):
        init()
    missing = enum_type("Missing", {"A": 0})
    missing._desc.values[0].local_name = "B"
    cls, init = build([field(1, "e", enum_value(missing))])
    with pytest.raises(AttributeError):
        init()


def test_wrong_native_objects_on_classes():
    target = simple("Squatter", [])
    target._ext_value_type = 5
    cls, init = build([field(1, "t", message_value(target))])
    with pytest.raises(TypeError, match="'int' object is not an instance of 'DescMessage'"):
        init()
    color = enum_type("Squat", {"A": 0})
    color._ext_value_type = target._ext_marshaler
    cls, init = build([field(1, "c", enum_value(color))])
    with pytest.raises(TypeError, match="'MessageMarshaler' object is not an instance of 'DescEnum'"):
        init()


def test_initialise_twice_keeps_first_marshaler_and_subclass_inherits():
    cls = simple("Twice", [field(1, "a", scalar(5))])
    first = cls._ext_marshaler
    assert ext.initialize_message_type(cls) is None
    assert cls._ext_marshaler is first
    sub = type("Sub", (cls,), {"__slots__": ()})
    assert ext.initialize_message_type(sub) is None
    assert "_ext_marshaler" not in vars(sub)
    assert sub(a=2).a == 2


def test_forward_and_self_references():
    later = message_class("Later", ["x"])
    desc(later)
    node = message_class("Node", ["child", "later"])
    desc(node)
    # Node refers to itself and to a class that is initialised afterwards.
    finish(node, [field(1, "child", message_value(node)), field(2, "later",
                  message_value(later))], defaults=[("child", None), ("later", None)])
    finish(later, [field(1, "x", scalar(5))])
    assert node._ext_value_type is not later._ext_value_type
    n = node(child=node(), later=later(x=3))
    assert n.later.x == 3 and n.child.child is None


def test_empty_message_and_defaults_tables():
    empty = simple("Empty", [])
    assert empty() == empty()
    color = enum_type("Shade", {"DARK": 3, "LIGHT": 4})
    cls = simple("Defaults", [
        field(1, "d", scalar(1)), field(2, "s", scalar(9)), field(3, "c", enum_value(color)),
        field(4, "xs", list_value(ScalarType.INT32)), field(5, "m", map_value(9, ScalarType.INT32)),
    ])
    a, b = cls(), cls()
    assert (a.d, a.s, a.c, a.xs, a.m) == (0.0, "", color.DARK, [], {})
    assert a.xs is not b.xs and a.m is not b.m
    assert a.s is b.s and a.c is color.DARK


def test_by_name_attributes_work_without_slots():
    cls = simple("NoSlots", [field(1, "a", scalar(5), EXPLICIT)], slots=False)
    msg = cls(a=4)
    assert msg.a == 4 and msg._present == [1]
    assert vars(msg) == {"a": 4}


def test_oneof_member_defaults_and_attribute_table():
    group = DescOneof("choice", "choice")
    fields = [field(1, "x", scalar(5, group), EXPLICIT), field(2, "y", scalar(9, group), EXPLICIT)]
    cls = simple("Choice", fields, oneofs=[group])
    msg = cls()
    assert msg.choice is None and msg._present == []
    msg.choice = ext.Oneof("x", 1)
    assert msg._present == []  # oneof attributes never track presence
    with pytest.raises(TypeError, match="unexpected keyword argument 'x'"):
        cls(x=1)


def test_descriptor_attribute_errors_propagate():
    cls = message_class("NoDesc", [])
    with pytest.raises(AttributeError):
        ext.initialize_message_type(cls)
    d = Attr(type=cls, type_name="t.X", fields=[], _fields_by_name={},
             _oneofs_by_local_name={})  # no _defaults
    cls._desc = d
    with pytest.raises(AttributeError, match="_defaults"):
        ext.initialize_message_type(cls)
    d._defaults = []
    ext.initialize_message_type(cls)
    assert cls() == cls()
