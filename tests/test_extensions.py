"""Extensions (item access on messages, binary interop with Google's runtime) and Registry."""

from __future__ import annotations

import json
import sys
import types

import pytest
from google.protobuf import descriptor_pb2 as pb
from google.protobuf import descriptor_pool, json_format, message_factory
from hypothesis import given
from hypothesis import strategies as st

import torvex
from torvex import Extension, Registry, wkt
from torvex import ScalarType as T

FILE = torvex.File("exttest/base.proto", package="exttest", syntax="proto2")


class Color(torvex.Enum, file=FILE):
    RED = 1
    GREEN = 2


class Person(torvex.Message, file=FILE):
    name: str = torvex.field(1, T.STRING)

    class Note(torvex.Message):
        text: str = torvex.field(1, T.STRING)


nick = Extension("exttest.nick", 100, T.STRING, extendee=Person)
tags = Extension("exttest.tags", 101, T.SINT32, extendee="exttest.Person", repeated=True)
packed = Extension("exttest.packed", 102, T.FIXED64, extendee=Person, repeated=True, packed=True)
note = Extension("exttest.note", 103, "exttest.Person.Note", extendee=Person)
notes = Extension("exttest.notes", 104, Person.Note, extendee=Person, repeated=True)
color = Extension("exttest.color", 105, Color, extendee=Person, default=2)
group = Extension("exttest.group", 106, Person.Note, extendee=Person, delimited=True)
score = Extension("exttest.score", 107, T.DOUBLE, extendee=Person, default=1.5)
ALL = [nick, tags, packed, note, notes, color, group, score]


def _google_person():
    """The same schema in Google's runtime, built from a descriptor at run time."""
    F = pb.FieldDescriptorProto
    fdp = pb.FileDescriptorProto(name="exttest_peer.proto", package="exttest", syntax="proto2")
    person = fdp.message_type.add(name="Person")
    person.field.add(name="name", number=1, type=F.TYPE_STRING, label=F.LABEL_OPTIONAL)
    person.extension_range.add(start=100, end=200)
    person.nested_type.add(name="Note").field.add(
        name="text", number=1, type=F.TYPE_STRING, label=F.LABEL_OPTIONAL
    )
    enum = fdp.enum_type.add(name="Color")
    enum.value.add(name="RED", number=1)
    enum.value.add(name="GREEN", number=2)
    specs = [
        ("nick", 100, F.TYPE_STRING, F.LABEL_OPTIONAL, {}),
        ("tags", 101, F.TYPE_SINT32, F.LABEL_REPEATED, {}),
        ("packed", 102, F.TYPE_FIXED64, F.LABEL_REPEATED, {"packed": True}),
        ("note", 103, F.TYPE_MESSAGE, F.LABEL_OPTIONAL, {"type_name": ".exttest.Person.Note"}),
        ("notes", 104, F.TYPE_MESSAGE, F.LABEL_REPEATED, {"type_name": ".exttest.Person.Note"}),
        ("color", 105, F.TYPE_ENUM, F.LABEL_OPTIONAL, {"type_name": ".exttest.Color"}),
        ("group", 106, F.TYPE_GROUP, F.LABEL_OPTIONAL, {"type_name": ".exttest.Person.Note"}),
        ("score", 107, F.TYPE_DOUBLE, F.LABEL_OPTIONAL, {}),
    ]
    for name, number, typ, label, extra in specs:
        ext = fdp.extension.add(
            name=name, number=number, type=typ, label=label, extendee=".exttest.Person"
        )
        if extra.pop("packed", False):
            ext.options.packed = True
        for k, v in extra.items():
            setattr(ext, k, v)
    pool = descriptor_pool.DescriptorPool()
    fd = pool.Add(fdp)
    cls = message_factory.GetMessageClass(pool.FindMessageTypeByName("exttest.Person"))
    exts = {e.name: e for e in fd.extensions_by_name.values()}
    return cls, exts, pool


GPerson, GEXT, GPOOL = _google_person()
REG = Registry(sys.modules[__name__])

values = st.fixed_dictionaries(
    {},
    optional={
        "nick": st.text(max_size=5),
        "tags": st.lists(st.integers(-(2**31), 2**31 - 1), max_size=4),
        "packed": st.lists(st.integers(0, 2**64 - 1), min_size=1, max_size=4),
        "note": st.text(max_size=4),
        "notes": st.lists(st.text(max_size=3), max_size=3),
        "color": st.sampled_from([1, 2]),
        "group": st.text(max_size=4),
        "score": st.floats(allow_nan=False),
    },
)
BY_NAME = {e.name: e for e in ALL}


def _ours(name, v):
    return Person.Note(text=v) if name in ("note", "group") else v


@given(values)
def test_round_trip_and_google_interop(vals):
    msg = Person(name="n")
    g = GPerson(name="n")
    for name, v in vals.items():
        ext = BY_NAME[name]
        if name in ("note", "group"):
            msg[ext] = Person.Note(text=v)
            g.Extensions[GEXT[name]].text = v
        elif name == "notes":
            msg[ext] = [Person.Note(text=t) for t in v]
            for t in v:  # (extending by nothing would make Google write an empty list)
                g.Extensions[GEXT[name]].add(text=t)
        elif ext.repeated:
            msg[ext] = v
            if v:
                g.Extensions[GEXT[name]].extend(v)
        else:
            msg[ext] = v
            g.Extensions[GEXT[name]] = v
    data = msg.to_binary()
    # Extensions set in Google's order of numbers give the same bytes in the same order.
    assert data == g.SerializeToString()
    back = Person.from_binary(data)
    assert back.to_binary() == data
    for ext in ALL:
        assert (ext in back) == (ext.name in vals and vals[ext.name] != [])
        expected = vals.get(ext.name)
        if expected is None:
            assert back[ext] == ext.default_value()
        elif ext.name == "notes":
            assert back[ext] == [Person.Note(text=t) for t in expected]
        else:
            assert back[ext] == _ours(ext.name, expected)
    assert GPerson.FromString(data) == g
    # JSON: "[full.name]" keys through the registry, the same document as Google's.
    doc = json.loads(msg.to_json(registry=REG))
    assert doc == json.loads(json_format.MessageToJson(g, descriptor_pool=GPOOL))
    assert Person.from_json(json.dumps(doc), registry=REG).to_binary() == data
    assert Person._from_json_value(doc, registry=REG) == back


def test_defaults_and_deletion():
    msg = Person()
    got = (msg[nick], msg[tags], msg[note], msg[color], msg[score])
    assert got == ("", [], None, Color.GREEN, 1.5)
    assert nick not in msg and msg._unknown_fields is None
    msg[nick] = ""  # explicit presence: an empty string is still written
    assert nick in msg and msg.to_binary() == b"\xa2\x06\x00"
    msg[nick] = "b"
    assert msg._unknown_fields[100] == [b"\xa2\x06\x01b"]  # replaced, not appended
    del msg[nick]
    del msg[nick]  # deleting an absent extension is fine
    assert nick not in msg and msg.to_binary() == b""
    msg[tags] = [1]
    msg[tags] = []
    assert tags not in msg


def test_records_read_as_the_standard_merges_them():
    # Two occurrences of a singular field: the last wins; of a message: merged.
    data = b"\xa2\x06\x01a\xa2\x06\x01b" + b"\xba\x06\x03\x0a\x01x" + b"\xba\x06\x00"
    msg = Person.from_binary(data)
    assert msg[nick] == "b" and msg[note] == Person.Note(text="x")
    assert msg.to_binary() == data  # untouched records stay byte-exact
    # A packed extension also accepts unpacked records and vice versa.
    msg = Person.from_binary(b"\xa8\x06\x02\xaa\x06\x02\x04\x06")
    assert msg[tags] == [1, 2, 3]


@pytest.mark.parametrize(
    ("ext", "value", "exc"),
    [
        (nick, 5, TypeError),
        (tags, 5, TypeError),
        (tags, ["x"], TypeError),
        (color, 7, ValueError),  # closed enum
        (note, Person(), TypeError),
        (packed, [-1], OverflowError),
    ],
)
def test_bad_values_leave_the_message_unchanged(ext, value, exc):
    msg = Person()
    msg[nick] = "keep"
    before = msg.to_binary()
    with pytest.raises(exc):
        msg[ext] = value
    assert msg.to_binary() == before


def test_item_access_errors():
    other = wkt.Empty()
    with pytest.raises(KeyError, match="extends exttest.Person, not google.protobuf.Empty"):
        other[nick]
    with pytest.raises(KeyError):
        other[nick] = "x"
    with pytest.raises(TypeError, match="torvex.Extension"):
        Person()["name"]
    with pytest.raises(TypeError):
        iter(Person())


@pytest.mark.parametrize(
    ("args", "kwargs", "exc"),
    [
        (("x.a", 0, T.INT32), {"extendee": Person}, ValueError),
        (("x.a", 19000, T.INT32), {"extendee": Person}, ValueError),
        (("x.a", 5, 11), {"extendee": Person}, ValueError),
        (("x.a", 5, T.INT32), {"extendee": 3}, TypeError),
        (("", 5, T.INT32), {"extendee": Person}, TypeError),
        (("x.a", 5, T.INT32), {"extendee": Person, "repeated": True, "default": 1}, TypeError),
        (("x.a", 5, T.INT32), {"extendee": Person, "packed": True}, TypeError),
    ],
)
def test_bad_declarations(args, kwargs, exc):
    with pytest.raises(exc):
        Extension(*args, **kwargs)


def test_lazy_type_errors_surface_on_use():
    ext = Extension("exttest.later", 150, "exttest.NotYet", extendee=Person)
    with pytest.raises(TypeError, match="not defined"):
        Person()[ext]
    bad_default = Extension("exttest.bad", 151, T.INT32, extendee=Person, default="x")
    with pytest.raises(TypeError, match="default"):
        Person()[bad_default]


def test_codec_facing_attributes():
    assert nick.type is nick and nick.type_name == "exttest.nick"
    assert note.extendee is Person._desc
    assert Extension("a.b", 5, T.INT32, extendee="nowhere.M").extendee.type_name == "nowhere.M"
    assert tags.value.element is T.SINT32 and not tags.value.packed
    assert packed.value.packed and note.value.message is Person.Note._desc


class TestRegistry:
    def test_protocol(self):
        r = Registry(Person, nick, tags)
        assert r.message("exttest.Person") is Person._desc
        assert r.message("exttest.Person.Note") is Person.Note._desc  # nested types come along
        assert r.message("exttest.Missing") is None
        assert r.extension("exttest.nick") is nick and r.extension("exttest.note") is None
        assert r.extension_for(Person._desc, 101) is tags
        assert r.extension_for(Person._desc, 103) is None
        assert r.extension_for(wkt.Empty._desc, 100) is None

    def test_modules_and_merging(self):
        r = Registry(sys.modules[__name__], wkt)
        assert r.message("google.protobuf.Timestamp") is wkt.Timestamp._desc
        assert all(r.extension(e.full_name) is e for e in ALL)
        assert Registry(r).add(Person, nick) is not None  # same definitions again: harmless
        assert len(Registry(r)) == len(r)
        with pytest.raises(TypeError, match="not int"):
            Registry(5)

    def test_conflicting_definitions(self):
        twin_file = torvex.File("exttest/twin.proto", package="exttest", syntax="proto2")
        ns = {"__module__": __name__, "name": torvex.field(2, T.STRING)}
        twin = type(Person)("Person", (torvex.Message,), ns, file=twin_file)
        with pytest.raises(ValueError, match="different definition"):
            Registry(Person, twin)
        same_file = torvex.File("exttest/base.proto", package="exttest", syntax="proto2")
        ns = {"__module__": __name__, "name": torvex.field(1, T.STRING)}
        copy = type(Person)("Person", (torvex.Message,), ns, file=same_file)
        assert Registry(Person, copy).message("exttest.Person") is Person._desc
        clash = Extension("exttest.nick", 100, T.BYTES, extendee=Person)
        with pytest.raises(ValueError, match="different definition"):
            Registry(nick, clash)
        same_number = Extension("exttest.other", 100, T.STRING, extendee=Person)
        with pytest.raises(ValueError, match="already registered as extension exttest.nick"):
            Registry(nick, same_number)

    def test_module_scan_skips_non_torvex_objects(self):
        mod = types.ModuleType("scratch")
        mod.x, mod.Color, mod.nick = 1, Color, nick
        r = Registry(mod)
        assert len(r) == 1 and r.extension("exttest.nick") is nick


def test_json_extension_keys_need_a_registry_that_knows_them():
    msg = Person(name="n")
    msg[nick] = "x"
    # A registry passed is used as given; without one, the default registry knows every
    # extension (see test_interop).
    assert json.loads(msg.to_json(registry=Registry())) == {"name": "n"}
    assert json.loads(msg.to_json(registry=REG)) == {"name": "n", "[exttest.nick]": "x"}
    with pytest.raises(ValueError, match="key: '\\[exttest.nick\\]' is unknown"):
        Person.from_json('{"[exttest.nick]": "x"}', registry=Registry())
    with pytest.raises(ValueError, match="'a' for extension exttest.tags"):
        Person.from_json('{"[exttest.tags]": ["a"]}', registry=REG)
