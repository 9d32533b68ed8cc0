#!/usr/bin/env bash
# The Python package's tests: tests/python/run.sh BUILD [PYTEST ARGS...]
# (default: every test here).
# Imports the package from BUILD/python and compares with the program
# BUILD/tavelkorn (or $TAVELKORN_PROGRAM), with Debian's python3, whatever
# python3 comes first on the PATH. Finding no test is a failure.
set -euo pipefail
export PYTHONDONTWRITEBYTECODE=1  # no __pycache__ in the tree
build=$(cd "$1" && pwd); shift
here=$(cd "$(dirname "$0")" && pwd)
export PYTHONPATH=$build/python${PYTHONPATH:+:$PYTHONPATH}
export TAVELKORN_PROGRAM=${TAVELKORN_PROGRAM:-$build/tavelkorn} TAVELKORN_BUILD=$build
[ -x "$TAVELKORN_PROGRAM" ] || { echo "run.sh: no program at $TAVELKORN_PROGRAM" >&2; exit 1; }
/usr/bin/python3 -c 'import tavelkorn' || { echo "run.sh: tavelkorn does not import from $build/python" >&2; exit 1; }
cd "$here"
status=0
[ $# -gt 0 ] || set -- .
/usr/bin/python3 -m pytest -q -p no:cacheprovider "$@" || status=$?
[ "$status" != 5 ] || echo "run.sh: pytest found no test" >&2
exit "$status"
