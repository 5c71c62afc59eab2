#!/usr/bin/env bash
# oq-online as a native Wayland client of the headless Weston that scripts/with-wayland starts:
# the simulated counter's reading on screen, photographed by the compositor (what the user sees,
# with Qt's own window decoration), then the quit sequence that logout's SIGTERM runs.
set -euo pipefail
ONLINE="$1"
[ "${QT_QPA_PLATFORM:-}" = wayland ] || { echo "run me under scripts/with-wayland" >&2; exit 1; }
ART="${OQ_TEST_ARTIFACTS:?}"
mkdir -p "$ART"
WORK="$(mktemp -d "${TMPDIR:-/tmp}/oq-wayland-shot.XXXXXX")"
trap 'rm -rf "$WORK"' EXIT
export XDG_CONFIG_HOME="$WORK" XDG_STATE_HOME="$WORK" XDG_DATA_HOME="$WORK" OQ_ONLINE_SEPARATE_INSTANCE=1
"$ONLINE" --simulate --time-scale 0.2 &
PID=$!
LOGS="$WORK/oq-online/Logs"
# Streaming once the rate command has gone out; the first readings follow within a second.
for _ in $(seq 1 300); do
  grep -qs 'R$' "$LOGS/device.log" && break
  sleep 0.1
done
sleep 1
if ! grep -q "Window system: wayland" "$LOGS"/oq-online\ *.log; then
  echo "oq-online is not a Wayland client:" >&2
  cat "$LOGS"/oq-online\ *.log >&2 || true
  kill $PID
  exit 1
fi
(cd "$WORK" && weston-screenshooter)
mv "$WORK"/wayland-screenshot-*.png "$ART/main-window.png"
kill -TERM $PID
rc=0
wait $PID || rc=$?
[ $rc -eq 0 ] || { echo "oq-online ended with $rc on SIGTERM" >&2; exit 1; }
grep -q "Application will Terminate" "$LOGS"/oq-online\ *.log
echo "Picture of the main window on Wayland: $ART/main-window.png"
