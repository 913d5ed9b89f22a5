#!/usr/bin/env bash
# Builds the Debian package, checks its control fields and its files, runs
# lintian and appstreamcli on it, unpacks it (no root, no installation) and starts the unpacked programmer from an
# unrelated directory, where it must find the installed sounds.
# Usage: package_test.sh BUILD_DIR SOURCE_DIR VERSION PROGRAM...
#   PROGRAM: every program the package must carry in /usr/bin (empty ones are
#   ignored), and no other.
set -euo pipefail
build=$(realpath "$1")
source=$(realpath "$2")
version=$3
shift 3
programs=()
for p in "$@"; do
  if [[ -n $p ]]; then programs+=("$p"); fi
done

fail() {
  echo "FAIL: $*" >&2
  exit 1
}

work=$build/package-test
rm -rf "$work"
mkdir -p "$work"

arch=$(dpkg --print-architecture)
deb=$build/tavrin-programmer_${version}_${arch}.deb
rm -f "$deb"
if ! cmake --build "$build" --target package >"$work/build.log" 2>&1; then
  cat "$work/build.log" >&2
  fail "cmake --build --target package failed"
fi
[[ -f $deb ]] || fail "no $deb after the build"

# Control fields.
field() { dpkg-deb -f "$deb" "$1"; }
[[ $(field Package) == tavrin-programmer ]] || fail "Package: $(field Package)"
[[ $(field Version) == "$version" ]] || fail "Version: $(field Version), want $version"
[[ $(field Architecture) == "$arch" ]] || fail "Architecture: $(field Architecture)"
[[ -n $(field Maintainer) ]] || fail "no Maintainer"
[[ -n $(field Section) ]] || fail "no Section"
description=$(field Description)
(($(wc -l <<<"$description") > 1)) || fail "Description has no long part: $description"
# Computed by dpkg-shlibdeps from the programs themselves.
depends=$(field Depends)
for lib in libc6 libstdc++6 libqt6widgets6 libqt6multimedia6; do
  [[ $depends == *"$lib "* || $depends == *"$lib," || $depends == *"$lib" ]] ||
    fail "Depends lacks $lib: $depends"
done

# The file list: mode, owner and path of every entry.
dpkg-deb -c "$deb" | awk '{ print $1, $2, $6 }' >"$work/contents"
if grep -v ' \./usr/' "$work/contents" | grep -v ' \./$' >"$work/outside"; then
  fail "entries outside /usr: $(cat "$work/outside")"
fi
if grep -v ' root/root ' "$work/contents" >"$work/owners"; then
  fail "entries not owned by root: $(cat "$work/owners")"
fi
has() {  # MODE PATH
  grep -qxF -- "$1 root/root ./usr/$2" "$work/contents" || fail "missing or wrong mode: $1 /usr/$2"
}
for p in "${programs[@]}"; do has -rwxr-xr-x "bin/$p"; done
bins=$(grep -c ' \./usr/bin/.' "$work/contents" || true)
((bins == ${#programs[@]})) ||
  fail "/usr/bin has $bins programs, want ${#programs[@]} (${programs[*]}): $(grep ' \./usr/bin/.' "$work/contents")"
for f in share/tavrin-programmer/voice/update_is_ready.wav share/tavrin-programmer/voice/update_failed.wav \
  share/applications/tavrin-programmer.desktop \
  share/icons/hicolor/scalable/apps/tavrin-programmer.svg \
  share/icons/hicolor/48x48/apps/tavrin-programmer.png \
  lib/udev/rules.d/70-tavrin-programmer.rules \
  share/doc/tavrin-programmer/README.md share/doc/tavrin-programmer/copyright \
  share/doc/tavrin-programmer/THIRD-PARTY-NOTICES share/doc/tavrin-programmer/changelog.gz \
  share/metainfo/io.github.tavrin.programmer.metainfo.xml; do
  has -rw-r--r-- "$f"
done
# A manual page for every program, compressed as Debian wants it; the
# command line's completion where each shell looks for it.
for p in "${programs[@]}"; do has -rw-r--r-- "share/man/man1/$p.1.gz"; done
pages=$(grep -c ' \./usr/share/man/man1/.' "$work/contents" || true)
((pages == ${#programs[@]})) || fail "man1 has $pages pages, want ${#programs[@]}"
if [[ " ${programs[*]} " == *" tavrin-cli "* ]]; then
  for f in share/bash-completion/completions/tavrin-cli share/zsh/vendor-completions/_tavrin-cli \
    share/fish/vendor_completions.d/tavrin-cli.fish; do
    has -rw-r--r-- "$f"
  done
fi

# Debian's own checks: any error or warning fails (an override would need a
# comment saying why; there is none).
if ! lintian --fail-on error,warning --tag-display-limit 0 "$deb" >"$work/lintian.log" 2>&1; then
  fail "lintian: $(grep -v '^running with root' "$work/lintian.log")"
fi

# Unpacked into a root of its own.
root=$work/root
dpkg-deb -x "$deb" "$root"
for p in "${programs[@]}"; do
  file -L "$root/usr/bin/$p" | grep -q ', stripped' || fail "$p is not stripped: $(file -L "$root/usr/bin/$p")"
done
# Every program tells the project's version, from the one place it is
# written; the window program without a display.
for p in "${programs[@]}"; do
  said=$(env -u DISPLAY -u WAYLAND_DISPLAY "$root/usr/bin/$p" --version 2>&1) ||
    fail "$p --version failed: $said"
  [[ $said == "$p $version" ]] || fail "$p --version says '$said', want '$p $version'"
done
desktop=$root/usr/share/applications/tavrin-programmer.desktop
desktop-file-validate "$desktop" || fail "desktop-file-validate rejects the desktop entry"
exec_name=$(sed -n 's/^Exec=\([^ ]*\).*/\1/p' "$desktop")
[[ -x $root/usr/bin/$exec_name ]] || fail "Exec=$exec_name is not an installed program"
icon=$(sed -n 's/^Icon=//p' "$desktop")
[[ -f $root/usr/share/icons/hicolor/48x48/apps/$icon.png ]] || fail "no 48x48 icon named $icon"
# Width and height of the PNG: two big-endian 32-bit numbers after its signature and IHDR tag.
size=$(od -An -tx1 -j16 -N8 "$root/usr/share/icons/hicolor/48x48/apps/$icon.png" | tr -d ' \n')
[[ $size == 0000003000000030 ]] || fail "the 48x48 icon is not 48 by 48 pixels: $size"
# The software centre's entry: valid, and this version its newest release.
metainfo=$root/usr/share/metainfo/io.github.tavrin.programmer.metainfo.xml
appstreamcli validate --no-net --pedantic "$metainfo" >"$work/appstream.log" 2>&1 ||
  fail "appstreamcli validate: $(cat "$work/appstream.log")"
grep -q "^P: \|^I: \|^W: \|^E: " "$work/appstream.log" && fail "appstreamcli validate: $(cat "$work/appstream.log")"
grep -q "<release version=\"$version\"" "$metainfo" || fail "the metainfo's release is not $version"
launchable=$(sed -n 's:.*<launchable type="desktop-id">\(.*\)</launchable>.*:\1:p' "$metainfo")
[[ -f $root/usr/share/applications/$launchable ]] || fail "the metainfo launches $launchable, which is not installed"
zcat "$root/usr/share/doc/tavrin-programmer/changelog.gz" | head -1 | grep -q "^tavrin-programmer ($version) " ||
  fail "the changelog's entry is not $version"
# The installed README and docs are read where they lie: every link leads to
# a file of the package.
python3 "$source/tests/docs/links_test.py" "$root/usr/share/doc/tavrin-programmer" >"$work/links.log" 2>&1 ||
  fail "the installed documents have broken links: $(cat "$work/links.log")"
for f in update_is_ready.wav update_failed.wav; do
  cmp -s "$source/voice/$f" "$root/usr/share/tavrin-programmer/voice/$f" || fail "installed $f differs"
done

# Started offscreen from a directory that has no voice/: the sounds must come
# from the unpacked tree.
elsewhere=$work/elsewhere
mkdir -p "$elsewhere"
mkdir -m 700 "$work/runtime"
log=$work/programmer.log
(cd "$elsewhere" && XDG_RUNTIME_DIR=$work/runtime QT_QPA_PLATFORM=offscreen TAVRIN_SHOW_SOUND_PATHS=1 \
  exec "$root/usr/bin/tavrin-programmer" >"$log" 2>&1) &
pid=$!
stop() { kill "$pid" 2>/dev/null || true; }
trap stop EXIT
deadline=$((SECONDS + 20))
until grep -q '^voice//update_failed.wav: ' "$log"; do
  kill -0 "$pid" 2>/dev/null || fail "the programmer ended early: $(cat "$log")"
  ((SECONDS < deadline)) || fail "the programmer told no sound paths within 20 s: $(cat "$log")"
  sleep 0.1
done
voice=$(realpath "$root")/usr/share/tavrin-programmer/voice
for f in update_is_ready.wav update_failed.wav; do
  grep -qxF "voice//$f: $voice/$f" "$log" || fail "voice//$f not found in $voice: $(cat "$log")"
done
kill -0 "$pid" 2>/dev/null || fail "the programmer ended: $(cat "$log")"
echo "package: $(basename "$deb") checked, $(wc -l <"$work/contents") entries"
