#!/usr/bin/env bash
# The scripts' one decision of a build tree's bitness (scripts/wine-run runs
# the tree's programs with the Wine it names), on trees made up here: the
# toolchain file's name decides, not the folders the checkout lies in.
set -u
root=$1
# shellcheck source=../../scripts/windows.sh
. "$root/scripts/windows.sh"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
status=0
# toolchain file (empty: none in the cache) -> bits
while IFS='|' read -r toolchain want; do
  tree="$tmp/tree"
  mkdir -p "$tree"
  if [ -n "$toolchain" ]; then echo "CMAKE_TOOLCHAIN_FILE:FILEPATH=$toolchain" >"$tree/CMakeCache.txt"; else : >"$tree/CMakeCache.txt"; fi
  got=$(orvane_win_tree_bits "$tree")
  [ "$got" = "$want" ] || { echo "FAIL: '$toolchain' gives $got-bit, not $want-bit"; status=1; }
  rm -rf "$tree"
done <<CASES
/src/orvane/cmake/mingw-i686.cmake|32
/src/orvane/cmake/mingw-x86_64.cmake|64
/home/ci-x86_64-runner/orvane/cmake/mingw-i686.cmake|32
/opt/x86_64/orvane/cmake/mingw-x86_64.cmake|64
|32
CASES
[ $status = 0 ] && echo "windows.sh: every tree's bitness as its toolchain names it"
exit $status
