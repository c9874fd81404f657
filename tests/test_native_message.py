"""NativeMessage instances: construction, assignment, presence, equality, unknown-field slot."""

import gc
import inspect
import sys
import threading
import weakref

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


@pytest.mark.parametrize("via", ["first", "middle", "last", "subclass"])
def test_cycles_through_any_slot_are_collected(via):
    # The collector reads message slots as one range; a cycle through any of them, or through a
    # Python subclass's own slot, must be seen.
    names = ["first", "middle", "last"]
    node = message_class("SlotRing", names)
    desc(node)
    finish(node, [field(i + 1, n, message_value(node)) for i, n in enumerate(names)])
    sub = type("SlotRingSub", (node,), {"__slots__": ("extra",)})
    a = sub() if via == "subclass" else node()
    b = node()
    setattr(a, "extra" if via == "subclass" else via, b)
    b.last = a
    assert gc.get_referents(a).count(b) == 1 and type(a) in gc.get_referents(a)
    refs = weakref.ref(a), weakref.ref(b)
    del a, b
    gc.collect()
    assert [r() for r in refs] == [None, None]


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


def test_class_methods_keep_to_each_class_own_schema():
    # Classes made and freed in turn reuse addresses, and many alive at once share the slots in
    # which class methods remember marshalers: each must still decode with its own schema.
    data = b"\x08\x07\x0a\x01x"  # field 1 as a varint, then as a string
    for r in range(20):
        live = [simple(f"Reused{r}_{i}", [field(1, "a", scalar(9 if i % 2 else 5))])
                for i in range(40)]  # fmt: skip
        for _ in range(2):
            assert [c.from_binary(data).a for c in live] == ["x" if i % 2 else 7 for i in range(40)]
        del live
        gc.collect()
    other, swapped = _pair_class("Other"), _pair_class("Swapped")
    assert swapped.from_binary(b"\x08\x07").a == 7
    kept = swapped._ext_marshaler  # alive, so that only the class's own change tells it stale
    swapped._ext_marshaler = other._ext_marshaler
    with pytest.raises(TypeError):
        swapped.from_binary(b"")
    swapped._ext_marshaler = kept
    assert swapped.from_binary(b"\x08\x07").a == 7


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


def _own_from_binary(cls, data):
    return "own"


@pytest.mark.parametrize(
    "name", ["from_binary", "from_json", "from_text", "_from_json_value", "_decode_delimited"]
)
def test_class_methods_bind_to_the_class_they_are_read_through(Msg, name):
    method = getattr(Msg, name)
    base = ext.NativeMessage.__dict__[name].__get__(None, Msg)
    assert method is getattr(Msg, name) is getattr(Msg(), name)  # bound once, at intake
    assert method.__self__ is Msg and method.__name__ == name and method.__doc__ == base.__doc__
    assert inspect.signature(method) == inspect.signature(base)
    # A subclass that was never initialised binds to itself, as the base's class method does.
    sub = type("Sub", (Msg,), {"__slots__": ()})
    assert getattr(sub, name).__self__ is sub and getattr(sub(), name).__self__ is sub
    entry = Msg.__dict__[name]
    assert entry.__get__(None, sub).__self__ is sub and entry.__get__(Msg()) is method


def test_class_methods_decode_into_the_class_and_keep_own_definitions(Msg):
    data = Msg(a=3).to_binary()
    sub = type("Sub", (Msg,), {"__slots__": ()})
    assert type(sub.from_binary(data)) is sub and sub.from_binary(data).a == 3
    assert type(Msg.from_json('{"a": 3}')) is Msg
    own = message_class("Own", ["a"])
    own.from_binary = classmethod(_own_from_binary)
    finish(own, [field(1, "a", scalar(5))])
    assert own.from_binary(data) == "own" and own.from_json('{"a": 1}').a == 1


def test_freeing_instances_releases_every_slot_and_runs_hooks(Msg):
    gc.collect()
    gc.disable()
    try:
        value = "held " * 3
        before = sys.getrefcount(value)
        sub = type("Extra", (Msg,), {"__slots__": ("extra",)})
        msgs = [Msg(b=value), sub(b=value), Msg.from_json('{"b": "x"}')]
        msgs[1].extra = value
        msgs[2].b = value
        msgs[2]._get_or_init_unknown_fields()[9] = [value]
        assert sys.getrefcount(value) == before + 5
        events = []
        ref = weakref.ref(msgs[0], lambda _: events.append("weakref"))
        del msgs
        assert sys.getrefcount(value) == before and events == ["weakref"] and ref() is None
    finally:
        gc.enable()
    # A finalizer added after intake runs, and may resurrect the instance whole.
    cls = simple("Finalized", [field(1, "a", scalar(5))])
    kept = []
    cls.__del__ = lambda self: kept.append(self)
    m = cls(a=5)
    del m
    assert [k.a for k in kept] == [5]
    kept.clear()


@pytest.mark.parametrize("slots", [1, 2, 8, 15, 16])  # 16: beyond the sizes whose memory is kept
def test_instances_made_from_freed_memory_are_fresh(slots):
    names = [f"f{i}" for i in range(slots)]
    cls = simple(f"Reuse{slots}", [field(i + 1, n, scalar(9)) for i, n in enumerate(names)])
    value = "".join(["kept ", "value"])
    counts = sys.getrefcount(cls), sys.getrefcount(value)
    for _ in range(3):
        freed = [cls(**dict.fromkeys(names, value)) for _ in range(300)]
        for m in freed:
            m._get_or_init_unknown_fields()[9] = [value]
        refs = [weakref.ref(m) for m in freed]
        del freed, m
        assert all(r() is None for r in refs)
        fresh = [cls() for _ in range(150)] + [cls.from_binary(b"") for _ in range(150)]
        assert all(m == cls() and m._present == [] and gc.is_tracked(m) for m in fresh)
        assert all(m._get_or_init_unknown_fields() == {} for m in fresh)
        refs = [weakref.ref(m) for m in fresh]
        del fresh
        assert all(r() is None for r in refs)
    assert (sys.getrefcount(cls), sys.getrefcount(value)) == counts


def test_kept_memory_is_bounded_and_given_back_after_an_idle_full_collection():
    import tracemalloc

    cls = simple("Pooled", [field(1, "a", scalar(5))])
    gc.collect()
    gc.collect()  # nothing kept from earlier tests
    tracemalloc.start()
    try:
        base = tracemalloc.get_traced_memory()[0]
        freed = [cls() for _ in range(100_000)]  # about 8 MB
        del freed
        kept = [tracemalloc.get_traced_memory()[0] - base]
        del cls  # its kept blocks must not need the class any more
        for _ in range(2):
            gc.collect()
            kept.append(tracemalloc.get_traced_memory()[0] - base)
    finally:
        tracemalloc.stop()
    # A batch's memory survives the first full collection (it may be in use again before the
    # next); what stayed unused until the second is freed.
    assert 3 << 20 < kept[0] < 6 << 20 and kept[1] > kept[0] - (1 << 20) and kept[2] < 1 << 17


def test_finalized_instances_do_not_pass_their_mark_on():
    # The collector marks an instance whose finalizer ran; memory reused with that mark would
    # skip the finalizer of the next instance.
    cls = simple("Finalized2", [field(1, "a", scalar(5))])
    calls = []
    cls.__del__ = lambda self: calls.append(self.a)
    for i in range(5):
        cls(a=i)
    assert calls == list(range(5))


def test_freeing_a_long_chain_of_messages_does_not_recurse():
    node = message_class("ChainNode", ["child"])
    desc(node)
    finish(node, [field(1, "child", message_value(node))])
    head = None
    for _ in range(300_000):
        n = node()
        n.child = head
        head = n
    del head, n  # freed level by level; recursing would overflow the C stack
