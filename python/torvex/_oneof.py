"""Oneof values: the native ``Oneof(field, value)`` pair, presented as part of this package."""

import copyreg

from _torvex_ext import Oneof

__all__ = ["Oneof"]


def _reduce(value: Oneof) -> tuple[type[Oneof], tuple[str, object]]:
    return Oneof, (value.field, value.value)


# Pickled and copied as the pair it is made from; deepcopy copies the value too.
copyreg.pickle(Oneof, _reduce)
