"""Compile .proto files to torvex modules with a protoc the user already has.

    python -m torvex.compile -I. --torvex_out=out shop/order.proto

Arguments are protoc's. The protoc bundled in ``grpcio-tools`` (``pip install torvex[protoc]``)
is used when installed, else a ``protoc`` on PATH; torvex's plugin is wired in either way, so
``--torvex_out`` and ``--torvex_opt`` work without installing the plugin script.
"""

from __future__ import annotations

import importlib.util
import os
import shutil
import stat
import subprocess
import sys
import tempfile
from collections.abc import Sequence

__all__ = ["ProtocNotFound", "find_protoc", "run", "main"]

NO_PROTOC = (
    "torvex.compile: no protoc found. Install the bundled one with 'pip install torvex[protoc]' "
    "(grpcio-tools), or put protoc on PATH."
)


class ProtocNotFound(RuntimeError):
    pass


def find_protoc() -> list[str]:
    """The command that runs protoc: grpcio-tools' module first, then ``protoc`` on PATH."""
    try:
        bundled = importlib.util.find_spec("grpc_tools.protoc") is not None
    except (ImportError, ValueError):
        bundled = False
    if bundled:
        return [sys.executable, "-m", "grpc_tools.protoc"]
    found = shutil.which("protoc")
    if found is not None:
        return [found]
    raise ProtocNotFound(NO_PROTOC)


def _write_launcher(directory: str) -> str:
    """An executable that runs this interpreter's plugin (protoc needs a single program)."""
    path = os.path.join(directory, "protoc-gen-torvex")
    with open(path, "w", encoding="utf-8") as out:
        out.write(f"#!{sys.executable}\n")
        out.write("import sys\nfrom torvex.protoc_gen import main\nsys.exit(main())\n")
    os.chmod(path, os.stat(path).st_mode | stat.S_IXUSR | stat.S_IXGRP | stat.S_IXOTH)
    return path


def run(args: Sequence[str], *, protoc: Sequence[str] | None = None) -> int:
    """Run protoc with ``args`` and torvex's plugin; returns protoc's exit status."""
    command = list(protoc) if protoc is not None else find_protoc()
    env = dict(os.environ)
    # The plugin must import this very torvex, wherever it was imported from.
    package_root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    ext_root = os.path.dirname(os.path.abspath(sys.modules["_torvex_ext"].__file__ or ""))
    paths = [package_root, ext_root, *filter(None, env.get("PYTHONPATH", "").split(os.pathsep))]
    env["PYTHONPATH"] = os.pathsep.join(dict.fromkeys(paths))
    with tempfile.TemporaryDirectory(prefix="torvex-protoc-") as tmp:
        plugin = _write_launcher(tmp)
        full = [*command, f"--plugin=protoc-gen-torvex={plugin}", *args]
        return subprocess.run(full, env=env, check=False).returncode


def main(argv: Sequence[str] | None = None) -> int:
    args = list(sys.argv[1:] if argv is None else argv)
    if not args or args[0] in ("-h", "--help"):
        print((__doc__ or "").strip())
        return 0 if args else 2
    import _torvex_ext  # noqa: F401  (run() locates it)

    try:
        return run(args)
    except ProtocNotFound as exc:
        print(exc, file=sys.stderr)
        return 2


if __name__ == "__main__":
    sys.exit(main())
