#!/usr/bin/env bash
# Prints the code block that follows the line <!-- NAME --> in README.md or
# docs/*.md, so that the tests run the documentation's examples as written.
# Fails unless exactly one such line exists. usage: doc_block.sh NAME SOURCE_DIR
set -euo pipefail
name=$1 src=$2
mark="<!-- $name -->"
n=$(cat "$src/README.md" "$src"/docs/*.md | grep -cxF -- "$mark" || true)
[ "$n" = 1 ] || { echo "doc_block.sh: '$mark' is in README.md and docs/*.md $n times, not once" >&2; exit 1; }
awk -v mark="$mark" '$0 == mark {found = 1; next} found && !inside && /^```/ {inside = 1; next}
     inside && /^```/ {exit} inside {print}' "$src/README.md" "$src"/docs/*.md
