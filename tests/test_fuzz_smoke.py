"""The fuzz harnesses' oracle over the committed seed corpus and a few thousand seeded random
mutations of it: seconds, no instrumentation, so every suite run (and the sanitizer run) repeats
what the coverage-guided fuzzing checks."""

from __future__ import annotations

import os
import sys

import pytest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "fuzz"))

import oracle  # noqa: E402
import seeds  # noqa: E402

MUTATIONS = int(os.environ.get("TORVEX_FUZZ_SMOKE", "3000"))


HARNESSES = {"binary": oracle.check_binary, "json": oracle.check_json,
             "json_value": oracle.check_json_value,
             "descriptor_set": oracle.check_descriptor_set, "text": oracle.check_text,
             "delimited": oracle.check_delimited}  # fmt: skip
# Descriptor sets take milliseconds each and are edited as schemas, not as bytes.
MUTATORS = {"descriptor_set": (oracle.mutate_descriptor_set, MUTATIONS // 10)}


@pytest.mark.parametrize("name", HARNESSES)
def test_committed_corpus_is_current(name):
    # A schema change without a corpus refresh would leave the seeds testing nothing new.
    assert sorted(oracle.corpus(name)) == sorted(seeds.SEEDS[name]())


@pytest.mark.parametrize("name", HARNESSES)
@pytest.mark.parametrize("seed", [1, 2])
def test_fuzz_smoke(name, seed):
    mutator, mutations = MUTATORS.get(name, (oracle.mutate, MUTATIONS))
    count = oracle.smoke(HARNESSES[name], oracle.corpus(name), mutations, seed, mutator)
    assert count == len(oracle.corpus(name)) + mutations


def test_oracle_catches_a_broken_round_trip(monkeypatch):
    # The oracle must be able to fail: an encoder that adds a field is caught.
    from schema import Every

    real = Every.to_binary
    monkeypatch.setattr(Every, "to_binary", lambda self, **kw: real(self, **kw) + b"\x68\x01")
    with pytest.raises(AssertionError):
        oracle.check_binary(oracle.corpus("binary")[0])


def test_oracle_catches_a_disagreement_with_upb(monkeypatch):
    # A decoder that accepts what the second runtime refuses is caught: here a reader that
    # ignores a truncated trailing record.
    from schema import Every

    real = Every.from_binary
    monkeypatch.setattr(Every, "from_binary", lambda data, **kw: real(bytes(data)[:-1], **kw))
    with pytest.raises(AssertionError, match="upb refuses"):
        oracle.check_binary(oracle.corpus("binary")[0] + b"\x0a")


def test_an_odd_map_entry_with_a_malformed_message_value_is_exempt():
    # Found by the binary fuzzer: an entry of by_name whose fields include one with an unexpected
    # wire type is kept whole as unknown bytes, and its truncated message value (0x79) is never
    # decoded; upb decodes it and refuses the input. The bytes survive a round trip.
    from schema import Every

    data = bytes.fromhex(
        "9203270a016b0801120179aa031209ffffffffffffffff1100000000000408051001a2030508011201"
        "79aa031209ffff016bffffffff110000000000000161"
    )
    m = Every.from_binary(data)
    assert Every.from_binary(m.to_binary()) == m
    oracle.check_binary(data)
    # The same malformed value in a well-formed entry is refused.
    with pytest.raises(ValueError):
        Every.from_binary(bytes.fromhex("9203050a016b120179"))


def test_committed_descriptor_sets_load():
    # A seed that fails to load would leave the harness exploring error paths only.
    import torvex

    for data in oracle.corpus("descriptor_set"):
        assert len(torvex.load_descriptor_set(data)) > 0
