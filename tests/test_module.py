"""The module's surface: exports, class flags, argument errors and generic_setattr."""

import pytest

import _torvex_ext as ext
from schema_helpers import (
    EXPLICIT,
    IMPLICIT,
    enum_type,
    enum_value,
    field,
    message_value,
    scalar,
    simple,
)


def test_exports_in_order():
    names = [n for n in vars(ext) if not n.startswith("__")]
    assert names == [
        "MessageMarshaler",
        "NativeMessage",
        "initialize_message_type",
        "Oneof",
        "generic_setattr",
    ]
    for hidden in ("DescMessage", "DescEnum", "Member"):
        assert not hasattr(ext, hidden)


def test_class_modules_and_docs():
    assert ext.NativeMessage.__module__ == "torvex_ext"
    assert ext.Oneof.__module__ == "torvex._oneof"
    assert ext.MessageMarshaler.__module__ == "builtins"
    assert ext.MessageMarshaler.__doc__ == "Entrypoint to native marshaling code."
    assert ext.Oneof.__text_signature__ == "(field, value)"
    assert ext.NativeMessage.__doc__.startswith("Base class inserted into Python message types")
    assert ext.initialize_message_type.__text_signature__ == "(message_type)"
    assert ext.generic_setattr.__text_signature__ == "(obj, name, value)"
    assert "__setattr__" in ext.generic_setattr.__doc__


def test_hidden_classes_are_builtins_and_not_instantiable():
    color = enum_type("HiddenColor", {"RED": 0})
    inner = simple("HiddenInner", [])
    outer = simple("HiddenOuter", [field(1, "m", message_value(inner)),
                                   field(2, "c", enum_value(color))])
    member = outer._ext_marshaler  # Member objects are only reachable inside the schema
    for obj, name, doc in [
        (outer._ext_marshaler, "MessageMarshaler", "Entrypoint to native marshaling code."),
        (inner._ext_value_type, "DescMessage", None),
        (color._ext_value_type, "DescEnum", None),
    ]:
        tp = type(obj)
        assert (tp.__module__, tp.__qualname__) == ("builtins", name)
        if doc is not None:
            assert tp.__doc__ == doc
        with pytest.raises(TypeError):
            tp()
    assert type(inner._ext_value_type).__doc__.startswith("Handle to the marshaler")
    assert type(color._ext_value_type).__doc__ is None
    assert member is outer._ext_marshaler


@pytest.mark.parametrize("base", [ext.Oneof, ext.MessageMarshaler])
def test_final_classes_cannot_be_subclassed(base):
    with pytest.raises(TypeError):
        type("Sub", (base,), {})


def test_native_message_can_be_subclassed_and_weakly_referenced():
    import weakref

    cls = simple("Weak", [field(1, "a", scalar(5))])
    msg = cls()
    ref = weakref.ref(msg)
    assert ref() is msg
    del msg
    assert ref() is None


@pytest.mark.parametrize(
    "call, text",
    [
        (lambda: ext.generic_setattr(), "generic_setattr() missing 3 required positional "
         "arguments: 'obj', 'name', and 'value'"),
        (lambda: ext.generic_setattr(1, "a"), "generic_setattr() missing 1 required positional "
         "argument: 'value'"),
        (lambda: ext.Oneof("a"), "Oneof.__new__() missing 1 required positional argument: "
         "'value'"),
        (lambda: ext.generic_setattr(1, 2, 3, 4), "generic_setattr() takes 3 positional arguments "
         "but 4 were given"),
        (lambda: ext.generic_setattr(1, 2, 3, obj=1), "generic_setattr() got multiple values for "
         "argument 'obj'"),
        (lambda: ext.initialize_message_type(message_type=int, other=1),
         "initialize_message_type() got an unexpected keyword argument 'other'"),
        (lambda: ext.Oneof(1, 2, 3), "Oneof.__new__() takes 2 positional arguments but 3 were "
         "given"),
    ],
)
def test_argument_errors(call, text):
    with pytest.raises(TypeError) as e:
        call()
    assert str(e.value) == text


def test_missing_two_names_joined_with_and():
    with pytest.raises(TypeError, match=r"missing 2 required positional arguments: 'field' and "
                       r"'value'$"):
        ext.Oneof()


def test_method_argument_errors_and_notes():
    cls = simple("Args", [field(1, "a", scalar(5))])
    msg = cls()
    with pytest.raises(TypeError) as e:
        msg.to_binary(1)
    assert str(e.value) == "NativeMessage.to_binary() takes 0 positional arguments but 1 was given"
    with pytest.raises(TypeError) as e:
        msg.to_binary(write_unknown_fields=1)
    assert str(e.value) == "'int' object is not an instance of 'bool'"
    assert e.value.__notes__ == ["while processing 'write_unknown_fields'"]
    with pytest.raises(TypeError) as e:
        cls.from_binary()
    assert str(e.value) == ("NativeMessage.from_binary() missing 1 required positional "
                            "argument: 'data'")
    with pytest.raises(TypeError) as e:
        cls.from_binary(b"", False)
    assert str(e.value) == ("NativeMessage.from_binary() takes 1 positional arguments but 2 were "
                            "given")


def test_initialize_message_type_wants_a_class():
    with pytest.raises(TypeError) as e:
        ext.initialize_message_type(42)
    assert str(e.value) == "'int' object is not an instance of 'type'"
    assert e.value.__notes__ == ["while processing 'message_type'"]


def test_generic_setattr():
    cls = simple("Gen", [field(1, "a", scalar(5), EXPLICIT)])
    msg = cls()
    with pytest.raises(TypeError) as e:
        ext.generic_setattr(msg, 1, 2)
    assert e.value.__notes__ == ["while processing 'name'"]
    ext.generic_setattr(msg, "a", 7)
    assert msg.a == 7 and msg._present == []
    with pytest.raises(AttributeError):
        ext.generic_setattr(msg, "nope", 1)
    assert ext.generic_setattr(obj=msg, name="a", value=8) is None and msg.a == 8


def test_numpy_bool_flags_accepted():
    np = pytest.importorskip("numpy")
    cls = simple("NpFlag", [field(1, "a", scalar(5), IMPLICIT)])
    msg = cls(a=3)
    assert msg.to_binary(write_unknown_fields=np.bool_(False)) == b"\x08\x03"
    with pytest.raises(TypeError):
        msg.to_binary(write_unknown_fields=np.int64(1))
