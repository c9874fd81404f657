"""The Oneof value class."""

import pytest

from _torvex_ext import Oneof


def test_construction_and_readonly_attributes():
    for o in (Oneof("a", 1), Oneof(value=1, field="a"), Oneof("a", value=1)):
        assert (o.field, o.value) == ("a", 1)
    o = Oneof("a", 1)
    for attr in ("field", "value"):
        with pytest.raises(AttributeError):
            setattr(o, attr, 2)
        with pytest.raises(AttributeError):
            delattr(o, attr)
    with pytest.raises(AttributeError):
        o.other = 1
    assert not hasattr(o, "__dict__")
    with pytest.raises(TypeError):
        import weakref

        weakref.ref(o)


def test_repr_and_equality():
    assert repr(Oneof("a", 1)) == "Oneof(field='a', value=1)"
    assert Oneof("a", 1) == Oneof("a", 1)
    assert Oneof("a", 1) != Oneof("a", 2)
    assert Oneof("a", 1) != Oneof("b", 1)
    assert (Oneof("a", 1) == ("a", 1)) is False
    assert (Oneof("a", 1) != ("a", 1)) is True
    nan = float("nan")
    assert Oneof("a", nan) != Oneof("a", nan)  # == on the values, no identity shortcut
    with pytest.raises(TypeError):
        hash(Oneof("a", 1))
    with pytest.raises(TypeError):
        Oneof("a", 1) < Oneof("a", 2)


def test_errors_from_contained_objects_propagate():
    class Boom:
        def __eq__(self, other):
            raise RuntimeError("eq")

        def __repr__(self):
            raise RuntimeError("repr")

    with pytest.raises(RuntimeError, match="eq"):
        Oneof("a", Boom()) == Oneof("a", Boom())
    with pytest.raises(RuntimeError, match="repr"):
        repr(Oneof("a", Boom()))


def test_pattern_matching_and_generic_alias():
    match Oneof("name", 5):
        case Oneof("name", v):
            positional = v
    match Oneof("name", 5):
        case Oneof(field="name", value=v):
            keyword = v
    assert positional == keyword == 5
    assert Oneof.__match_args__ == ("field", "value")
    alias = Oneof[int]
    assert alias.__origin__ is Oneof and alias.__args__ == (int,)


def test_reference_counts():
    import sys

    field, value = "some_field", object()
    before = sys.getrefcount(field), sys.getrefcount(value)
    counts = sys.getrefcount(Oneof)
    for _ in range(3):  # the later rounds reuse the memory of the earlier ones
        objs = [Oneof(field, value) for _ in range(300)]
        assert sys.getrefcount(value) == before[1] + 300
        del objs
    assert (sys.getrefcount(field), sys.getrefcount(value)) == before
    assert sys.getrefcount(Oneof) == counts


def test_cycles_are_collected():
    import gc
    import weakref

    class Box:
        pass

    box = Box()
    box.o = Oneof("a", box)
    ref = weakref.ref(box)
    del box
    gc.collect()
    assert ref() is None


@pytest.mark.parametrize(
    ("field", "value", "tracked"),
    [("a", 1, False), ("a", 2.5, False), ("a", "s", False), ("a", b"b", False),
     ("a", True, False), ("a", None, False), ("a", 10**40, False), ("a", [], True),
     ("a", (1,), True), ("a", object(), True), (1, 1, True)],
)  # fmt: skip
def test_only_pairs_that_can_be_in_a_cycle_are_tracked(field, value, tracked):
    import gc

    # Also when made from the memory of freed ones, tracked or not.
    freed = [Oneof("f", v) for v in (1, [], None, ()) * 100]
    del freed
    assert gc.is_tracked(Oneof(field, value)) is tracked


def test_module_alias():
    from torvex._oneof import Oneof as Reexported

    assert Reexported is Oneof


def test_serialisation_refuses_oneof_naming_a_field_outside_the_oneof():
    from schema_helpers import EXPLICIT, DescOneof, field, scalar, simple

    first, second = DescOneof("first", "first"), DescOneof("second", "second")
    cls = simple("TwoOneofs", [
        field(1, "a", scalar(5, first), EXPLICIT),
        field(2, "b", scalar(5, second), EXPLICIT),
        field(3, "plain", scalar(5)),
    ], oneofs=[first, second])
    assert cls(first=Oneof("a", 1)).to_binary() == b"\x08\x01"
    # Naming a real field that is not a member would write nothing: refused, not dropped.
    for bad in (Oneof("b", 1), Oneof("plain", 1)):
        with pytest.raises(ValueError, match=f"^unknown oneof field '{bad.field}'$"):
            cls(first=bad).to_binary()
    with pytest.raises(ValueError, match="^unknown oneof field 'zzz'$"):
        cls(first=Oneof("zzz", 1)).to_binary()
    with pytest.raises(TypeError, match="^expected Oneof, got '<class 'int'>'$"):
        cls(first=5).to_binary()


def _oneof_schema(oneofs: int, plain: bool = True):
    """A class with `oneofs` oneofs of three members each, plain fields between them (or none),
    and a class holding a list of it."""
    import torvex
    from torvex import ScalarType as T

    file = torvex.File(f"tests/oneofs{oneofs}{plain}.proto", package=f"oneofs{oneofs}{plain}")

    class Leaf(torvex.Message, file=file):
        n: int = torvex.field(1, T.INT32)

    def message(name: str, first: int) -> type:
        annotations, body = {}, {}
        for k in range(oneofs):
            base = 10 * k + first
            body[f"o{k}"] = torvex.oneof(**{
                f"i{k}": torvex.field(base, T.SINT64), f"s{k}": torvex.field(base + 1, T.STRING),
                f"m{k}": torvex.field(base + 2, Leaf)})  # fmt: skip
            annotations[f"o{k}"] = "torvex.Oneof | None"
            if plain:
                body[f"p{k}"] = torvex.field(base + 5, T.INT32)
                annotations[f"p{k}"] = "int"
        body["__annotations__"] = annotations
        return type(torvex.Message)(name, (torvex.Message,), body, file=file)

    # The twin's members have the same names and other numbers.
    many, twin = message("Many", 1), message("Twin", 3)
    batch = type(torvex.Message)("Batch", (torvex.Message,), {
        "__annotations__": {"items": "list[Many]", "twins": "list[Twin]"},
        "items": torvex.repeated(1, many), "twins": torvex.repeated(2, twin)}, file=file)
    return Leaf, many, twin, batch


@pytest.mark.parametrize("plain", [True, False], ids=["with_plain_fields", "oneofs_only"])
@pytest.mark.parametrize("oneofs", [1, 4, 6])
def test_encoding_reads_each_oneof_by_any_equal_name(oneofs, plain):
    """Members named by the interned name, an equal copy or a str subclass encode alike, in
    field order, matching the peer, alone and as a batch of messages choosing differently;
    oneofs past the per-message fast limit included."""
    import random
    import sys

    from peer import to_peer

    class Name(str):
        pass

    leaf_cls, cls, twin_cls, batch_cls = _oneof_schema(oneofs, plain)
    rng = random.Random(oneofs)
    batch = []
    for _ in range(60):
        values, kinds = {}, []
        for k in range(oneofs):
            if plain:
                values[f"p{k}"] = rng.randint(-3, 3)
            kind = rng.choice("ism-")
            kinds.append(kind)
            if kind != "-":
                member = {"i": rng.randint(-(2**40), 2**40), "s": rng.choice(["", "x", "é"]),
                          "m": leaf_cls(n=rng.randint(0, 9))}[kind]  # fmt: skip
                values[f"o{k}"] = (f"{kind}{k}", member)
        encodings = set()
        for form in (sys.intern, lambda s: "".join(list(s)), Name):
            msg = cls(**{k: Oneof(form(v[0]), v[1]) if isinstance(v, tuple) else v
                         for k, v in values.items()})  # fmt: skip
            encodings.add(msg.to_binary())
            if form is sys.intern:
                batch.append(msg)
        assert len(encodings) == 1, kinds
        assert encodings.pop() == to_peer(msg).SerializeToString(), kinds
    # Then messages of another type whose members have the same names.
    names = [f"{c}{k}" for k in range(oneofs) for c in ("op" if plain else "o")]
    twins = [twin_cls(**{k: getattr(m, k) for k in names}) for m in batch[::-1]]
    whole = batch_cls(items=batch, twins=twins)
    assert whole.to_binary() == to_peer(whole).SerializeToString()
