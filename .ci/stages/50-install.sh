#!/usr/bin/env bash
# The README's first command, as a newcomer runs it: scripts/install, then
# snapphoto with no arguments and no X display. Installs into a temporary
# prefix instead of /usr/local, and checks that the package, the manual
# page and the tool found there work.
set -euo pipefail
cd "$(dirname "$0")/../.."

prefix=$(mktemp -d)
work=$(mktemp -d)
trap 'rm -rf "$prefix" "$work"' EXIT

scripts/install "$prefix"

(cd "$work" && env -u DISPLAY PATH="$prefix/bin:$PATH" snapphoto)
size=$(stat -c %s "$work/sample.rgb")
[ "$size" -eq 9216 ] || { echo "sample.rgb has $size bytes, not 64x48x3"; exit 1; }

version=$(echo 'package require Tk; puts [package require snapPhoto]; exit' |
          TCLLIBPATH="$prefix/lib/tcltk" xvfb-run -a tclsh)
[ "$version" = 0.1 ] || { echo "package require snapPhoto gave '$version'"; exit 1; }

man --warnings -l "$prefix/share/man/mann/snapPhoto.n" > "$work/manual.txt"
grep -q 'snapPhoto - the pixels of a Tk photo image' "$work/manual.txt"
echo "install stage: scripts/install, snapphoto, package require and man -l all work"
