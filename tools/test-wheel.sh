#!/usr/bin/env bash
# The Python suite against a built wheel, installed as a user gets it: a fresh venv, no compiler
# on PATH, and a copy of tests/ (with fuzz/, whose oracle the suite imports) that has no python/
# beside it, so only the installed package can be imported.
#   tools/test-wheel.sh PYTHON WHEEL WORKDIR [TEST_DEPENDENCY...]
set -euo pipefail
python=$1 wheel=$(realpath "$2") work=$3
shift 3
src=$(pwd)

rm -rf "$work" && mkdir -p "$work/bin" "$work/elsewhere"
work=$(realpath "$work")
# Only what the suite runs besides Python: pyright's checker needs node (npm, sh, env with it).
for tool in sh env node npm; do
  p=$(command -v "$tool") && ln -s "$p" "$work/bin/$tool"
done
# Everything below runs with this PATH only: the venv, and the tools above.
sandbox=$work/venv/bin:$work/bin
"$python" -m venv "$work/venv"
for compiler in cc c++ gcc g++ clang clang++ zig; do
  if (PATH=$sandbox && command -v "$compiler" >/dev/null); then
    echo "compiler $compiler on PATH" >&2
    exit 1
  fi
done
py=$work/venv/bin/python
echo "wheel: $(basename "$wheel"), $(stat -c %s "$wheel") bytes"
start=$(date +%s.%N)
PATH=$sandbox "$py" -m pip install -q --disable-pip-version-check --no-index "$wheel"
# From a directory unrelated to the source tree, and the module must come from the venv.
(cd "$work/elsewhere" && PATH=$sandbox "$py" -c '
import sys, torvex, _torvex_ext
for module in (torvex, _torvex_ext):
    assert module.__file__.startswith(sys.prefix), module.__file__
print("torvex", torvex.__version__, "from", torvex.__file__)')
end=$(date +%s.%N)
echo "pip install to first import: $(echo "$end $start" | awk '{printf "%.2f", $1 - $2}') s"

PATH=$sandbox "$py" -m pip install -q --disable-pip-version-check --only-binary :all: "$@"
mkdir -p "$work/tree"
cp -r "$src/tests" "$src/fuzz" "$src/pyproject.toml" "$src/CHANGELOG.md" "$work/tree/"
# test_layers reads the source tree (src/, python/), which this run must not see.
cd "$work/tree" && PATH=$sandbox "$py" -m pytest -q -p no:cacheprovider tests \
  --ignore=tests/test_layers.py
