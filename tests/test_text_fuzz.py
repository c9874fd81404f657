"""Random and mutated text documents: the parser either reads them or raises one of its
documented exceptions (ValueError with a position, RecursionError), never anything else; and
whatever it reads, it writes back as text that reads to the same message."""

from __future__ import annotations

import random

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from text_support import fill, random_schema

SCHEMA = random_schema(random.Random("fuzz"), "proto2")
CLS, PEER = SCHEMA.pair("A")
TOKENS = [
    "{", "}", "<", ">", "[", "]", ":", ",", ";", "-", "+", "'", '"', "#", "\n", " ", "/", ".",
    "0", "0x", "1e", "inf", "nan", "true", "t", "\\", "\\x", "\\u", "\\U0010ffff", "\\377",
    "s9", "r9", "s12", "color", "COLOR_1", "map", "key", "value", "many", "grp", "Grp",
    "payload", "[type.googleapis.com/", "fuzz.", "ext0", "\xe9", "\x00", "\ud7ff",
]  # fmt: skip


def seeds() -> list[str]:
    rng = random.Random(3)
    docs = []
    for _ in range(6):
        msg = CLS.from_binary(fill(rng, PEER(), schema=SCHEMA).SerializeToString())
        docs.append(msg.to_text(registry=SCHEMA.registry))
        docs.append(msg.to_text(registry=SCHEMA.registry, as_one_line=True))
    return docs


SEEDS = seeds()


def check(text: str | bytes) -> None:
    try:
        msg = CLS.from_text(text, registry=SCHEMA.registry)
    except RecursionError:
        return
    except ValueError as exc:
        if isinstance(exc, UnicodeError):  # a str with lone surrogates has no UTF-8 form
            assert isinstance(text, str)
            return
        head = str(exc).split(":", 2)
        assert len(head) == 3 and head[0].isdigit() and head[1].isdigit(), str(exc)
        return
    text = msg.to_text(registry=SCHEMA.registry)
    again = CLS.from_text(text, registry=SCHEMA.registry)
    assert again.to_text(registry=SCHEMA.registry) == text


def mutate(rng: random.Random, doc: str) -> str:
    chars = list(doc)
    for _ in range(rng.randint(1, 4)):
        op = rng.randrange(4)
        at = rng.randrange(len(chars) + 1)
        if op == 0 and chars:
            del chars[min(at, len(chars) - 1)]
        elif op == 1:
            chars.insert(at, rng.choice(TOKENS))
        elif op == 2:
            chars = chars[:at]  # truncation
        else:
            start = rng.randrange(len(chars) + 1)
            chars[at:at] = chars[start : start + rng.randint(1, 20)]  # duplicated span
    return "".join(chars)


@pytest.mark.parametrize("seed", range(8))
def test_mutated_documents(seed):
    rng = random.Random(seed)
    for _ in range(400):
        check(mutate(rng, rng.choice(SEEDS)))


@settings(max_examples=300, deadline=None)
@given(st.lists(st.sampled_from(TOKENS), max_size=40))
def test_token_soup(tokens):
    check(" ".join(tokens))
    check("".join(tokens))


@settings(max_examples=200, deadline=None)
@given(st.binary(max_size=200))
def test_arbitrary_bytes(data):
    check(data)
