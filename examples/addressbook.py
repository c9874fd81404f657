"""An address book schema declared with torvex, a sample instance, and what was built."""

from __future__ import annotations

import copy
import pickle

import torvex
from torvex import Presence
from torvex import ScalarType as T
from torvex._descriptors import DescField

FILE = torvex.File("example/addressbook.proto", package="example")


class PhoneType(torvex.Enum, file=FILE):
    PHONE_TYPE_UNSPECIFIED = 0
    PHONE_TYPE_MOBILE = 1
    PHONE_TYPE_HOME = 2
    PHONE_TYPE_WORK = 3


class Person(torvex.Message, file=FILE):
    name: str = torvex.field(1, T.STRING)
    id: int = torvex.field(2, T.INT32)
    email: str = torvex.field(3, T.STRING, optional=True)
    phones: list[Person.PhoneNumber] = torvex.repeated(4, "PhoneNumber")
    labels: dict[str, int] = torvex.map_field(5, T.STRING, T.INT32)
    contact: torvex.Oneof | None = torvex.oneof(
        home_address=torvex.field(6, "Address"),
        work_email=torvex.field(7, T.STRING),
    )
    # Refers to its own type.
    manager: Person | None = torvex.field(8, "Person")
    # "from" is a Python keyword: the attribute is from_, the proto field stays "from".
    from_: str = torvex.field(9, T.STRING)

    class PhoneNumber(torvex.Message):
        number: str = torvex.field(1, T.STRING)
        kind: PhoneType = torvex.field(2, PhoneType)


class Address(torvex.Message, file=FILE):
    street: str = torvex.field(1, T.STRING)
    city: str = torvex.field(2, T.STRING)
    postal_code: str = torvex.field(3, T.STRING)


class AddressBook(torvex.Message, file=FILE):
    people: list[Person] = torvex.repeated(1, Person)
    owner_id: int = torvex.field(2, T.INT64)


def describe_field(f: DescField) -> str:
    # A field's value descriptor reads as "<scalar string>", "<list of example.Person>", ...
    text = repr(f.value).strip("<>")
    if getattr(f.value, "packed", False):
        text += " [packed]"
    if f.oneof is not None:
        text += f" (oneof {f.oneof.name})"
    return text


def print_message_type(cls: type[torvex.Message]) -> None:
    desc = torvex.descriptor(cls)
    print(f"message {desc.type_name}  [{desc.file and desc.file.name}]")
    for f in desc.fields:
        presence = Presence(f.presence).name.lower()
        print(
            f"  {f.number:>2}  {f.local_name:<13} {describe_field(f):<42} "
            f"{presence:<9} json={f.json_name}"
        )


def main() -> None:
    phone_type = torvex.descriptor(PhoneType)
    print(f"enum {phone_type.type_name}  (open={phone_type.open})")
    for value in phone_type.values:
        print(f"  {value.number:>2}  {value.name}")
    print()
    for cls in (Person, Person.PhoneNumber, Address, AddressBook):
        print_message_type(cls)
        print()

    boss = Person(name="Grace", id=1, email="grace@example.com")
    ada = Person(
        name="Ada",
        id=2,
        phones=[
            Person.PhoneNumber(number="555-0100", kind=PhoneType.PHONE_TYPE_MOBILE),
            Person.PhoneNumber(number="555-0199", kind=PhoneType.PHONE_TYPE_WORK),
        ],
        labels={"team": 7},
        contact=torvex.Oneof("home_address", Address(street="1 Analytical Way", city="London")),
        manager=boss,
        from_="Cambridge",
    )
    book = AddressBook(people=[boss, ada], owner_id=42)
    print("built:", book)
    print("ada has email:", ada.has_field("email"), "| boss has email:", boss.has_field("email"))
    match ada.contact:
        case torvex.Oneof("home_address", address):
            print("ada lives in", address.city)
        case torvex.Oneof("work_email", email):
            print("ada works at", email)
    # An open enum keeps numbers it does not list.
    print("unlisted phone type:", repr(PhoneType(9)))

    # Binary round trip: encode, decode, compare; unknown fields survive a narrower schema.
    data = book.to_binary()
    again = AddressBook.from_binary(data)
    print(f"encoded: {len(data)} bytes: {data[:32].hex(' ')} ...")
    print("decoded copy equals original:", again == book)
    print("decoded:", again.people[1].phones[1], "| labels:", again.people[1].labels)
    narrow = Address.from_binary(Address(street="Main St").to_binary() + b"\xa0\x06\x01")
    print("unknown fields kept:", torvex.unknown_fields(narrow), "->", narrow.to_binary().hex(" "))

    # Merge, copies and pickling.
    update = Person(phones=[Person.PhoneNumber(number="555-0123")], labels={"team": 8})
    merged = copy.deepcopy(ada)
    merged.merge_from(update)
    print("merged:", len(merged.phones), "phones, labels", merged.labels, "| ada unchanged:",
          len(ada.phones), "phones")  # fmt: skip
    shallow = copy.copy(ada)
    print("shallow copy shares the phone list:", shallow.phones is ada.phones,
          "| deep copy does not:", merged.phones is ada.phones)  # fmt: skip
    print("pickle round trip equal:", pickle.loads(pickle.dumps(book)) == book)
    merged.clear()
    print("cleared:", merged, "| equals Person():", merged == Person())

    # JSON (proto3 mapping): compact text, or the same document as plain Python values.
    print("json:", ada.to_json())
    print("json, proto names, enums as numbers:",
          ada.phones[0].to_json(use_proto_field_name=True, print_enums_as_ints=True))  # fmt: skip
    print("dict with implicit fields:", Address(city="Paris").to_dict(always_emit_implicit=True))
    print("JSON round trip equals original:", AddressBook.from_json(book.to_json()) == book,
          "| from dict:", AddressBook.from_dict(book.to_dict()) == book)  # fmt: skip

if __name__ == "__main__":
    main()
