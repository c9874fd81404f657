"""NativeMessage instances: construction, assignment, presence, equality, unknown-field slot."""

import gc
import sys
import threading

import pytest

import _torvex_ext as ext
from schema_helpers import (
    EXPLICIT,
    IMPLICIT,
    DescOneof,
    ScalarType,
    desc,
    field,
    finish,
    list_value,
    map_value,
    message_class,
    message_value,
    scalar,
    simple,
)


@pytest.fixture(scope="module")
def Msg():
    inner = simple("Inner", [field(1, "v", scalar(5))])
    group = DescOneof("pick", "pick")
    return simple("Msg", [
        field(1, "a", scalar(5), EXPLICIT),
        field(2, "b", scalar(9)),
        field(3, "inner", message_value(inner), EXPLICIT),
        field(4, "xs", list_value(ScalarType.INT32)),
        field(5, "m", map_value(9, ScalarType.INT32)),
        field(6, "p1", scalar(5, group), EXPLICIT),
        field(7, "p2", scalar(9, group), EXPLICIT),
    ], oneofs=[group])


def test_construction_defaults_and_keywords(Msg):
    m = Msg()
    assert (m.a, m.b, m.inner, m.xs, m.m, m.pick) == (0, "", None, [], {}, None)
    assert m._present == []
    m = Msg(a=5, b="x", xs=[1], pick=ext.Oneof("p1", 3))
    assert (m.a, m.b, m.xs, m.pick.value) == (5, "x", [1], 3)
    assert m._present == [1]
    # None skips the keyword, also for names that are no attribute at all.
    m = Msg(a=None, bogus=None)
    assert m._present == [] and m.a == 0
    values = [1, 2]
    assert Msg(xs=values).xs is values  # stored as given, not copied


def test_init_errors(Msg):
    with pytest.raises(TypeError) as e:
        Msg(1)
    assert str(e.value) == "NativeMessage.__init__() takes 0 positional arguments but 1 was given"
    with pytest.raises(TypeError) as e:
        Msg(a=1, bogus=2)
    assert str(e.value) == "Msg.__init__() got an unexpected keyword argument 'bogus'"


def test_setattr_marks_presence_and_delete_refused(Msg):
    m = Msg()
    m.b = "y"
    assert m._present == []
    m.a = None  # presence-tracked: even None marks it
    assert m._present == [1]
    with pytest.raises(AttributeError, match="^can't delete attribute$"):
        del m.a
    with pytest.raises(AttributeError, match="^can't delete attribute$"):
        del m.nonexistent
    with pytest.raises(AttributeError):
        m.not_a_field = 1  # no slot and no __dict__
    with pytest.raises(TypeError) as e:
        Msg.__setattr__(m, 5, 1)
    assert e.value.__notes__ == ["while processing 'name'"]


def test_presence_methods(Msg):
    m = Msg()
    m._set_field_number_present(5)
    m._set_field_number_present(3)
    m._set_field_number_present(3)
    m._clear_field_number_present(7)
    assert m._present == [3, 5]
    assert m._get_field_number_present(3) is True
    assert m._get_field_number_present(400) is False
    for bad, exc in [(-1, OverflowError), (2**32, OverflowError), ("1", TypeError)]:
        with pytest.raises(exc) as e:
            m._set_field_number_present(bad)
        assert e.value.__notes__ == ["while processing 'field_number'"]
    with pytest.raises(OverflowError, match="^out of range integral type conversion attempted"):
        m._get_field_number_present(2**32)
    # Inline sets cannot hold 320 and up: an internal error, and the set stays usable.
    with pytest.raises(BaseException) as e:
        m._set_field_number_present(320)
    assert not isinstance(e.value, Exception)
    m._clear_field_number_present(3)
    assert m._present == [5]


def test_representation_choice():
    big = simple("Big", [field(319, "a", scalar(5), EXPLICIT)])
    m = big()
    m._set_field_number_present(319)
    assert m._present == [319]
    bigger = simple("Bigger", [field(320, "a", scalar(5), EXPLICIT)])
    m = bigger()
    m._set_field_number_present(2**32 - 1)
    m._set_field_number_present(320)
    assert sorted(m._present) == [320, 2**32 - 1]


def test_instances_created_before_initialisation():
    cls = message_class("Late", ["a"])
    desc(cls)
    early = cls.__new__(cls)
    with pytest.raises(AttributeError):
        cls()
    with pytest.raises(AttributeError):
        early.a = 1
    with pytest.raises(AttributeError):
        cls.from_binary(b"")
    with pytest.raises(AttributeError):
        early == cls.__new__(cls)
    early._set_field_number_present(10**6)  # hashed representation takes any number
    finish(cls, [field(1, "a", scalar(5), EXPLICIT)])
    early.a = 3
    assert sorted(early._present) == [1, 10**6]
    assert cls(a=3) == early  # only the attribute table's presence bits take part
    assert cls(a=4) != early


def test_equality(Msg):
    assert Msg() == Msg()
    assert Msg(a=0) != Msg()  # presence differs
    a, b = Msg(), Msg()
    ext.generic_setattr(a, "a", 1)
    assert a == b  # unset in both: values are not compared
    assert Msg(b="x") != Msg(b="y")
    assert Msg(xs=[1]) == Msg(xs=[1])
    assert (Msg() == 5) is False and (Msg() != 5) is True
    other = simple("Other", [])
    assert (Msg() == other()) is False
    sub = type("SubMsg", (Msg,), {"__slots__": ()})
    # Python asks the subclass first (reflected), and a Msg is no SubMsg instance.
    assert Msg() != sub()
    assert Msg.__eq__(Msg(), sub()) is True
    with pytest.raises(TypeError):
        hash(Msg())

    class Bad:
        def __eq__(self, other):
            raise RuntimeError("boom")

    with pytest.raises(RuntimeError):
        Msg(b=Bad()) == Msg(b="x")


def test_unknown_field_slot(Msg):
    m = Msg()
    assert m._unknown_fields is None
    d = m._get_or_init_unknown_fields()
    assert d == {} and m._unknown_fields is d and m._get_or_init_unknown_fields() is d


def test_codec_methods_check_marshaler_type():
    cls = message_class("Fake", [])
    cls._ext_marshaler = 5
    with pytest.raises(TypeError, match="'int' object is not an instance of 'MessageMarshaler'"):
        cls()
    with pytest.raises(TypeError, match="'int' object is not an instance of 'MessageMarshaler'"):
        cls.from_binary(b"")


def test_foreign_marshaler_with_slots_is_refused(Msg):
    # Slot offsets of one class must never be applied to another class's layout.
    stranger = message_class("Stranger", ["z"])
    stranger._ext_marshaler = Msg._ext_marshaler
    with pytest.raises(TypeError):
        stranger()


def test_new_returning_foreign_object():
    cls = simple("Weird", [field(1, "a", scalar(5))])
    cls.__new__ = staticmethod(lambda c: 42)
    with pytest.raises(TypeError, match="'int' object is not an instance of 'NativeMessage'"):
        cls.from_binary(b"")


def test_json_text_input_type_error(Msg):
    with pytest.raises(TypeError) as e:
        Msg.from_json(5)
    assert str(e.value) == "json must be str, bytes, or bytearray, got <class 'int'>"


def test_presence_under_threads():
    cls = simple("Threads", [field(n, f"f{n}", scalar(5), EXPLICIT) for n in range(1, 300, 7)])
    msg = cls()
    numbers = list(range(1, 300, 7))

    def worker(offset):
        for _ in range(200):
            for n in numbers[offset::4]:
                msg._set_field_number_present(n)
                assert msg._get_field_number_present(n)
                msg._clear_field_number_present(n)
            for n in numbers[offset::4]:
                msg._set_field_number_present(n)

    threads = [threading.Thread(target=worker, args=(i,)) for i in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert msg._present == numbers


def test_reference_counts_through_construction(Msg):
    # A collection between two counts can free garbage left by earlier tests that still
    # holds the counted objects.
    gc.collect()
    gc.disable()
    try:
        value = "some text value"
        before = sys.getrefcount(value)
        msgs = [Msg(b=value) for _ in range(50)]
        assert sys.getrefcount(value) == before + 50
        for m in msgs:
            m.b = "other"
        assert sys.getrefcount(value) == before
        marshaler = Msg._ext_marshaler
        before = sys.getrefcount(marshaler)
        msgs = [Msg() for _ in range(10)]
        assert sys.getrefcount(marshaler) == before  # instances hold the record, not the object
    finally:
        gc.enable()


def test_bounded_memory_for_construction_loop(Msg):
    import tracemalloc

    def run():
        for i in range(20000):
            m = Msg(a=i, b="x", xs=[i], m={"k": i})
            m.a = i + 1
            m._get_or_init_unknown_fields()
            _ = m == m

    run()
    tracemalloc.start()
    base = tracemalloc.get_traced_memory()[0]
    run()
    grown = tracemalloc.get_traced_memory()[0] - base
    tracemalloc.stop()
    assert grown < 200_000


def test_reference_cycles_through_slots_and_unknown_fields_are_collected():
    import gc
    import weakref

    node = message_class("CycleNode", ["child"])
    desc(node)
    finish(node, [field(1, "child", message_value(node))])
    a = node()
    a.child = a
    a._get_or_init_unknown_fields()[5] = [a]
    ref = weakref.ref(a)
    del a
    gc.collect()
    assert ref() is None


def _pair_class(name: str, meta: type = type, defaults=None) -> type:
    cls = meta(name, (ext.NativeMessage,), {"__slots__": ("a", "xs")})
    desc(cls)
    fields = [field(1, "a", scalar(5)), field(2, "xs", list_value(ScalarType.INT32))]
    return finish(cls, fields, defaults=defaults)


def test_class_methods_follow_later_marshaler_changes():
    # Class methods may read the marshaler from the class dict only while that is what
    # attribute lookup returns: a data descriptor added to the metaclass takes precedence.
    class Meta(type):
        pass

    cls = _pair_class("Watched", Meta)
    assert cls.from_binary(b"\x08\x07").a == 7
    Meta._ext_marshaler = property(lambda c: 5)
    for make in (lambda: cls.from_binary(b""), lambda: cls.from_json("{}"), cls):
        with pytest.raises(TypeError, match="'int' object is not an instance of 'MessageMarshaler'"):
            make()
    del Meta._ext_marshaler
    assert cls.from_json('{"a": 3}').a == 3
    cls._ext_marshaler = _pair_class("Other")._ext_marshaler
    with pytest.raises(TypeError):
        cls.from_binary(b"")


def test_decoded_instances_count_shared_defaults_and_own_containers():
    big, other = 10**40, 10**41  # not immortal: every instance holds a count
    cls = _pair_class("Counted", defaults=[("a", big), ("xs", [])])
    # The same slot twice: the later default wins and the earlier one is not kept.
    twice = _pair_class("Twice", defaults=[("a", big), ("xs", []), ("a", other)])
    refs = sys.getrefcount(big), sys.getrefcount(other)
    msgs = [c.from_binary(b"") for c in (cls, twice) for _ in range(20)]
    msgs += [c.from_json("{}") for c in (cls, twice) for _ in range(20)]
    assert [m.a for m in msgs] == ([big] * 20 + [other] * 20) * 2
    assert len({id(m.xs) for m in msgs}) == len(msgs) and all(m.xs == [] for m in msgs)
    assert (sys.getrefcount(big), sys.getrefcount(other)) == (refs[0] + 40, refs[1] + 40)
    del msgs
    assert (sys.getrefcount(big), sys.getrefcount(other)) == refs
