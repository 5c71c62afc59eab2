#!/usr/bin/env bash
# Installs the build into a temporary prefix and checks every installed file: the exact set, the
# programs start, the desktop entry and AppStream metainfo validate and point at what is
# installed, the icons have their sizes, the man pages render cleanly and cover every option and
# command, and the user unit runs the installed oqtool.
set -uo pipefail
BUILD=${1:?build dir}
SRC=${2:?source dir}
VERSION=${3:?project version}

# English unless a check asks for German.
export LC_ALL=C.UTF-8 LANGUAGE= LANG=C.UTF-8
PREFIX=$(mktemp -d)
trap 'rm -rf "$PREFIX"' EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
ok() { echo "ok: $*"; }

if ! cmake --install "$BUILD" --prefix "$PREFIX" >"$PREFIX.log" 2>&1; then
  cat "$PREFIX.log"; rm -f "$PREFIX.log"; echo "FAIL: cmake --install"; exit 1
fi
rm -f "$PREFIX.log"

APP_ID=net.orbelquist.oq_online
SIZES="16 22 24 32 48 64 128 256 512"
expected=(
  bin/oq-online bin/oqtool bin/oq-counter-sim
  share/applications/oq-online.desktop
  share/metainfo/$APP_ID.metainfo.xml
  share/icons/hicolor/scalable/apps/oq-online.svg
  share/man/man1/oq-online.1 share/man/man1/oqtool.1 share/man/man1/oq-counter-sim.1
  lib/udev/rules.d/70-oq-counter.rules
  lib/systemd/user/oq-record.service
  share/doc/oq-online/README.md
)
for s in $SIZES; do expected+=("share/icons/hicolor/${s}x${s}/apps/oq-online.png"); done

# ---- the exact set of files
installed=$(cd "$PREFIX" && find . -type f -o -type l | sed 's|^\./||' | sort)
wanted=$(printf '%s\n' "${expected[@]}" | sort)
missing=$(comm -13 <(echo "$installed") <(echo "$wanted"))
extra=$(comm -23 <(echo "$installed") <(echo "$wanted"))
[ -z "$missing" ] && ok "nothing missing" || fail "not installed: $missing"
[ -z "$extra" ] && ok "nothing unexpected" || fail "installed but not checked here (add it to this test): $extra"

# ---- programs
for p in oq-online oqtool oq-counter-sim; do
  [ -x "$PREFIX/bin/$p" ] || fail "bin/$p is not executable"
done
oqtool_help=$("$PREFIX/bin/oqtool" --help 2>&1) && ok "oqtool --help" || fail "oqtool --help: $oqtool_help"
# A command-line start stays light: the window system's libraries would triple it.
gui_libs=$(readelf -d "$PREFIX/bin/oqtool" | grep -oE 'libQt6(Gui|Widgets|DBus)[^]]*')
[ -z "$gui_libs" ] && ok "oqtool links no window-system library" || fail "oqtool links $gui_libs"
sim_help=$("$PREFIX/bin/oq-counter-sim" --help 2>&1) && ok "oq-counter-sim --help" || fail "oq-counter-sim --help: $sim_help"
online_help=$(QT_QPA_PLATFORM=offscreen "$PREFIX/bin/oq-online" --help 2>&1) && ok "oq-online --help" || fail "oq-online --help: $online_help"

# ---- the user's language
out=$(LANGUAGE=de "$PREFIX/bin/oqtool" --help 2>&1)
grep -q '^Befehle:' <<<"$out" && ok "oqtool --help in German" || fail "oqtool --help ignores LANGUAGE=de: $out"
out=$(LC_ALL= LANG=de_DE.UTF-8 "$PREFIX/bin/oqtool" watch --format xml 2>&1)
grep -q 'unbekanntes Format' <<<"$out" && ok "oqtool errors in German" || fail "oqtool errors ignore LANG=de_DE.UTF-8: $out"
out=$("$PREFIX/bin/oqtool" watch --format xml 2>&1)
grep -q 'unknown format' <<<"$out" && ok "oqtool errors in English" || fail "oqtool errors not in English: $out"

# ---- desktop entry
desktop=$PREFIX/share/applications/oq-online.desktop
out=$(desktop-file-validate "$desktop" 2>&1) && [ -z "$out" ] && ok "desktop-file-validate" || fail "desktop-file-validate: $out"
key() { sed -n "s/^$1=//p" "$desktop" | head -1; }
[ -x "$PREFIX/bin/$(key Exec | cut -d' ' -f1)" ] && ok "Exec names an installed program" || fail "Exec=$(key Exec) is not installed"
[ -f "$PREFIX/share/icons/hicolor/scalable/apps/$(key Icon).svg" ] && ok "Icon names the installed icon" || fail "Icon=$(key Icon) is not installed"
for k in 'Name\[de\]' 'Comment\[de\]' Categories Comment; do
  [ -n "$(key "$k")" ] || fail "desktop entry lacks $k"
done

# ---- AppStream
metainfo=$PREFIX/share/metainfo/$APP_ID.metainfo.xml
out=$(appstreamcli validate --no-net --pedantic "$metainfo" 2>&1) && ok "appstreamcli validate" || fail "appstreamcli validate: $out"
out=$(appstreamcli validate-tree --no-net "$PREFIX" 2>&1) && ok "appstreamcli validate-tree" || fail "appstreamcli validate-tree: $out"
grep -q "<launchable type=\"desktop-id\">oq-online.desktop</launchable>" "$metainfo" && ok "metainfo launches the desktop entry" || fail "metainfo's launchable is not oq-online.desktop"
grep -q "<release version=\"$VERSION\"" "$metainfo" && ok "metainfo lists release $VERSION" || fail "metainfo has no release $VERSION"
for b in oq-online oqtool oq-counter-sim; do
  grep -q "<binary>$b</binary>" "$metainfo" || fail "metainfo does not provide $b"
done

# ---- icons
for s in $SIZES; do
  f=$PREFIX/share/icons/hicolor/${s}x${s}/apps/oq-online.png
  file "$f" | grep -q "PNG image data, $s x $s," || fail "$f is not a ${s}x${s} PNG: $(file -b "$f")"
done
ok "PNG icons have their sizes"
xmllint --noout "$PREFIX/share/icons/hicolor/scalable/apps/oq-online.svg" 2>/dev/null \
  || python3 -c 'import sys, xml.dom.minidom; xml.dom.minidom.parse(sys.argv[1])' "$PREFIX/share/icons/hicolor/scalable/apps/oq-online.svg" \
  && ok "SVG icon is well-formed XML" || fail "SVG icon is not well-formed"

# ---- man pages: render without warnings, and name every option and command the programs offer
for page in oq-online oqtool oq-counter-sim; do
  f=$PREFIX/share/man/man1/$page.1
  warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -E UTF-8 -l "$f" 2>&1 >/dev/null)
  [ -z "$warnings" ] && ok "$page.1 renders cleanly" || fail "$page.1: $warnings"
done
text() { LC_ALL=C.UTF-8 MANWIDTH=200 man -E UTF-8 -l "$PREFIX/share/man/man1/$1.1" 2>/dev/null | sed 's/\xe2\x80\x90//g'; }
check_options() { # page help-text
  local page=$1 help=$2 body opt
  body=$(text "$page")
  for opt in $(grep -oE -- '--[a-z][a-z-]*' <<<"$help" | sort -u); do
    grep -qF -- "$opt" <<<"$body" || fail "$page.1 does not describe $opt"
  done
}
check_options oq-online "$online_help"
check_options oq-counter-sim "$sim_help"
oqtool_page=$(text oqtool)
for cmd in $(sed -n 's/^  \([a-z][a-z-]*\) .*/\1/p' <<<"$oqtool_help"); do
  grep -qE "^       $cmd( |$)" <<<"$oqtool_page" || fail "oqtool.1 does not describe the command $cmd"
  check_options oqtool "$("$PREFIX/bin/oqtool" "$cmd" --help 2>&1)"
done
ok "man pages cover the programs' options and commands"

# ---- systemd user unit
unit=$PREFIX/lib/systemd/user/oq-record.service
exec_start=$(sed -n 's/^ExecStart=//p' "$unit")
[ "${exec_start%% *}" = "$PREFIX/bin/oqtool" ] && ok "the unit runs the installed oqtool" || fail "ExecStart=$exec_start does not start $PREFIX/bin/oqtool"
grep -q -- "watch --format csv --output" <<<"$exec_start" || fail "the unit does not record CSV: $exec_start"
# Private readings and history; and nothing that implies NoNewPrivileges in a user unit, which would
# stop an alert command's setgid mail helper.
for line in UMask=0077 StateDirectoryMode=0700; do
  grep -qx "$line" "$unit" || fail "the unit lacks $line"
done
nnp=$(grep -E '^(NoNewPrivileges|LockPersonality|Restrict[A-Za-z]*|SystemCall[A-Za-z]*|MemoryDenyWriteExecute|Protect[A-Za-z]*|Private[A-Za-z]*)=' "$unit" || true)
[ -z "$nnp" ] && ok "the unit is private and lets a setgid alert helper work" || fail "the unit implies NoNewPrivileges: $nnp"
if command -v systemd-analyze >/dev/null; then
  runtime=$(mktemp -d)
  out=$(XDG_RUNTIME_DIR=$runtime systemd-analyze --user verify --man=no "$unit" 2>&1)
  rm -rf "$runtime"
  [ -z "$out" ] && ok "systemd-analyze --user verify" || fail "systemd-analyze --user verify: $out"
fi

echo
[ "$failures" -eq 0 ] && echo "install test: all checks passed" || echo "install test: $failures failed"
[ "$failures" -eq 0 ]
