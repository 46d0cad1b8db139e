#!/usr/bin/env bash
# Rewrites every expected file from the current qualfit, for review with
# `git diff tests/golden/expected` before committing.
#   tests/golden/regen.sh build/bin/qualfit [NAME...]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
qualfit=$1
shift
if [[ $# -eq 0 ]]; then
    set -- $(awk -F'\t' '!/^#/ && NF { print $1 }' "$here/cases.tsv")
fi
for name in "$@"; do
    bash "$here/run_case.sh" regen "$qualfit" "$name"
done
