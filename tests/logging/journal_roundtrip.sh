#!/usr/bin/env bash
# Runs the journal round trip against a private journald: a mount namespace with its own /run, so
# the machine's journal (if any) is neither used nor disturbed. Skips (77) where that cannot be had.
set -u
test_exe="$1"
journald=/lib/systemd/systemd-journald
if [ "$(id -u)" != 0 ] || [ ! -x "$journald" ] || ! command -v unshare >/dev/null; then
  echo "skipped: needs root, unshare and systemd-journald"
  exit 77
fi
exec timeout 60 unshare -m --propagation private bash -c '
  mount -t tmpfs tmpfs /run 2>/dev/null || { echo "skipped: cannot mount a private /run"; exit 77; }
  mkdir -p /run/systemd/journal /run/log/journal
  '"$journald"' >/dev/null 2>&1 &
  jpid=$!
  trap "kill $jpid 2>/dev/null; wait $jpid 2>/dev/null" EXIT
  for _ in $(seq 50); do [ -S /run/systemd/journal/socket ] && break; sleep 0.1; done
  [ -S /run/systemd/journal/socket ] || { echo "skipped: journald did not start"; exit 77; }
  out=$("'"$test_exe"'" --gtest_filter="SystemLog.JournalRoundTrip*" 2>&1)
  rc=$?
  echo "$out"
  [ $rc = 0 ] || exit $rc
  echo "$out" | grep -q "\[  SKIPPED \]" && exit 77
  exit 0
'
