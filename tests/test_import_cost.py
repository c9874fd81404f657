"""What importing the runtime loads: deferred modules stay unloaded until first use, and the
lazily provided names are the same objects as the eager imports gave."""

from __future__ import annotations

import json
import os
import subprocess
import sys
import typing

import pytest

import torvex
from torvex import wkt


def fresh(code: str) -> typing.Any:
    """The JSON printed by ``code`` run in a new interpreter with this process's path."""
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    done = subprocess.run(
        [sys.executable, "-c", code], capture_output=True, text=True, check=True, env=env
    )
    return json.loads(done.stdout)


def test_descriptor_module_loads_only_what_it_needs():
    # json is imported after the snapshot: it brings re.
    loaded = set(
        fresh("import sys, torvex.wkt.descriptor; m = [*sys.modules]; "
              "import json; print(json.dumps(m))")
    )  # fmt: skip
    deferred = {
        "typing",
        "threading",
        "re",
        "struct",
        "datetime",
        "torvex._extension",
        "torvex._registry",
        "torvex._loader",
        "torvex.protoc_gen",
        "torvex.wkt._mixins",
        "torvex.wkt.any",
        "torvex.wkt.struct",
        "torvex.wkt.timestamp",
        "torvex.wkt.wrappers",
    }
    assert "torvex.wkt.descriptor" in loaded
    assert loaded & deferred == set()


@pytest.mark.parametrize("name", [*wkt.__all__, "struct", "timestamp", "_mixins"])
def test_lazy_wkt_names_resolve_in_a_fresh_interpreter(name):
    code = (
        "import json, importlib, torvex.wkt as w\n"
        f"v = getattr(w, {name!r})\n"
        "m = v if isinstance(v, type(w)) else importlib.import_module(v.__module__)\n"
        f"print(json.dumps([m.__name__, {name!r} in dir(w), getattr(m, {name!r}, v) is v]))"
    )
    module, listed, same = fresh(code)
    assert module.startswith("torvex.wkt.")
    assert listed and same


def test_lazy_names_in_process():
    from torvex._extension import Extension
    from torvex._registry import Registry

    assert (torvex.Extension, torvex.Registry) == (Extension, Registry)
    assert wkt.Struct is wkt.struct.Struct
    for module, name in ((torvex, "Nope"), (wkt, "Nope"), (wkt, "descriptor_pb2")):
        with pytest.raises(AttributeError, match="Nope|descriptor_pb2"):
            getattr(module, name)


def test_registry_of_the_lazy_package_knows_every_message():
    # In a fresh interpreter no class of the package has been touched before the registry
    # reads it.
    names = fresh(
        "import json, torvex, torvex.wkt as w\n"
        "r = torvex.Registry(w)\n"
        "print(json.dumps(sorted(n for n in w.__all__ if f'google.protobuf.{n}' in r)))"
    )
    assert names == sorted(set(wkt.__all__) - {"NullValue", "Syntax"})  # enums are not registered


def test_metaclass_marked_as_typing_would():
    @typing.dataclass_transform(kw_only_default=True)
    class Reference(type):
        pass

    assert type(torvex.Message).__dataclass_transform__ == Reference.__dataclass_transform__


@pytest.mark.parametrize("ref", [".google.protobuf.Timestamp", "google.protobuf.Struct"])
def test_string_references_load_well_known_types(ref):
    # As when the package imported every module: a name of torvex.wkt resolves once the
    # package is imported, whether or not its class was touched (here by a field of a message
    # and by an extension, each the first to name its type).
    code = (
        "import json, torvex, torvex.wkt\n"
        "F = torvex.File('lazy/ref.proto', package='lazy')\n"
        "class M(torvex.Message, file=F):\n"
        f"    v = torvex.field(1, {ref!r})\n"
        "F.complete()\n"
        "ext = torvex.Extension('lazy.e', 100, '.google.protobuf.Duration', extendee=M)\n"
        "field_type = torvex.descriptor(M).fields[0].value.message.type\n"
        "print(json.dumps([field_type.__module__, field_type.__name__,\n"
        "                  ext.resolved_type().__module__]))"
    )
    module, name, ext_module = fresh(code)
    assert (module, name) == (f"torvex.wkt.{ref.split('.')[-1].lower()}", ref.split(".")[-1])
    assert ext_module == "torvex.wkt.duration"
