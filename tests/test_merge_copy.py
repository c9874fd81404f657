"""Merge, copy, deep copy, clear and pickling of messages."""

from __future__ import annotations

import copy
import pickle
import re
import sys

import pytest

import _torvex_ext as ext
import torvex
from schema_helpers import (
    EXPLICIT,
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
from torvex import Oneof
from torvex import ScalarType as T

FILE = torvex.File("tests/merge.proto", package="merge")


class Leaf(torvex.Message, file=FILE):
    n: int = torvex.field(1, T.INT32)
    s: str = torvex.field(2, T.STRING)


class Node(torvex.Message, file=FILE):
    name: str = torvex.field(1, T.STRING)
    count: int = torvex.field(2, T.INT32)
    opt: int = torvex.field(3, T.INT32, optional=True)
    child: Node | None = torvex.field(4, "Node")
    leaf: Leaf | None = torvex.field(5, Leaf)
    items: list[Leaf] = torvex.repeated(6, Leaf)
    nums: list[int] = torvex.repeated(7, T.INT32)
    by_name: dict[str, Leaf] = torvex.map_field(8, T.STRING, Leaf)
    tags: dict[str, int] = torvex.map_field(9, T.STRING, T.INT32)
    choice: Oneof | None = torvex.oneof(text=torvex.field(10, T.STRING), sub=torvex.field(11, Leaf))
    real: float = torvex.field(12, T.DOUBLE)

    class Inner(torvex.Message):
        v: int = torvex.field(1, T.INT32, optional=True)


def varint(n: int) -> bytes:
    out = bytearray()
    while n >= 0x80:
        out.append(n & 0x7F | 0x80)
        n >>= 7
    out.append(n)
    return bytes(out)


def record(number: int, value: int) -> bytes:
    """A varint record of field `number`, as the parser keeps it for an unknown field."""
    return varint(number << 3) + varint(value)


def chain(depth: int) -> Node:
    """A chain of child messages whose deepest one sits at `depth`."""
    node = Node(name="bottom")
    for _ in range(depth):
        node = Node(child=node)
    return node


# ---- merge ---------------------------------------------------------------------------------


def test_merge_lists_maps_and_sub_messages():
    a, b, c = Leaf(n=1), Leaf(n=2), Leaf(n=3)
    src = Node(items=[a, b], nums=[4, 5], by_name={"x": Leaf(n=7), "y": Leaf(n=8)},
               tags={"k": 1, "new": 2}, leaf=Leaf(s="src"))  # fmt: skip
    kept = Leaf(n=9)
    dst = Node(items=[c], nums=[1], by_name={"x": Leaf(n=70, s="dst"), "z": kept},
               tags={"k": 0, "old": 3}, leaf=Leaf(n=5))  # fmt: skip
    dst_leaf = dst.leaf
    dst.merge_from(src)
    assert dst.items == [c, a, b] and dst.items[0] is c
    assert dst.items[1] is not a and dst.items[2] is not b  # message elements are deep copies
    assert dst.nums == [1, 4, 5]
    # Map values are replaced by copies, never merged; destination-only keys stay.
    assert dst.by_name == {"x": Leaf(n=7), "y": Leaf(n=8), "z": kept}
    assert dst.by_name["x"] is not src.by_name["x"] and dst.by_name["z"] is kept
    assert dst.tags == {"k": 1, "old": 3, "new": 2}
    # A sub-message already there is merged in place.
    assert dst.leaf is dst_leaf and dst.leaf == Leaf(n=5, s="src")
    assert src == Node(items=[a, b], nums=[4, 5], by_name={"x": Leaf(n=7), "y": Leaf(n=8)},
                       tags={"k": 1, "new": 2}, leaf=Leaf(s="src"))  # fmt: skip


def test_merge_creates_missing_sub_message_of_source_type_with_defaults():
    dst = Node(leaf=Leaf(n=1))
    dst.merge_from(Node(child=Node(name="kid", child=Node(count=3))))
    assert dst.leaf == Leaf(n=1)  # None in the source leaves it alone
    assert type(dst.child) is Node and dst.child.name == "kid" and dst.child.child.count == 3
    assert dst.child.items == [] and dst.child.tags == {}


def test_merge_presence_and_implicit_zero():
    src = Node(opt=0)  # count, name and real at their zero: unset, as on the wire
    dst = Node(count=5, name="keep", real=2.5)
    dst.merge_from(src)
    assert (dst.count, dst.name, dst.real, dst.opt, dst._present) == (5, "keep", 2.5, 0, [3])
    # Present in neither: a value stored without presence does not travel.
    hidden = Node()
    ext.generic_setattr(hidden, "opt", 42)
    dst = Node()
    dst.merge_from(hidden)
    assert dst.opt == 0 and not dst.has_field("opt")
    # -0.0 is a value of its own, as in the encoding.
    dst = Node(real=1.0)
    dst.merge_from(Node(real=-0.0))
    assert str(dst.real) == "-0.0"
    # Merging an empty message changes nothing.
    full = Node(name="x", count=1, opt=2, nums=[1], tags={"a": 1}, choice=Oneof("text", "t"))
    before = copy.deepcopy(full)
    full.merge_from(Node())
    assert full == before


def test_merge_oneofs():
    dst = Node(choice=Oneof("sub", Leaf(n=1)))
    inner = dst.choice.value
    dst.merge_from(Node(choice=Oneof("sub", Leaf(s="b"))))
    # The same message member on both sides merges, as a second occurrence on the wire does.
    assert dst.choice == Oneof("sub", Leaf(n=1, s="b")) and dst.choice.value is inner
    src = Node(choice=Oneof("text", "t"))
    dst.merge_from(src)
    assert dst.choice is src.choice
    src = Node(choice=Oneof("sub", Leaf(n=4)))
    dst.merge_from(src)
    assert dst.choice == src.choice and dst.choice.value is not src.choice.value


def test_merge_unknown_fields():
    src, dst = Node(), Node()
    src._get_or_init_unknown_fields().update({7: [record(7, 1)], 8: [record(8, 2)]})
    dst._get_or_init_unknown_fields()[7] = [record(7, 9)]
    dst.merge_from(src)
    assert torvex.unknown_fields(dst) == {7: [record(7, 9), record(7, 1)], 8: [record(8, 2)]}
    other = Node()
    other._merge_from(src, True)
    assert other._unknown_fields is None
    dst._merge_from(src, True)
    assert len(torvex.unknown_fields(dst)[7]) == 2


def test_merge_into_itself():
    m = Node(nums=[1, 2], items=[Leaf(n=1)], leaf=Leaf(n=3), tags={"a": 1})
    m._get_or_init_unknown_fields()[7] = [record(7, 1)]
    m.merge_from(m)
    assert m.nums == [1, 2, 1, 2] and len(m.items) == 2 and m.leaf == Leaf(n=3)
    assert m.tags == {"a": 1} and torvex.unknown_fields(m) == {7: [record(7, 1)] * 2}


@pytest.mark.parametrize(
    ("source", "text"),
    [
        (Leaf(), "invalid source message type, expected Node, got Leaf"),
        (Node.Inner(), "invalid source message type, expected Node, got Node.Inner"),
        (1, "'int' object is not an instance of 'NativeMessage'"),
        (None, "'None' is not an instance of 'NativeMessage'"),
    ],
)
def test_merge_source_type(source, text):
    with pytest.raises(TypeError, match=f"^{re.escape(text)}") as e:
        Node().merge_from(source)
    assert ("while processing 'source'" in getattr(e.value, "__notes__", [])) == (
        "invalid" not in text
    )


@pytest.mark.parametrize(
    ("attr", "junk", "expected"),
    [
        ("items", (), "list"),
        ("nums", "abc", "list"),
        ("tags", [("k", 1)], "dict"),
        ("by_name", None, "dict"),
        ("leaf", 5, "NativeMessage"),
    ],
)
def test_merge_refuses_wrong_containers_in_destination(attr, junk, expected):
    src = Node(items=[Leaf()], nums=[1], tags={"k": 1}, by_name={"k": Leaf()}, leaf=Leaf(n=1))
    dst = Node(name="before")
    ext.generic_setattr(dst, attr, junk)
    with pytest.raises(TypeError, match=f"is not an instance of '{expected}'"):
        dst._merge_from(src, False)
    assert getattr(dst, attr) is junk


def test_unknown_field_store_holding_junk():
    junk = Node()
    junk._get_or_init_unknown_fields()[7] = (record(7, 1),)
    for operation in (copy.copy, copy.deepcopy, Node().merge_from):
        with pytest.raises(TypeError, match="'tuple' object is not an instance of 'list'"):
            operation(junk)
    dst = Node()
    dst._get_or_init_unknown_fields()[7] = "junk"
    src = Node()
    src._get_or_init_unknown_fields()[7] = [record(7, 1)]
    with pytest.raises(TypeError, match="'str' object is not an instance of 'list'"):
        dst.merge_from(src)
    dst._merge_from(src, True)  # unknown fields ignored: nothing to check


def test_uninitialized_slot():
    bare = Node.__new__(Node)
    for operation in (copy.copy, copy.deepcopy, Node().merge_from):
        with pytest.raises(AttributeError, match="uninitialized slot"):
            operation(bare)


# ---- cycles and nesting --------------------------------------------------------------------


def test_deep_copies_are_tracked_and_their_cycles_collected():
    import gc
    import weakref

    src = Node(name="a", items=[Leaf(n=i) for i in range(50)], child=Node(leaf=Leaf()))
    for _ in range(3):
        out = copy.deepcopy(src)
        msgs = [out, out.child, out.child.leaf, *out.items]
        assert all(gc.is_tracked(m) for m in msgs)
        out.child.child = out
        refs = [weakref.ref(m) for m in msgs]
        del out, msgs
        gc.collect()
        assert [r() for r in refs] == [None] * len(refs)


def test_cycles_are_refused():
    m = Node(name="loop")
    m.child = m
    with pytest.raises(RecursionError, match="reference cycle while copying message"):
        copy.deepcopy(m)
    # Two references per level to the same cycle: refused at once, not after 2**100 steps.
    fan = Node()
    fan.items = [Leaf()]
    fan.child = Node(child=fan)
    ext.generic_setattr(fan, "by_name", {"a": fan, "b": fan})
    with pytest.raises(RecursionError, match="reference cycle while copying message"):
        copy.deepcopy(fan)
    # A list merged into itself through the cycle would double at every level.
    m.nums = [1, 2, 3]
    with pytest.raises(RecursionError, match="reference cycle while merging message"):
        m.merge_from(m)
    assert m.nums == [1, 2, 3]  # stopped at `child`, which comes before `nums`
    assert copy.copy(m).child is m  # a shallow copy does not recurse


def _link(a: Node, b: Node, via: str) -> None:
    if via == "child":
        a.child = b
    elif via == "items":
        a.items.append(b)
    else:  # stored as is: the schema's own types would refuse a Node there
        ext.generic_setattr(a, via, {"k": b} if via == "by_name" else Oneof("sub", b))


@pytest.mark.parametrize("length", [1, 2, 7, 8, 9, 13])
@pytest.mark.parametrize("via", ["child", "items", "by_name", "choice"])
def test_cycles_of_any_length_and_any_container_are_refused(length, via):
    ring = [Node(name=str(i)) for i in range(length)]
    for a, b in zip(ring, ring[1:] + ring[:1]):
        _link(a, b, via)
    for root in (ring[0], chain(3)):
        if root is not ring[0]:
            root.child.child.child.child = ring[0]
        with pytest.raises(RecursionError, match="^message graph has a reference cycle while copying"):
            copy.deepcopy(root)


def test_a_message_met_at_every_depth_is_no_cycle():
    # Shared, not an ancestor of itself: one copy per place it is met, down to the limit.
    shared = Leaf(n=7)
    dag = chain(98)
    node = dag
    while node.child is not None:
        node.leaf = shared
        node = node.child
    out = copy.deepcopy(dag)
    leaves = []
    node = out
    while node.child is not None:
        leaves.append(node.leaf)
        node = node.child
    assert len({id(x) for x in leaves}) == 98 and all(x == shared and x is not shared for x in leaves)


@pytest.mark.parametrize("operation", ["deepcopy", "merge"])
def test_nesting_limit(operation):
    def run(depth):
        msg = chain(depth)
        if operation == "deepcopy":
            return copy.deepcopy(msg)
        Node().merge_from(msg)

    run(100)
    doing = "copying" if operation == "deepcopy" else "merging"
    with pytest.raises(
        RecursionError, match=f"^exceeded maximum recursion depth 100 while {doing} message$"
    ):
        run(101)
    # A cyclic source merged into fresh messages builds one level per step up to the limit.
    m = Node()
    m.child = m
    with pytest.raises(RecursionError, match="maximum recursion depth 100 while merging"):
        Node().merge_from(m)


# ---- Python code running during the operations ---------------------------------------------


def test_python_code_mutating_the_source_during_copy_and_merge():
    victims: list[list] = []

    class Sneaky(torvex.Message, file=FILE):
        v: int = torvex.field(1, T.INT32)

        def __new__(cls, *args, **kwargs):
            for items in victims:
                items.clear()
            return super().__new__(cls)

    class Holder(torvex.Message, file=FILE):
        items: list[Sneaky] = torvex.repeated(1, Sneaky)
        more: dict[int, Sneaky] = torvex.map_field(2, T.INT32, Sneaky)

    src = Holder(items=[Sneaky(v=i) for i in range(5)], more={i: Sneaky(v=i) for i in range(5)})
    victims[:] = [src.items]
    dst = Holder()
    dst.merge_from(src)
    assert [s.v for s in dst.items] == [0] and src.items == []
    src.items = [Sneaky(v=i) for i in range(5)]
    victims[:] = [src.items]
    deep = copy.deepcopy(src)
    assert [s.v for s in deep.items] == list(range(5))  # copied from a private snapshot
    assert sorted(deep.more) == list(range(5))


def test_isinstance_answered_by_python_cannot_break_layout():
    class Liar(type):
        def __instancecheck__(cls, obj):
            return True

    cls = Liar("Liar", (ext.NativeMessage,), {"__slots__": ("a", "b")})
    desc(cls)
    finish(cls, [field(1, "a", scalar(5)), field(2, "b", scalar(9), EXPLICIT)])
    other = message_class("Other", [])
    finish(other, [])
    with pytest.raises(TypeError, match="'Other' object is not an instance of 'Liar'"):
        cls()._merge_from(other(), False)


# ---- copies --------------------------------------------------------------------------------


def test_shallow_and_deep_copy():
    m = Node(name="n", opt=1, items=[Leaf(n=1)], tags={"a": 1}, by_name={"k": Leaf(n=2)},
             leaf=Leaf(n=3), choice=Oneof("sub", Leaf(n=4)))  # fmt: skip
    m._get_or_init_unknown_fields()[50] = [record(50, 1)]
    shallow, deep = copy.copy(m), copy.deepcopy(m)
    for c in (shallow, deep):
        assert c == m and type(c) is Node and c._present == [3]
        assert torvex.unknown_fields(c) == torvex.unknown_fields(m)
        assert c._unknown_fields[50] is not m._unknown_fields[50]
    for name in ("items", "tags", "by_name", "leaf", "choice"):
        assert getattr(shallow, name) is getattr(m, name)
        assert getattr(deep, name) is not getattr(m, name)
    assert deep.items[0] is not m.items[0] and deep.by_name["k"] is not m.by_name["k"]
    assert deep.choice.value is not m.choice.value and deep.choice.field is m.choice.field
    text = Node(choice=Oneof("text", "t"))
    assert copy.deepcopy(text).choice is text.choice  # immutable Oneof: shared
    m.items.append(Leaf())
    assert len(shallow.items) == 2 and len(deep.items) == 1
    assert copy.copy(Node())._unknown_fields is None
    assert copy.deepcopy(Node())._unknown_fields is None


def test_deep_copy_rebuilds_container_subclasses_as_plain_ones():
    class MyList(list):
        pass

    class MyDict(dict):
        def __iter__(self):
            raise AssertionError("storage is read directly")

    m = Node(nums=MyList([1, 2]), tags=MyDict(a=1), items=MyList([Leaf(n=1)]))
    d = copy.deepcopy(m)
    assert type(d.nums) is list and type(d.tags) is dict and type(d.items) is list
    assert d.nums == [1, 2] and d.tags == {"a": 1} and d.items == [Leaf(n=1)]
    dst = Node()
    dst.merge_from(m)
    assert dst.tags == {"a": 1} and dst.nums == [1, 2]


def test_deep_copy_memo_is_kept_between_messages_not_inside_one():
    # copy.deepcopy's memo keeps what the caller shares; inside one message the copy is a tree.
    leaf = Leaf(n=1)
    m = Node(leaf=leaf, items=[leaf, leaf], by_name={"k": leaf})
    a, b, c = copy.deepcopy([m, m, leaf])
    assert a is b and c is not a.leaf and c == leaf
    parts = [a.leaf, *a.items, a.by_name["k"]]
    assert all(p == leaf and p is not leaf for p in parts)
    assert len({id(p) for p in parts}) == 4


class _Overriding:
    """Mixed into a native subclass: a deep copy made by its own __deepcopy__ is marked."""

    __slots__ = ()
    calls: list = []

    def __deepcopy__(self, memo):
        _Overriding.calls.append(memo)
        if self.n < 0:
            raise ValueError("refused")
        out = super().__deepcopy__(memo)
        out.n += 100
        return out


CLeaf = simple("CLeaf", [field(1, "n", scalar(5))])
SubLeaf = type("SubLeaf", (CLeaf,), {"__slots__": ()})
OwnLeaf = type("OwnLeaf", (_Overriding, CLeaf), {"__slots__": ()})
CHolder = simple("CHolder", [
    field(1, "one", message_value(CLeaf), EXPLICIT), field(2, "many", list_value(CLeaf)),
    field(3, "by_key", map_value(9, CLeaf)), field(4, "child", message_value(CLeaf), EXPLICIT),
])  # fmt: skip
PLACES = {
    "field": (lambda v: CHolder(one=v), lambda m: m.one),
    "list": (lambda v: CHolder(many=[CLeaf(n=7), v]), lambda m: m.many[1]),
    "map": (lambda v: CHolder(by_key={"k": v}), lambda m: m.by_key["k"]),
}


@pytest.mark.parametrize("place", PLACES)
def test_deep_copy_keeps_subclasses_and_calls_their_own_deepcopy(place):
    build, get = PLACES[place]
    m = build(SubLeaf(n=1))
    d = copy.deepcopy(m)
    assert type(get(d)) is SubLeaf and get(d).n == 1 and get(d) is not get(m)
    _Overriding.calls.clear()
    m, memo = build(OwnLeaf(n=2)), {}
    d = copy.deepcopy(m, memo)
    assert type(get(d)) is OwnLeaf and get(d).n == 102 and get(m).n == 2
    assert len(_Overriding.calls) == 1 and _Overriding.calls[0] is memo
    # Called without a memo (as the well-known-type helpers do), it gets a dict of its own.
    assert get(m.__deepcopy__(None)).n == 102 and type(_Overriding.calls[1]) is dict
    # merge_from copies natively and keeps the class.
    dst = CHolder()
    dst._merge_from(m, False)
    assert type(get(dst)) is OwnLeaf and get(dst).n == 2 and len(_Overriding.calls) == 2
    with pytest.raises(ValueError, match="refused"):
        copy.deepcopy(build(OwnLeaf(n=-1)))


Link = message_class("Link", ["n", "next"])
desc(Link)
finish(Link, [field(1, "n", scalar(5)), field(2, "next", message_value(Link), EXPLICIT)])
OwnLink = type("OwnLink", (_Overriding, Link), {"__slots__": ()})


def test_copies_by_overrides_keep_the_nesting_limit():
    # Native copies and overriding __deepcopy__ methods alternate down the chain; the limit
    # counts them together.
    def chain(depth: int):
        node = Link(n=depth)
        for i in reversed(range(depth)):
            node = (OwnLink if i % 2 else Link)(n=i, next=node)
        return node

    d = copy.deepcopy(chain(100))
    for i in range(101):
        assert d.n == i + 100 * (i % 2) and type(d) is (OwnLink if i % 2 else Link)
        d = d.next
    for depth in (101, 150):
        with pytest.raises(RecursionError, match="maximum recursion depth 100 while copying"):
            copy.deepcopy(chain(depth))
    a = OwnLink(n=1)
    a.next = Link(next=a)
    with pytest.raises(RecursionError):
        copy.deepcopy(a)
    a.next = None  # break the cycle
    _Overriding.calls.clear()


def test_deep_copy_of_many_message_classes():
    # More classes than a copy remembers: later ones are classified on every meeting.
    classes = [type(f"Leaf{i}", (_Overriding, CLeaf) if i % 3 == 0 else (CLeaf,), {"__slots__": ()})
               for i in range(20)]  # fmt: skip
    m = CHolder(many=[cls(n=i) for i, cls in enumerate(classes)] * 2)
    counts = [sys.getrefcount(cls) for cls in classes]
    d = copy.deepcopy(m)
    assert [type(x) for x in d.many] == [type(x) for x in m.many]
    assert [x.n for x in d.many] == [i + 100 * (i % 3 == 0) for i in range(20)] * 2
    assert not any(x is y for x, y in zip(d.many, m.many))
    _Overriding.calls.clear()  # the memos hold the copy
    del d
    assert [sys.getrefcount(cls) for cls in classes] == counts


# ---- everyday API --------------------------------------------------------------------------


def test_clear():
    m = Node(name="x", opt=3, nums=[1], tags={"a": 1}, choice=Oneof("text", "t"), leaf=Leaf())
    m._get_or_init_unknown_fields()[50] = [record(50, 1)]
    nums = m.nums
    m.clear()
    assert m == Node() and m._present == [] and torvex.unknown_fields(m) == {}
    assert nums == [1] and m.nums == [] and m.to_binary() == b""


@pytest.mark.parametrize("protocol", range(pickle.HIGHEST_PROTOCOL + 1))
def test_pickle_round_trip(protocol):
    m = Node(name="p", opt=0, items=[Leaf(n=1)], by_name={"k": Leaf(s="v")},
             choice=Oneof("sub", Leaf(n=2)), child=Node(real=-0.0))  # fmt: skip
    m._get_or_init_unknown_fields()[50] = [record(50, 1)]
    m.child._get_or_init_unknown_fields()[51] = [record(51, 2)]
    back = pickle.loads(pickle.dumps(m, protocol))
    assert back == m and back.has_field("opt") and str(back.child.real) == "-0.0"
    assert torvex.unknown_fields(back) == {50: [record(50, 1)]}
    assert torvex.unknown_fields(back.child) == {51: [record(51, 2)]}
    inner = Node.Inner(v=0)
    assert pickle.loads(pickle.dumps(inner, protocol)).has_field("v")


def test_messages_are_unhashable():
    assert Node.__hash__ is None and torvex.Message.__hash__ is None
    with pytest.raises(TypeError, match="unhashable"):
        hash(Node())


def test_public_accessors():
    assert torvex.descriptor(Node) is torvex.descriptor(Node()) is Node._desc
    assert torvex.descriptor(Node).type_name == "merge.Node"
    with pytest.raises(TypeError):
        torvex.descriptor(int)
    with pytest.raises(TypeError):
        torvex.unknown_fields(object())
    m = Node()
    assert torvex.unknown_fields(m) == {} and m._unknown_fields is None
    m._get_or_init_unknown_fields()[5] = [b"\x28\x01"]
    view = torvex.unknown_fields(m)
    view[5].append(b"x")
    assert m._unknown_fields == {5: [b"\x28\x01"]}


def test_no_references_leak_on_success_or_failure():
    text, leaf = "a shared value", Leaf(n=1)
    src = Node(name=text, items=[leaf], nums=[7], tags={text: 1}, by_name={text: leaf},
               choice=Oneof("text", text), child=Node(name=text))  # fmt: skip
    src._get_or_init_unknown_fields()[50] = [record(50, 1)]
    bad = Node()
    ext.generic_setattr(bad, "tags", ())  # merging src into it fails after `items` and `nums`

    def run():
        for _ in range(20):
            copy.copy(src), copy.deepcopy(src)
            Node().merge_from(src)
            with pytest.raises(TypeError):
                bad.merge_from(src)
            bad.items.clear()
            bad.nums.clear()

    run()
    counts = sys.getrefcount(text), sys.getrefcount(leaf), sys.getrefcount(src.items)
    run()
    assert (sys.getrefcount(text), sys.getrefcount(leaf), sys.getrefcount(src.items)) == counts
