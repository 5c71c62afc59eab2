# A full memory (65,535 protocol bytes, about 139,000 characters at 460800 baud) downloads intact
# through the kernel's FTDI driver and tty layer: the same events as the counter's own memory, and
# the bridge lost nothing. The dump phase is measured against the line's own limit.
# vm-timeout: 300
. tests/vm/guest.sh
prepare

home="$(getent passwd "$DESKTOP_USER" | cut -d: -f6)"
plug --full-memory
wait_tty > /dev/null
note "plugged in"
start=$(uptime_ms)
as "$DESKTOP_USER" oqtool download -o "$home/memory.dump" 2> "$RESULT/download.err" \
  || fail "the download failed: $(tail -n 3 "$RESULT/download.err")"
took=$(( $(uptime_ms) - start ))
note "downloaded in $took ms"
kill -TERM "$SIM_PID"; wait "$SIM_PID" || true; SIM_PID=""
cat "$RESULT/sim.log"
grep -q "stopped: [0-9]* characters delivered, 0 lost in the bridge's receive FIFO" "$RESULT/sim.log" \
  || fail "the bridge lost characters: $(grep stopped "$RESULT/sim.log")"

as "$DESKTOP_USER" oqtool events "$home/memory.dump" --format csv > "$RESULT/events.csv" || fail "the downloaded dump does not read"
lines=$(wc -l < "$RESULT/events.csv")
[ "$lines" -eq 32763 ] || fail "$lines lines of events, expected 32,763 (a header and 32,762 counts)"
# The counter's memory holds counts 20 + i % 11 for minute i; every one must have come through.
awk -F, 'NR == 1 { for (i = 1; i <= NF; i++) if ($i == "pulses") c = i; next }
  c && $c != 20 + (NR - 2) % 11 { bad++ } END { exit !c || bad }' "$RESULT/events.csv" \
  || fail "the downloaded events differ from the counter's memory (see events.csv)"
echo "full memory through the real driver: $lines event lines, whole download $took ms"
grep "last dump" "$RESULT/sim.log" > "$RESULT/figures.txt" || true
echo "download $took ms (information exchange, dump, parsing)" >> "$RESULT/figures.txt"
cat "$RESULT/figures.txt"
