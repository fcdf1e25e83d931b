#!/usr/bin/env bash
# Renders the screenshot shown by the README and the AppStream metadata from
# the real program, in a private X server.
#   scripts/screenshot.sh [BUILD_DIR] [OUT_PNG]
set -euo pipefail
build=${1:-build}
out=${2:-docs/screenshot.png}
for tool in "$build/glimmerfeld" "$build/xprobe"; do
  if [ ! -x "$tool" ]; then
    echo "screenshot: $tool is missing; run make build first" >&2
    exit 1
  fi
done
# Runs itself again inside a private X server, started by the probe.
if [ -z "${GLIMMER_XVFB_PID:-}" ]; then
  exec "$build/xprobe" xvfb -- "$0" "$build" "$out"
fi

program_pid=
cleanup() {
  if [ -n "$program_pid" ]; then kill "$program_pid" 2>/dev/null || true; fi
}
trap cleanup EXIT

# Ended by timeout should the close never arrive.
timeout 60 "$build/glimmerfeld" &
program_pid=$!
if ! window=$("$build/xprobe" wait 'Glimmerfeld!' 30000); then
  echo "screenshot: the window did not appear" >&2
  exit 1
fi
# A moment of spraying, so the picture shows a speckled field rather than a
# bare black one, and the ball away from its starting corner.
sleep 0.4
mkdir -p "$(dirname "$out")"
"$build/xprobe" png "$window" "$out.part"
mv "$out.part" "$out"
"$build/xprobe" close "$window"
status=0
wait "$program_pid" || status=$?
program_pid=
if [ "$status" -ne 0 ]; then
  echo "screenshot: the program ended with status $status" >&2
  exit 1
fi
echo "screenshot: wrote $out"
