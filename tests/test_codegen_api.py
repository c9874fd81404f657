"""The declarative API as generated code uses it: references by full name across files,
completion of a file, and full names defined twice."""

from __future__ import annotations

import itertools

import pytest

import torvex
from torvex import ScalarType as T

_n = itertools.count()


def files(count: int, package: str) -> list[torvex.File]:
    n = next(_n)
    return [torvex.File(f"api/{n}_{i}.proto", package=f"{package}{n}") for i in range(count)]


def test_references_by_full_name_resolve_across_files():
    money_file, order_file = files(2, "shop")
    pkg = money_file.package

    class Money(torvex.Message, file=money_file):
        units: int = torvex.field(1, T.INT64)

    class Order(torvex.Message, file=order_file):
        # Relative to the package, as proto scoping reads it, and fully qualified.
        items: list[Money] = torvex.repeated(1, "Money")
        total: Money | None = torvex.field(2, f".{pkg}.Money")

    order_file.complete()
    fields = Order._desc._fields_by_name
    assert fields["items"].value.element is Money._desc
    assert fields["total"].value.message is Money._desc
    order = Order.from_binary(Order(items=[Money(units=3)]).to_binary())
    assert order.items == [Money(units=3)]


def test_inner_scope_defined_later_wins_over_outer_scope_of_another_file():
    other, own = files(2, "pick")
    own.package = other.package + ".sub"

    class Target(torvex.Message, file=other):
        a: int = torvex.field(1, T.INT32)

    class User(torvex.Message, file=own):
        t: Target | None = torvex.field(1, "Target")  # defined below, in this file

    class Target(torvex.Message, file=own):  # type: ignore[no-redef]  # noqa: F811
        b: str = torvex.field(1, T.STRING)

    own.complete()
    assert User._desc.fields[0].value.message is Target._desc
    assert Target._desc.file is own


def test_unresolved_reference_fails_completion_naming_field_and_type():
    (f,) = files(1, "missing")

    class Broken(torvex.Message, file=f):
        ok: int = torvex.field(1, T.INT32)
        ghost: list[int] = torvex.repeated(2, "nowhere.Ghost")

    with pytest.raises(TypeError, match=r"Broken.*'ghost'.*'nowhere\.Ghost'.*not defined"):
        f.complete()
    # The broken type is gone: its name does not resolve any more.
    assert f"{f.package}.Broken" not in f._types


def test_full_name_defined_twice_fails_completion():
    first, second = files(2, "dup")
    second.package = first.package

    class Twice(torvex.Message, file=first):
        a: int = torvex.field(1, T.INT32)

    first.complete()

    class Twice(torvex.Message, file=second):  # type: ignore[no-redef]  # noqa: F811
        a: int = torvex.field(1, T.INT32)

    with pytest.raises(TypeError, match=rf"{first.package}\.Twice is defined twice"):
        second.complete()


def test_file_of_the_same_name_replaces_its_types():
    (f,) = files(1, "reload")

    class R(torvex.Message, file=f):
        a: int = torvex.field(1, T.INT32)

    f.complete()
    again = torvex.File(f.name, package=f.package)

    class R(torvex.Message, file=again):  # type: ignore[no-redef]  # noqa: F811
        b: int = torvex.field(1, T.INT32)

    again.complete()  # a module run again: no clash
    from torvex import _scope

    assert _scope.find(f"{f.package}.R") is R
