# Two counters at once, each behind a bridge of its own at its own port: both are read and
# recorded; one pulled out in the middle of the other's download leaves that download intact (the
# counter's whole memory, nothing lost at its bridge), and is read again once it is plugged back.
# vm-timeout: 240
. tests/vm/guest.sh
prepare
home=/home/$DESKTOP_USER
A=4801 # downloaded
B=4802 # pulled out in the middle of A's download
rows() { [ "$(tail -n +2 "$1" 2>/dev/null | wc -l)" -ge "$2" ]; }
downloaded() { tr '\r' '\n' < "$LOGS/download.err" | sed -n 's|^.* \([0-9][0-9]*\) / [0-9]* bytes.*$|\1|p' | tail -n 1; }
past() { [ "$(downloaded)" -ge "$1" ] 2>/dev/null; }

# Slowed more than in download_full_memory: the guest serves two counters, and a guest that
# fetches late loses characters at A's bridge (at 3x, on a loaded build machine, about 1,500).
plug_counter $A --full-memory --line-slowdown 6
plug_counter $B --profile walk
note "both plugged in: $(readlink -f /dev/oq-counter-$A) and $(readlink -f /dev/oq-counter-$B)"
[ "$(readlink -f /dev/oq-counter-$A)" != "$(readlink -f /dev/oq-counter-$B)" ] || fail "both counters got one tty"

note "both recorded"
# stop_watch SERIAL: Ctrl-C to the watch of that counter (the program, not the shell that waits for it).
stop_watch() {
  local pid
  pid="$(pgrep -u "$DESKTOP_USER" -f "^oqtool watch .*/dev/oq-counter-$1\$")" || fail "no watch of counter $1 is running"
  kill -INT "$pid"
  wait "${watch[$1]}" || fail "the watch of counter $1 ended badly: $(cat "$LOGS/watch-$1.err")"
}
declare -A watch=()
for s in $A $B; do
  as "$DESKTOP_USER" oqtool watch --format csv --output "$home/$s.csv" --port "/dev/oq-counter-$s" 2> "$LOGS/watch-$s.err" &
  watch[$s]=$!
done
wait_for 60 rows "$home/$A.csv" 3 || fail "counter $A: fewer than 3 readings recorded"
wait_for 60 rows "$home/$B.csv" 3 || fail "counter $B: fewer than 3 readings recorded"
stop_watch $A

note "A downloads; B is pulled out in the middle"
as "$DESKTOP_USER" oqtool download --port "/dev/oq-counter-$A" -o "$home/memory.dump" 2> "$LOGS/download.err" &
tool=$!
wait_for 120 past 20000 || fail "the download did not get going: $(tr '\r' '\n' < "$LOGS/download.err" | tail -n 2)"
at="$(downloaded)"
kill -0 "$tool" 2>/dev/null || fail "the download had ended before B was pulled out"
unplug_counter $B
note "B pulled out at byte $at of A's download"
wait "$tool" || fail "the download failed: $(tr '\r' '\n' < "$LOGS/download.err" | tail -n 3)"
[ "$at" -lt 65535 ] || fail "B was pulled out only after the dump"
as "$DESKTOP_USER" oqtool events "$home/memory.dump" --format csv > "$LOGS/events.csv" || fail "the downloaded dump does not read"
lines=$(wc -l < "$LOGS/events.csv")
[ "$lines" -eq 32763 ] || fail "$lines lines of events, expected 32,763 (a header and 32,762 counts)"
awk -F, 'NR == 1 { for (i = 1; i <= NF; i++) if ($i == "pulses") c = i; next }
  c && $c != 20 + (NR - 2) % 11 { bad++ } END { exit !c || bad }' "$LOGS/events.csv" \
  || fail "the downloaded events differ from counter $A's memory (see events.csv)"

note "B plugged back is read again"
wait_for 30 grep -q "unplugged" "$LOGS/watch-$B.err" || fail "the watch of counter $B did not notice the unplug: $(cat "$LOGS/watch-$B.err")"
before=$(tail -n +2 "$home/$B.csv" | wc -l)
plug_counter $B
wait_for 60 rows "$home/$B.csv" $((before + 2)) || fail "counter $B was not read again after the replug"
stop_watch $B
remove_counters
cat "$LOGS/sim-$A.log"
grep -q "stopped: [0-9]* characters delivered, 0 lost in the bridge's receive FIFO" "$LOGS/sim-$A.log" \
  || fail "counter $A's bridge lost characters: $(grep stopped "$LOGS/sim-$A.log")"
echo "two counters: both recorded; B pulled out at byte $at of A's download, which came through whole ($lines event lines); B read again after its replug"
