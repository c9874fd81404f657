"""Merge, copies and pickling over generated schemas and values: copies equal the original
(deep ones sharing no mutable object with it), merging a message agrees with decoding its
encoding into the destination, and pickling round-trips."""

from __future__ import annotations

import copy
import pickle
import sys

from hypothesis import given
from hypothesis import strategies as st

from peer import snapshot
from torvex import Message
from test_merge_copy import record
from test_roundtrip_property import SETTINGS, schema_and_values


def mutable_parts(msg) -> list:
    """Every message, list and dict reachable from `msg`, `msg` included."""
    out, todo = [], [msg]
    while todo:
        node = todo.pop()
        out.append(node)
        for f in type(node)._desc.fields:
            group = f.oneof
            value = getattr(node, group.local_name if group else f.local_name)
            if group is not None:
                value = value.value if value is not None and value.field == f.local_name else None
            if isinstance(value, list):
                out.append(value)
                todo.extend(v for v in value if isinstance(v, Message))
            elif isinstance(value, dict):
                out.append(value)
                todo.extend(v for v in value.values() if isinstance(v, Message))
            elif isinstance(value, Message):
                todo.append(value)
    return out


def plant_unknown(msg, records: list[int]) -> None:
    """Adds varint records under field numbers the message type does not use."""
    used = {f.number for f in type(msg)._desc.fields}
    free = [n for n in range(1, 64) if n not in used]
    store = msg._get_or_init_unknown_fields()
    for i, value in enumerate(records):
        number = free[i % 3]
        store.setdefault(number, []).append(record(number, value))


unknown_records = st.lists(st.integers(0, 2**64 - 1), max_size=4)


@SETTINGS
@given(schema_and_values(), unknown_records)
def test_copies(case, records):
    _, (msg,) = case
    plant_unknown(msg, records)
    deep, shallow = copy.deepcopy(msg), copy.copy(msg)
    for c in (deep, shallow):
        assert snapshot(c, unknown=True) == snapshot(msg, unknown=True)
        assert c._present == msg._present
    originals = {id(part) for part in mutable_parts(msg)}
    assert not any(id(part) in originals for part in mutable_parts(deep))
    for name in type(msg).__slots__:
        assert getattr(shallow, name) is getattr(msg, name)


@SETTINGS
@given(schema_and_values(count=2), unknown_records, unknown_records)
def test_merge_agrees_with_decoding_the_encoding(case, records_a, records_b):
    _, (a, b) = case
    plant_unknown(a, records_a)
    plant_unknown(b, records_b)
    source = snapshot(a, unknown=True)
    expected = copy.deepcopy(b)
    expected._merge_from_binary(a.to_binary(), False)
    merged = copy.deepcopy(b)
    merged.merge_from(a)
    assert snapshot(merged, unknown=True) == snapshot(expected, unknown=True)
    assert snapshot(a, unknown=True) == source


@SETTINGS
@given(schema_and_values(), unknown_records, st.integers(0, pickle.HIGHEST_PROTOCOL))
def test_pickle_round_trip(case, records, protocol):
    schema, (msg,) = case
    plant_unknown(msg, records)
    # Pickle finds classes by module and qualified name; generated ones are not module globals.
    module = sys.modules[schema.root.__module__]
    for cls in schema.messages:
        setattr(module, cls.__qualname__, cls)
    try:
        back = pickle.loads(pickle.dumps(msg, protocol))
    finally:
        for cls in schema.messages:
            delattr(module, cls.__qualname__)
    assert type(back) is type(msg)
    assert snapshot(back, unknown=True) == snapshot(msg, unknown=True)
