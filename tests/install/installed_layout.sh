#!/usr/bin/env bash
# Installs the build into a temporary prefix and checks what a desktop finds
# there: both programs, a menu entry and metainfo that their validators
# accept, the icon at both sizes and the man page.
#   installed_layout.sh <build folder>
set -euo pipefail
build=$1
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
cmake --install "$build" --prefix "$prefix" >/dev/null
failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

for program in qeltv qeltv-runner; do
  [[ -x $prefix/bin/$program ]] || fail "bin/$program is missing or not executable"
done
version=$("$prefix/bin/qeltv" --version) || fail "qeltv --version failed"
[[ $version == "qEL TV 1.0.0.160" ]] || fail "qeltv --version printed '$version'"

desktop=$prefix/share/applications/qeltv.desktop
if [[ -f $desktop ]]; then
  # It prints hints without failing: any output counts.
  out=$(desktop-file-validate "$desktop" 2>&1) && [[ -z $out ]] || fail "desktop-file-validate: $out"
  grep -qx 'Exec=qeltv' "$desktop" || fail "the menu entry does not run qeltv"
  grep -qx 'Icon=qeltv' "$desktop" || fail "the menu entry does not name the icon qeltv"
  grep -qx 'Categories=AudioVideo;Video;TV;Recorder;' "$desktop" || fail "menu categories"
else
  fail "share/applications/qeltv.desktop is missing"
fi

metainfo=$prefix/share/metainfo/org.qel.qeltv.metainfo.xml
if [[ -f $metainfo ]]; then
  out=$(appstreamcli validate --no-net --explain "$metainfo" 2>&1) || fail "appstreamcli validate: $out"
  grep -q '<launchable type="desktop-id">qeltv.desktop</launchable>' "$metainfo" ||
    fail "the metainfo does not launch qeltv.desktop"
else
  fail "share/metainfo/org.qel.qeltv.metainfo.xml is missing"
fi

svg=$prefix/share/icons/hicolor/scalable/apps/qeltv.svg
[[ -f $svg ]] && grep -q '<svg' "$svg" || fail "no scalable icon"
png=$prefix/share/icons/hicolor/48x48/apps/qeltv.png
if [[ -f $png ]]; then
  # The PNG signature, then the IHDR chunk's width and height.
  header=$(od -An -tx1 -N24 "$png" | tr -d ' \n')
  [[ ${header:0:16} == 89504e470d0a1a0a ]] || fail "48x48/apps/qeltv.png is not a PNG"
  [[ ${header:32:16} == 0000003000000030 ]] || fail "48x48/apps/qeltv.png is not 48 by 48"
else
  fail "no 48x48 icon"
fi

man=$prefix/share/man/man1/qeltv.1
if [[ -f $man ]]; then
  for section in NAME SYNOPSIS OPTIONS SIGNALS 'SOCKET COMMANDS' FILES; do
    grep -q "^\.SH \"\?$section\"\?\$" "$man" || fail "the man page has no $section section"
  done
else
  fail "share/man/man1/qeltv.1 is missing"
fi

if ((failures > 0)); then
  exit 1
fi
echo "the installed layout is complete and valid"
