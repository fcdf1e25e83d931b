#!/usr/bin/env bash
# Builds the Debian package from this build tree and checks it as a user gets
# it: its files and control fields, lintian, the desktop entry and AppStream
# metadata under their validators, and the unpacked program starting and
# closing cleanly in a private X server.
#   package_test.sh BUILD_DIR SOURCE_DIR VERSION XPROBE
set -euo pipefail
build=$1
source_dir=$2
version=$3
xprobe=$4

app_id=io.github.glimmerfeld.Glimmerfeld
title='Glimmerfeld!'

# Runs itself again inside a private X server, started by the probe.
if [ -z "${GLIMMER_XVFB_PID:-}" ]; then
  exec "$xprobe" xvfb -- "$0" "$@"
fi

tmp=$(mktemp -d)
program_pid=
cleanup() {
  if [ -n "$program_pid" ]; then kill "$program_pid" 2>/dev/null || true; fi
  rm -rf "$tmp"
}
trap cleanup EXIT

failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}

# The package, built into a directory of its own so that a concurrent
# `make package` in the same tree is left alone.
if ! cpack --config "$build/CPackConfig.cmake" -B "$tmp/out" >"$tmp/cpack.log" 2>&1; then
  cat "$tmp/cpack.log" >&2
  echo "FAIL: cpack failed" >&2
  exit 1
fi
deb="$tmp/out/glimmerfeld_${version}_$(dpkg --print-architecture).deb"
if [ ! -f "$deb" ]; then
  echo "FAIL: no $(basename "$deb"); cpack made:" >&2
  ls -R "$tmp/out" >&2
  exit 1
fi

# Its files.
# A link's line ends "path -> target": its path is the file.
dpkg-deb -c "$deb" | awk '{ if ($(NF-1) == "->") print $(NF-2); else print $NF }' >"$tmp/files"
for path in \
  ./usr/games/glimmerfeld \
  ./usr/share/man/man6/glimmerfeld.6.gz \
  ./usr/share/doc/glimmerfeld/copyright \
  ./usr/share/doc/glimmerfeld/changelog.gz \
  "./usr/share/applications/$app_id.desktop" \
  "./usr/share/metainfo/$app_id.metainfo.xml" \
  ./usr/share/icons/hicolor/48x48/apps/glimmerfeld.png \
  ./usr/share/icons/hicolor/256x256/apps/glimmerfeld.png \
  ./usr/share/icons/hicolor/scalable/apps/glimmerfeld.svg \
  ./usr/libexec/xscreensaver/glimmerfeld \
  ./usr/share/xscreensaver/config/glimmerfeld.xml \
  ./usr/share/doc/glimmerfeld/examples/glimmerfeld-background.service \
  ./usr/share/doc/glimmerfeld/examples/glimmerfeld-background.desktop \
  ./usr/share/doc/glimmerfeld/examples/glimmerfeld-screensaver.desktop; do
  grep -qxF "$path" "$tmp/files" || fail "the package lacks $path"
done
if grep -v '^\./usr/' "$tmp/files" | grep -qv '^\./$'; then
  fail "the package puts files outside /usr: $(grep -v '^\./usr/' "$tmp/files" | tr '\n' ' ')"
fi

# The hack xscreensaver finds is the program itself.
hack=$(dpkg-deb -c "$deb" | awk '$NF == "../../games/glimmerfeld" && $(NF-2) == "./usr/libexec/xscreensaver/glimmerfeld"')
[ -n "$hack" ] || fail "/usr/libexec/xscreensaver/glimmerfeld is not a link to ../../games/glimmerfeld"

# A game in section games lives in /usr/games, and only there.
[ "$(dpkg-deb -f "$deb" Section)" = games ] || fail "Section is '$(dpkg-deb -f "$deb" Section)'"
if grep -q '^\./usr/bin/.' "$tmp/files"; then
  fail "the package installs into /usr/bin: $(grep '^\./usr/bin/.' "$tmp/files" | tr '\n' ' ')"
fi

# Debian's own checker: no errors and no warnings (informational and
# pedantic tags may stay).
lintian_status=0
lintian "$deb" >"$tmp/lintian.out" 2>"$tmp/lintian.err" || lintian_status=$?
if grep -q '^[EW]: ' "$tmp/lintian.out"; then
  fail "lintian reports errors or warnings:"
  grep '^[EW]: ' "$tmp/lintian.out" >&2
elif [ "$lintian_status" -ne 0 ]; then
  fail "lintian ended with status $lintian_status: $(cat "$tmp/lintian.out" "$tmp/lintian.err")"
fi

# Its control fields.
field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package)" = glimmerfeld ] || fail "Package is '$(field Package)'"
[ "$(field Version)" = "$version" ] || fail "Version is '$(field Version)', not $version"
[ "$(field Architecture)" = "$(dpkg --print-architecture)" ] ||
  fail "Architecture is '$(field Architecture)'"
# Computed from the program's shared libraries: the system's SDL3, or, where
# SDL3 is linked in statically, the window system libraries it links; and
# what the program itself links beside SDL (MIT-SHM, the X server's idle
# time, sd-bus). Never SDL2 or sdl2-compat.
dpkg-deb --fsys-tarfile "$deb" | tar -xO ./usr/games/glimmerfeld >"$tmp/program"
if readelf -d "$tmp/program" | grep -q 'libSDL3\.so'; then
  needed=(libsdl3-0)
else
  needed=(libx11-6 libxkbcommon0 libwayland-client0 libwayland-cursor0 libdecor-0-0)
fi
needed+=(libxext6 libxss1 libsystemd0)
for lib in "${needed[@]}"; do
  field Depends | grep -Eq "(^|, )$lib(\$| |,)" || fail "Depends does not name $lib: '$(field Depends)'"
done
if field Depends | grep -Eq '(^|, )libsdl2'; then fail "Depends names SDL2: '$(field Depends)'"; fi
# What the program uses when it is there, without needing it: libdecor's
# plugin draws the window's decorations on Wayland, zenity shows the run-time
# error box there.
for recommended in libdecor-0-plugin-1-cairo zenity; do
  field Recommends | grep -Eq "(^|, )$recommended(\$| |,)" ||
    fail "Recommends does not name $recommended: '$(field Recommends)'"
done
field Maintainer | grep -Eq '^.+ <[^ >]+@[^ >]+>$' || fail "Maintainer is '$(field Maintainer)'"
# A one-line summary, then at least one line of longer description.
[ "$(field Description | sed -n '1p')" != "" ] || fail "the Description has no summary"
[ "$(field Description | sed -n '2p' | tr -d ' ')" != "" ] ||
  fail "the Description has no long description"

# The unpacked tree.
root="$tmp/root"
dpkg-deb -x "$deb" "$root"
desktop="$root/usr/share/applications/$app_id.desktop"
metainfo="$root/usr/share/metainfo/$app_id.metainfo.xml"

if ! desktop-file-validate "$desktop"; then fail "desktop-file-validate rejects the desktop entry"; fi
if ! appstreamcli validate --no-net "$metainfo"; then fail "appstreamcli rejects the metainfo"; fi

# The examples for starting it with a session: the unit as systemd reads it,
# its program where the package put it (verify looks for it on this system,
# so it is pointed into the unpacked tree), and the autostart entry.
examples="$root/usr/share/doc/glimmerfeld/examples"
grep -qx 'ExecStart=/usr/games/glimmerfeld --background' "$examples/glimmerfeld-background.service" ||
  fail "the unit does not start /usr/games/glimmerfeld --background"
mkdir -p "$tmp/units" "$tmp/run"
chmod 700 "$tmp/run"
sed "s#=/usr/games/#=$root/usr/games/#" "$examples/glimmerfeld-background.service" \
  >"$tmp/units/glimmerfeld-background.service"
if ! XDG_RUNTIME_DIR="$tmp/run" systemd-analyze --user verify "$tmp/units/glimmerfeld-background.service"; then
  fail "systemd-analyze rejects the user unit"
fi
for entry in background screensaver; do
  if ! desktop-file-validate "$examples/glimmerfeld-$entry.desktop"; then
    fail "desktop-file-validate rejects the $entry's autostart entry"
  fi
done

# The copyright file's stand-alone licence paragraph is the repository's
# LICENSE, indented and with "." for blank lines as the format wants.
awk 'on { print } prev == "" && /^License: Expat$/ { on = 1 } { prev = $0 }' \
  "$root/usr/share/doc/glimmerfeld/copyright" |
  sed -e 's/^ //' -e 's/^\.$//' >"$tmp/copyright.licence"
sed -n '/^Permission is hereby granted/,$p' "$source_dir/LICENSE" >"$tmp/licence"
if ! diff -u "$tmp/licence" "$tmp/copyright.licence" >&2; then
  fail "the packaged copyright's licence text differs from LICENSE"
fi

# The desktop entry points at what the package installs, on the PATH that
# Debian gives every user.
entry() { sed -n "s/^$1=//p" "$desktop"; }
[ "$(entry Name)" = Glimmerfeld ] || fail "the entry's Name is '$(entry Name)'"
[ "$(entry Type)" = Application ] || fail "the entry's Type is '$(entry Type)'"
exec_word=$(entry Exec | awk '{print $1}')
found=
for dir in /usr/local/bin /usr/bin /bin /usr/local/games /usr/games; do
  if [ -x "$root$dir/$exec_word" ]; then found=$dir/$exec_word; fi
done
[ -n "$found" ] || fail "the entry runs '$exec_word', which the package does not put on the PATH"
icon=$(entry Icon)
if [ -z "$icon" ] || [ ! -f "$root/usr/share/icons/hicolor/48x48/apps/$icon.png" ]; then
  fail "the entry's icon '$icon' is not among the package's icons"
fi
entry Categories | grep -Eq '(^|;)(Game|Graphics|AudioVideo|Utility)(;|$)' ||
  fail "the entry's Categories '$(entry Categories)' has no main category"

# The metainfo names the same component, entry and version.
grep -qF "<id>$app_id</id>" "$metainfo" || fail "the metainfo's id is not $app_id"
grep -qF "<launchable type=\"desktop-id\">$app_id.desktop</launchable>" "$metainfo" ||
  fail "the metainfo does not launch $app_id.desktop"
grep -q '<screenshot' "$metainfo" || fail "the metainfo has no screenshot"
newest=$(grep -o '<release version="[^"]*"' "$metainfo" | head -n1 | cut -d'"' -f2)
[ "$newest" = "$version" ] || fail "the metainfo's newest release is '$newest', not $version"

# Every bitmap icon is a PNG of the size its directory names.
while IFS= read -r png; do
  size=$(basename "$(dirname "$(dirname "$png")")")
  file -b "$png" | grep -qF "PNG image data, ${size%x*} x ${size#*x}," ||
    fail "$png is not a ${size} PNG: $(file -b "$png")"
done < <(find "$root/usr/share/icons/hicolor" -name '*.png')

# The unpacked program opens its window and closes cleanly when asked; timeout
# ends it (status 124) if it is still running 60 s after starting.
timeout 60 "$root/usr/games/glimmerfeld" 2>"$tmp/program.err" &
program_pid=$!
if window=$("$xprobe" wait "$title" 50000); then
  "$xprobe" close "$window"
  status=0
  wait "$program_pid" || status=$?
  program_pid=
  if [ "$status" -eq 124 ]; then
    fail "the unpacked program was still running after its window was closed"
  elif [ "$status" -ne 0 ]; then
    fail "the unpacked program ended with status $status: $(cat "$tmp/program.err")"
  fi
else
  fail "the unpacked program's window '$title' did not appear: $(cat "$tmp/program.err")"
fi

if [ "$failures" -ne 0 ]; then
  echo "$failures check(s) failed" >&2
  exit 1
fi
echo "PASS: $(basename "$deb") installs, validates and runs"
