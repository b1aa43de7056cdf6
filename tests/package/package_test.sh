#!/usr/bin/env bash
# The Debian package as a user gets it: built from the sources, unpacked into a throwaway root
# (the system is left alone), with its files in their places, clean for lintian and
# desktop-file-validate, and dependencies that are enough: the unpacked program, given only the
# GStreamer plugins of the packages it depends on, whatever else this machine has, shows its
# moving picture and ends with status 0 on a key, printing nothing.
# Needs an X display (tests/run_with_xvfb.sh gives one), xdotool and ImageMagick.
set -u
cd "$(dirname "$0")/../.."
work=$(mktemp -d)
pid=
trap '[ -n "$pid" ] && kill "$pid" 2>/dev/null; rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

package=$(scripts/package.sh) || fail "scripts/package.sh could not build the package"
root=$work/root
dpkg-deb -x "$package" "$root" || fail "dpkg-deb could not unpack $package"

for file in usr/bin/edge-viewer usr/share/applications/edge-viewer.desktop \
  usr/share/icons/hicolor/scalable/apps/edge-viewer.svg usr/share/man/man1/edge-viewer.1.gz \
  usr/share/doc/edge-viewer/copyright usr/share/doc/edge-viewer/changelog.gz \
  usr/share/bash-completion/completions/edge-viewer; do
  [ -s "$root/$file" ] || fail "the package lacks /$file"
done
[ -x "$root/usr/bin/edge-viewer" ] || fail "/usr/bin/edge-viewer is not executable"

# The installed completion completes the installed program's options.
completion=$(bash -c 'source "$1/usr/share/bash-completion/completions/edge-viewer"
  COMP_WORDS=(edge-viewer --list); COMP_CWORD=1; _edge_viewer; echo "${COMPREPLY[*]}"' - "$root")
[ "$completion" = --list-cameras ] || fail "the bash completion completes --list to \"$completion\""

# A version bump in CMakeLists.txt alone leaves the changelog behind it, which apt shows users.
version=$(dpkg-deb -f "$package" Version)
changelog_version=$(zcat "$root/usr/share/doc/edge-viewer/changelog.gz" | sed -n '1s/^edge-viewer (\([^)]*\)).*/\1/p')
[ "$changelog_version" = "$version" ] ||
  fail "the changelog's last entry is ${changelog_version:-unreadable}, the package is $version"

# A menu entry whose command or icon is not in the package shows a broken item.
desktop=$root/usr/share/applications/edge-viewer.desktop
desktop-file-validate "$desktop" || fail "desktop-file-validate rejects the menu entry"
exec_command=$(sed -n 's/^Exec=\([^ ]*\).*/\1/p' "$desktop")
icon=$(sed -n 's/^Icon=//p' "$desktop")
[ -x "$root/usr/bin/$exec_command" ] || fail "the menu entry runs \"$exec_command\", not in /usr/bin"
compgen -G "$root/usr/share/icons/hicolor/*/apps/$icon.*" >/dev/null ||
  fail "the menu entry's icon \"$icon\" is not in the package"

# Errors and warnings fail; lintian's informational notes are printed only.
lintian --fail-on error,warning --pedantic "$package" 2> >(grep -v 'root privileges' >&2) ||
  fail "lintian reports errors or warnings"

# The dependencies exist in Debian as written (each one is installed here) ...
depends=$(dpkg-deb -f "$package" Depends)
dpkg-checkbuilddeps -d "$depends" /dev/null || fail "dependencies not installed here: $depends"
depends_names=" $(echo "$depends" | sed 's/([^)]*)//g; s/[,|]/ /g' | tr -s ' ') "
owner() { # the package that installed a file, trying the path with and without /usr
  local path
  for path in "$1" "$(readlink -f "$1")"; do
    dpkg -S "$path" 2>/dev/null && return
    dpkg -S "${path#/usr}" 2>/dev/null && return
  done
}
must_depend_on_owner() { # file, why the program needs it
  local name
  name=$(owner "$1" | head -n 1 | cut -d: -f1)
  [ -n "$name" ] || fail "no Debian package owns $1 ($2)"
  [[ $depends_names == *" $name "* ]] || fail "Depends lacks $name, which provides $1 ($2)"
}

# The camera plugins it recommends are packages Debian has (they need not be installed here).
recommends=$(dpkg-deb -f "$package" Recommends)
for name in gstreamer1.0-pipewire gstreamer1.0-libcamera; do
  [[ ", $recommends, " == *", $name, "* ]] || fail "Recommends lacks $name: $recommends"
  apt-cache show "$name" >/dev/null 2>&1 || fail "Recommends names $name, which apt does not know"
done

# ... and name every library the program links ...
needed=" $(objdump -p "$root/usr/bin/edge-viewer" | awk '$1 == "NEEDED" { print $2 }' | tr '\n' ' ') "
while read -r name path; do
  [[ $needed == *" $name "* ]] && must_depend_on_owner "$path" "linked"
done < <(ldd "$root/usr/bin/edge-viewer" | awk '$2 == "=>" && $3 ~ /^\// { print $1, $3 }')

# ... and every GStreamer plugin it needs: it runs with GStreamer's plugin path limited to the
# plugins those packages hold, and a registry of its own, so neither a plugin of another package
# installed here nor one missing here changes what it finds.
plugins=$work/plugins
mkdir "$plugins"
for name in $depends_names; do
  dpkg -L "$name" 2>/dev/null | grep '/gstreamer-1\.0/[^/]*\.so$' || true
done | sort -u | xargs -r ln -s -t "$plugins"
[ -n "$(ls "$plugins")" ] || fail "the packages it depends on hold no GStreamer plugin: $depends"
env -u GST_PLUGIN_PATH -u GST_PLUGIN_PATH_1_0 -u GST_PLUGIN_SYSTEM_PATH -u GST_REGISTRY \
  GST_PLUGIN_SYSTEM_PATH_1_0="$plugins" GST_REGISTRY_1_0="$work/registry.bin" \
  "$root/usr/bin/edge-viewer" </dev/null >"$work/stdout" 2>"$work/stderr" &
pid=$!
window=$(timeout 30 xdotool search --sync --onlyvisible --pid "$pid" --name '^edge$' | head -n 1)
[ -n "$window" ] || fail "the installed program shows no window named \"edge\": $(cat "$work/stderr")"

# Without a window manager the preview opens over "edge", at the top left corner: moved aside.
preview=
for _ in $(seq 300); do
  preview=$(xdotool search --onlyvisible --pid "$pid" --name '.' 2>/dev/null | grep -vx "$window" | head -n 1)
  [ -n "$preview" ] && break
  sleep 0.1
done
[ -n "$preview" ] || fail "the installed program shows no preview: $(cat "$work/stderr")"
xdotool windowmove --sync "$preview" 1280 0

# Its picture: edges (pure white) under the tool bar, which change as the test pattern's clock, or
# a camera's picture, does.
edge_pixels() {
  eval "$(xdotool getwindowgeometry --shell "$window")"
  timeout 20 import -window "$window" "$work/$1.png" 2>/dev/null
  convert "$work/$1.png" -crop "$((WIDTH - 40))x$((HEIGHT - 120))+20+40" -threshold 99% \
    -format '%[fx:round(mean*w*h)]' info:
}
for _ in $(seq 100); do
  edges=$(edge_pixels first)
  [ "${edges:-0}" -gt 1000 ] && break
  sleep 0.1
done
[ "${edges:-0}" -gt 1000 ] || fail "the installed program shows no edges (${edges:-no} edge pixels): $(cat "$work/stderr")"
moved=
for _ in $(seq 30); do
  sleep 0.1
  edge_pixels later >/dev/null
  [ "$(compare -metric AE "$work/first.png" "$work/later.png" null: 2>&1)" != 0 ] && moved=yes && break
done
[ -n "$moved" ] || fail "the installed program's picture stands still"

# Every plugin it loaded came from the limited path: a check on this test's own means.
allowed=$(readlink -f "$plugins"/* | sort -u)
for plugin in $(awk '$6 ~ /\/gstreamer-1\.0\/.*\.so$/ { print $6 }' "/proc/$pid/maps" | sort -u); do
  grep -qxF "$(readlink -f "$plugin")" <<<"$allowed" ||
    fail "the installed program loaded $plugin, outside the plugins of its dependencies"
done

xdotool key --window "$window" space 2>/dev/null
for _ in $(seq 100); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
kill -0 "$pid" 2>/dev/null && fail "the installed program did not end after a key"
wait "$pid"
status=$?
pid=
[ "$status" -eq 0 ] || fail "the installed program ended with status $status: $(cat "$work/stderr")"
# Without a camera it says so on one line; with one, nothing.
no_camera="edge-viewer: no camera found; showing the built-in test pattern"
[ ! -s "$work/stdout" ] && { [ ! -s "$work/stderr" ] || [ "$(cat "$work/stderr")" = "$no_camera" ]; } ||
  fail "the installed program printed: $(cat "$work/stdout" "$work/stderr")"

echo "$(basename "$package"): $(stat -c %s "$package") bytes, installed size" \
  "$(dpkg-deb -f "$package" Installed-Size) KiB; $edges edge pixels with the" \
  "$(ls "$plugins" | wc -l) plugins of $(echo $depends_names | wc -w) dependencies"
