"""Oneof values: the native ``Oneof(field, value)`` pair, presented as part of this package."""

from _torvex_ext import Oneof

__all__ = ["Oneof"]
