# The counter is unplugged in the middle of a download: oqtool says so (not a driver status code),
# writes no file, does not spin, and the next plug-in works.
. tests/vm/guest.sh
prepare
home="$(getent passwd "$DESKTOP_USER" | cut -d: -f6)"
plug --full-memory --unplug-after-dump-bytes 40000
wait_tty > /dev/null
note "plugged in"
as "$DESKTOP_USER" oqtool download -o "$home/memory.dump" > "$LOGS/download.out" 2> "$LOGS/download.err" &
tool=$!
wait_for 120 grep -q "^unplugged" "$LOGS/sim.log" || fail "the bridge was not pulled out"
note "unplugged"
sleep 2
if [ -e "/proc/$tool" ]; then
  before=$(cpu_ticks "$tool" 2>/dev/null || echo 0)
  sleep 1
  after=$(cpu_ticks "$tool" 2>/dev/null || echo "$before")
  [ $(( after - before )) -le 5 ] || fail "oqtool still uses the CPU 2 s after the unplug ($(( after - before )) ticks in 1 s)"
fi
status=0
wait "$tool" || status=$?
tr '\r' '\n' < "$LOGS/download.err" | tail -n 3
[ "$status" -ne 0 ] || fail "oqtool download reported success"
grep -q "unplugged" "$LOGS/download.err" || fail "oqtool does not say the counter was unplugged"
grep -q "Driver return code" "$LOGS/download.err" && fail "oqtool shows a driver status code"
[ ! -e "$home/memory.dump" ] || fail "a file was written"

wait_for 20 tty_gone || fail "the tty stayed after the unplug"
plug
wait_tty > /dev/null
note "plugged in again"
as "$DESKTOP_USER" oqtool info > "$LOGS/info.out" 2> "$LOGS/info.err" \
  || fail "oqtool info failed after the replug: $(cat "$LOGS/info.err")"
echo "unplug in the middle: said so, no file, quiet; the next plug-in works"
