#!/usr/bin/env bash
# Runs one end-to-end case of qualfit and compares, or records, its standard
# output, standard error, exit status and (if the case names one) the file it
# wrote.
#
#   run_case.sh check|regen QUALFIT NAME
#
# The case is the line of cases.tsv whose first field is NAME; its fields,
# separated by tabs:
#   1 name
#   2 file of inputs/ fed to standard input, or - for none
#   3 arguments (split at blanks), run in a scratch directory holding a copy
#     of inputs/, with argv[0] "qualfit"
#   4 file of the scratch directory to compare after the run, or -
# Expected results live in expected/NAME.{stdout,stderr,status,file}.
set -euo pipefail

mode=$1
qualfit=$(cd "$(dirname "$2")" && pwd)/$(basename "$2")
name=$3
here=$(cd "$(dirname "$0")" && pwd)

line=$(awk -F'\t' -v n="$name" '$1 == n { print; exit }' "$here/cases.tsv")
if [[ -z $line ]]; then
    echo "no case '$name' in cases.tsv" >&2
    exit 2
fi
IFS=$'\t' read -r _ stdin args result <<<"$line"

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
cp -r "$here/inputs/." "$scratch/"
actual=$scratch/.actual
mkdir "$actual"

read -ra argv <<<"$args"
input=/dev/null
[[ $stdin != - ]] && input=$here/inputs/$stdin
status=0
(cd "$scratch" && exec -a qualfit "$qualfit" "${argv[@]}") <"$input" \
    >"$actual/stdout" 2>"$actual/stderr" || status=$?
echo "$status" >"$actual/status"
if [[ $result != - ]]; then
    if [[ -e $scratch/$result ]]; then
        cp "$scratch/$result" "$actual/file"
    else
        echo "(no file $result)" >"$actual/file"
    fi
fi

expected=$here/expected/$name
if [[ $mode == regen ]]; then
    for part in stdout stderr status file; do
        if [[ -e $actual/$part ]]; then
            cp "$actual/$part" "$expected.$part"
        else
            rm -f "$expected.$part"
        fi
    done
    exit 0
fi

failed=0
for part in stdout stderr status file; do
    if [[ -e $actual/$part || -e $expected.$part ]]; then
        if ! diff -u --label "expected $part" --label "actual $part" \
            "$expected.$part" "$actual/$part"; then
            failed=1
        fi
    fi
done
exit $failed
