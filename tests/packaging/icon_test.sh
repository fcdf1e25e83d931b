#!/usr/bin/env bash
# The committed icons are exactly what the icon generator draws today: a
# change to the generator, or to the program code it draws with, must come
# with the redrawn icons (make icons).
#   icon_test.sh MAKE_ICON COMMITTED_HICOLOR_DIR
set -euo pipefail
make_icon=$1
committed=$2

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

"$make_icon" "$tmp/hicolor"
"$make_icon" "$tmp/again"

# Two runs agree with each other, byte for byte ...
if ! diff -r "$tmp/hicolor" "$tmp/again"; then
  echo "FAIL: two runs of the icon generator differ" >&2
  exit 1
fi
# ... and with the committed files, with none missing or left over.
if ! diff -r "$committed" "$tmp/hicolor"; then
  echo "FAIL: the committed icons differ from the generator's output; run make icons" >&2
  exit 1
fi

# Each bitmap is a PNG of the size its directory names.
count=0
while IFS= read -r png; do
  size=$(basename "$(dirname "$(dirname "$png")")")
  want="PNG image data, ${size%x*} x ${size#*x},"
  if ! file -b "$png" | grep -qF "$want"; then
    echo "FAIL: $png is not '$want': $(file -b "$png")" >&2
    exit 1
  fi
  count=$((count + 1))
done < <(find "$committed" -name '*.png')
if [ "$count" -eq 0 ]; then
  echo "FAIL: no PNG icons under $committed" >&2
  exit 1
fi
echo "PASS: $count PNG icons and the SVG reproduce byte for byte"
