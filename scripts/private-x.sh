# shellcheck shell=bash
# Sourced by scripts that drive the real program in an X server of their own.
# Xvfb picks a free display number itself (-displayfd), so runs on one machine
# never clash with each other or with a desktop.
#
#   start_private_xvfb        start the server and export DISPLAY
#   stop_private_xvfb         end it (safe to call twice, or if never started)
#   wait_for_exit PID SECS    wait for a child to end; its status, or 124 if it
#                             is still running after SECS seconds

PRIVATE_XVFB_PID=
PRIVATE_XVFB_DIR=

start_private_xvfb() {
  PRIVATE_XVFB_DIR=$(mktemp -d)
  : >"$PRIVATE_XVFB_DIR/display"
  Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp \
    3>"$PRIVATE_XVFB_DIR/display" >/dev/null 2>"$PRIVATE_XVFB_DIR/log" &
  PRIVATE_XVFB_PID=$!
  # The number is written, with a newline, once the server accepts clients.
  local deadline=$((SECONDS + 30))
  while [ "$(wc -l <"$PRIVATE_XVFB_DIR/display")" -lt 1 ]; do
    if ! kill -0 "$PRIVATE_XVFB_PID" 2>/dev/null; then
      echo "Xvfb ended before it was ready:" >&2
      cat "$PRIVATE_XVFB_DIR/log" >&2
      return 1
    fi
    if [ "$SECONDS" -ge "$deadline" ]; then
      echo "Xvfb was not ready after 30 s" >&2
      return 1
    fi
    sleep 0.1
  done
  DISPLAY=":$(head -n1 "$PRIVATE_XVFB_DIR/display")"
  export DISPLAY
}

stop_private_xvfb() {
  if [ -n "$PRIVATE_XVFB_PID" ]; then
    kill "$PRIVATE_XVFB_PID" 2>/dev/null || true
    wait "$PRIVATE_XVFB_PID" 2>/dev/null || true
    PRIVATE_XVFB_PID=
  fi
  if [ -n "$PRIVATE_XVFB_DIR" ]; then
    rm -rf "$PRIVATE_XVFB_DIR"
    PRIVATE_XVFB_DIR=
  fi
}

wait_for_exit() {
  local pid=$1 deadline=$((SECONDS + $2))
  # Bash reaps its children as they end, after which kill -0 fails; a zombie
  # not yet reaped counts as ended too.
  while kill -0 "$pid" 2>/dev/null && [ "$(awk '{print $3}' "/proc/$pid/stat" 2>/dev/null)" != Z ]; do
    if [ "$SECONDS" -ge "$deadline" ]; then return 124; fi
    sleep 0.1
  done
  local status=0
  wait "$pid" || status=$?
  return "$status"
}
