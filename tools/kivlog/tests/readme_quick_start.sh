#!/bin/sh
# Runs the README's "kivlog in five minutes" as a new author would: in an
# empty directory, the manifest written where the section says, each
# command of the section exactly as written, the check's output compared
# with the comment the section gives it. Usage:
#   readme_quick_start.sh README.md KIVLOG_DIR [STUB]
# KIVLOG_DIR goes first on PATH, so "kivlog" is the tool just built. STUB
# is copied in as kivuninst.exe; without it a stand-in with the MZ and PE
# headers (all build looks at) is made.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
readme=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
kivlog_dir=$(cd "$2" && pwd)
stub=${3:+$(cd "$(dirname "$3")" && pwd)/$(basename "$3")}

work=$(mktemp -d "${TMPDIR:-/tmp}/kiv-quick-start-XXXXXX")
trap 'rm -rf "$work"' EXIT
section=$work/section.md
# The section: from its heading to the next one.
awk '/^## kivlog in five minutes/ {on = 1; next} /^## / {on = 0} on' "$readme" > "$section"
[ -s "$section" ] || { echo "README has no 'kivlog in five minutes' section" >&2; exit 1; }

cd "$work"
mkdir setup
# The manifest: the section's JSON block, into the file it names.
awk '/^```json/ {on = 1; next} /^```/ {on = 0} on' "$section" > setup/manifest.json
grep -q 'setup/manifest.json' "$section"
if [ -n "$stub" ]; then
  cp "$stub" kivuninst.exe
else
  python3 "$here/stand_in_stub.py" kivuninst.exe
fi

PATH=$kivlog_dir:$PATH
export PATH
# Each command line of the section (four blanks, then "kivlog "), run as
# written; a trailing "# text" is the output it must print.
commands=0
grep '^    kivlog ' "$section" > commands.txt
while IFS= read -r line; do
  command=${line%%#*}
  expected=
  case $line in *'#'*) expected=$(printf '%s' "${line#*#}" | sed 's/^ *//') ;; esac
  echo "\$ ${command%% }"
  output=$(sh -c "$command") || { echo "failed: $command" >&2; exit 1; }
  printf '%s\n' "$output"
  if [ -n "$expected" ] && [ "$output" != "$expected" ]; then
    echo "expected: $expected" >&2
    exit 1
  fi
  commands=$((commands + 1))
done < commands.txt
[ "$commands" -ge 3 ] || { echo "only $commands commands found" >&2; exit 1; }
echo "the quick start's $commands commands work as written"
