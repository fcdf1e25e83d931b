#!/usr/bin/env bash
# Renders the screenshot shown by the README and the AppStream metadata from
# the real program, in a private X server.
#   scripts/screenshot.sh [BUILD_DIR] [OUT_PNG]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=${1:-build}
out=${2:-docs/screenshot.png}
# shellcheck source-path=SCRIPTDIR
source "$here/private-x.sh"

program_pid=
cleanup() {
  if [ -n "$program_pid" ]; then kill "$program_pid" 2>/dev/null || true; fi
  stop_private_xvfb
}
trap cleanup EXIT

for tool in "$build/glimmerfeld" "$build/xprobe"; do
  if [ ! -x "$tool" ]; then
    echo "screenshot: $tool is missing; run make build first" >&2
    exit 1
  fi
done

start_private_xvfb
"$build/glimmerfeld" &
program_pid=$!
if ! window=$("$build/xprobe" wait 'Glimmerfeld!' 30000); then
  echo "screenshot: the window did not appear" >&2
  exit 1
fi
# A moment of spraying, so the picture shows a speckled field rather than a
# bare black one, and the ring away from its starting corner.
sleep 0.4
mkdir -p "$(dirname "$out")"
"$build/xprobe" png "$window" "$out.part"
mv "$out.part" "$out"
"$build/xprobe" close "$window"
status=0
wait_for_exit "$program_pid" 30 || status=$?
# Still running after a time-out: leave it to the clean-up to end.
if [ "$status" -ne 124 ]; then program_pid=; fi
if [ "$status" -ne 0 ]; then
  echo "screenshot: the program ended with status $status" >&2
  exit 1
fi
echo "screenshot: wrote $out"
