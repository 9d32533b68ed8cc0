#!/usr/bin/env bash
# The Python package's tests: tests/python/run.sh [--python PYTHON] BUILD [PYTEST ARGS...]
# (default: every test here).
# Without --python: imports the package from BUILD/python with Debian's
# python3, whatever python3 comes first on the PATH. With --python (a venv's
# interpreter, say): the package installed for PYTHON, never the build
# tree's. Either way compares with the program BUILD/tavelkorn (or
# $TAVELKORN_PROGRAM). Finding no test is a failure.
set -euo pipefail
export PYTHONDONTWRITEBYTECODE=1  # no __pycache__ in the tree
python=
[ "${1:-}" != --python ] || { python=$2; shift 2; }
build=$(cd "$1" && pwd); shift
here=$(cd "$(dirname "$0")" && pwd)
export TAVELKORN_PROGRAM=${TAVELKORN_PROGRAM:-$build/tavelkorn}
[ -x "$TAVELKORN_PROGRAM" ] || { echo "run.sh: no program at $TAVELKORN_PROGRAM" >&2; exit 1; }
if [ -z "$python" ]; then
  python=/usr/bin/python3
  export PYTHONPATH=$build/python${PYTHONPATH:+:$PYTHONPATH} TAVELKORN_BUILD=$build
  "$python" -c 'import tavelkorn' || { echo "run.sh: tavelkorn does not import from $build/python" >&2; exit 1; }
else
  where=$(cd / && env -u PYTHONPATH "$python" -c 'import tavelkorn; print(tavelkorn.__file__)') ||
    { echo "run.sh: tavelkorn is not installed for $python" >&2; exit 1; }
  echo "run.sh: $where, numpy $("$python" -c 'import numpy; print(numpy.__version__)')"
  unset PYTHONPATH TAVELKORN_BUILD
fi
cd "$here"
status=0
[ $# -gt 0 ] || set -- .
"$python" -m pytest -q -p no:cacheprovider "$@" || status=$?
[ "$status" != 5 ] || echo "run.sh: pytest found no test" >&2
exit "$status"
