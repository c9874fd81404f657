"""The installed distribution as users get it: one version everywhere, and the files that type
checkers and the import system need."""

from __future__ import annotations

import importlib.metadata
import re
from pathlib import Path

import pytest

import torvex

CHANGELOG = Path(__file__).parent.parent / "CHANGELOG.md"


def test_one_version_in_the_metadata_the_module_and_the_changelog():
    assert re.fullmatch(r"\d+\.\d+\.\d+", torvex.__version__)
    assert importlib.metadata.version("torvex") == torvex.__version__
    first = re.search(r"^## (\S+)", CHANGELOG.read_text(), re.M)
    assert first is not None and first.group(1) == torvex.__version__


@pytest.mark.parametrize(
    "pattern",
    [r"torvex/py\.typed", r"_torvex_ext\.pyi", r"_torvex_ext-stubs/__init__\.pyi",
     r"_torvex_ext\.[\w-]+\.so", r"torvex/wkt/timestamp\.py", r"torvex/protoc_gen/__main__\.py"],
)  # fmt: skip
def test_distribution_ships(pattern):
    files = [f.as_posix() for f in importlib.metadata.files("torvex") or []]
    assert any(re.fullmatch(pattern, f) for f in files), files

