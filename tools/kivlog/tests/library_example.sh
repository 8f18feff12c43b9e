#!/bin/sh
# docs/library.md's example program, compiled with the lines the page gives
# (run as written, from a directory laid out as the source tree's top:
# include/ and build/PRESET/tools/kivlog/) and run: it makes an uninstall
# file, logs two components and checks it.
#
#   library_example.sh SOURCE_DIR LIBRARY_DIR PRESET [STUB EMULATOR]
#
# Without STUB (the host) the static and the shared line are run, on a
# stand-in stub with the MZ and PE headers; with it, the kivlog.dll line,
# and the program runs under EMULATOR beside kivlog.dll.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
src=$1
lib=$2
preset=$3
stub=${4:-}
emulator=${5:-}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
page=$src/docs/library.md

cd "$work"
# In a sanitized build the page's compiler gets the build's link options.
if [ -n "${KIV_EXAMPLE_LINK_FLAGS:-}" ]; then
  mkdir bin
  printf '#!/bin/sh\nexec %s "$@" %s\n' "$(command -v cc)" "$KIV_EXAMPLE_LINK_FLAGS" > bin/cc
  chmod +x bin/cc
  PATH=$work/bin:$PATH
  export PATH
fi
ln -s "$src/include" include
mkdir -p "build/$preset/tools"
ln -s "$lib" "build/$preset/tools/kivlog"
awk '/^```c$/ {on = 1; next} /^```/ {on = 0} on' "$page" > example.c
awk '/^```sh$/ {on = 1; next} /^```/ {on = 0} on' "$page" > lines.txt
[ -s example.c ] || { echo "no C example in $page" >&2; exit 1; }

# Runs the page's line ending in "# $1", then the program it made.
run() {
  line=$(grep "# $1\$" lines.txt) || { echo "no '# $1' line in $page" >&2; exit 1; }
  rm -f example example.exe out.exe
  echo "+ $line"
  sh -c "$line"
  shift
  "$@" > output.txt || { cat output.txt; echo "the example failed" >&2; exit 1; }
  cat output.txt
  grep -q '^7 records' output.txt
  grep -q '^refused: .*KIV0015' output.txt
}

if [ -z "$stub" ]; then
  python3 "$here/stand_in_stub.py" kivuninst.exe
  run static ./example kivuninst.exe out.exe
  LD_LIBRARY_PATH=$lib run shared ./example kivuninst.exe out.exe
  # Linked by name only, and the shared one needs the library beside it.
  ldd ./example | grep -q libkivlog.so
else
  cp "$stub" kivuninst.exe
  cp "$lib/kivlog.dll" .
  run kivlog.dll $emulator ./example.exe kivuninst.exe out.exe
fi
