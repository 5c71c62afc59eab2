# Two counters at once, each behind a bridge of its own at its own port. The window reads and
# records both; the one chosen in its Device menu downloads its memory while the other is pulled
# out, and the download comes through as the counter holds it; the other is read again once it is
# plugged back. Then one oqtool watch without a port records both.
#
# The counter's small memory: a full one needs a slowed line here, and on a loaded build machine
# this guest, serving a window and two counters, still fetched late enough to lose characters at
# the bridge even at 12 times the line's time (download_full_memory covers the full memory).
# vm-timeout: 360
. tests/vm/guest.sh
prepare
home=/home/$DESKTOP_USER
A=4801 # downloaded
B=4802 # pulled out in the middle of A's download
window_log() { cat "$home"/.local/state/oq-online/Logs/oq-online*.log 2>/dev/null; }
mark=0
mark() { mark=$(window_log | wc -l); }
said() { window_log | tail -n +$((mark + 1)) | grep -q "$1"; }
# history_rows SERIAL N: the window has recorded at least N readings of that counter.
history_rows() { [ "$(as "$DESKTOP_USER" oqtool history --counter "$1" 2>/dev/null | tail -n +2 | wc -l)" -ge "$2" ]; }
window_key() { as "$DESKTOP_USER" xdotool search --sync --onlyvisible --class oq-online windowfocus --sync key "$@"; }

# B first, so the window lists A second and shows B until A is chosen.
plug_counter $B --profile walk
start_x
as "$DESKTOP_USER" oq-online > "$LOGS/oq-online.log" 2>&1 &
wait_for 90 said "Counter $B at bus location" || fail "the window did not read counter $B"
plug_counter $A
note "both plugged in: $(readlink -f /dev/oq-counter-$B) and $(readlink -f /dev/oq-counter-$A)"
[ "$(readlink -f /dev/oq-counter-$A)" != "$(readlink -f /dev/oq-counter-$B)" ] || fail "both counters got one tty"
wait_for 60 said "Counter $A at bus location" || fail "the window did not read counter $A"

note "both recorded by the window"
wait_for 60 history_rows $A 2 || fail "the window recorded no readings of counter $A"
wait_for 30 history_rows $B 2 || fail "the window recorded no readings of counter $B"

note "A chosen in the Device menu downloads; B is pulled out in the middle"
# The counters come last in the Device menu, in the order they came: A is the last item.
window_key alt+d
as "$DESKTOP_USER" xdotool key Up Return
screenshot chosen
mark
window_key ctrl+shift+d
wait_for 60 said "Protocol download requested" || fail "the download did not start"
# In the middle: A has been asked for its first section, and the protocol is not in yet.
wait_for 60 grep -qx c "$home/.local/state/oq-online/Logs/device.log" || fail "the transfer did not begin"
said "Protocol downloaded" && fail "the download had ended before B was pulled out"
unplug_counter $B
note "B pulled out"
wait_for 90 said "Protocol downloaded" || fail "the download did not end: $(window_log | tail -n 3)"
# The save dialog, once it is up: a path of our own.
as "$DESKTOP_USER" timeout 60 xdotool search --sync --onlyvisible --name "Save Protocol" windowfocus --sync \
  key ctrl+a type "$home/window.dump" || fail "no save dialog"
as "$DESKTOP_USER" xdotool key Return
wait_for 30 said "Protocol saved to" || fail "the protocol was not saved: $(window_log | tail -n 3)"
screenshot downloaded

note "B plugged back is read again"
mark
plug_counter $B
wait_for 60 said "Counter $B at bus location" || fail "the window did not read counter $B again"
pkill -TERM -u "$DESKTOP_USER" -x oq-online
wait_for 20 sh -c "! pgrep -u $DESKTOP_USER -x oq-online > /dev/null" || fail "the window did not quit"

note "what A holds, read again by oqtool alone"
as "$DESKTOP_USER" oqtool download --port "/dev/oq-counter-$A" -o "$home/alone.dump" 2> "$LOGS/download.err" \
  || fail "oqtool download failed: $(tr '\r' '\n' < "$LOGS/download.err" | tail -n 2)"
for dump in window alone; do
  as "$DESKTOP_USER" oqtool events "$home/$dump.dump" --format csv > "$LOGS/$dump-events.csv" || fail "the $dump dump does not read"
done
[ "$(wc -l < "$LOGS/window-events.csv")" -gt 1 ] || fail "the window's download holds no events"
cmp -s "$LOGS/window-events.csv" "$LOGS/alone-events.csv" || fail "the window's download differs from A's memory (see window-events.csv, alone-events.csv)"

note "one oqtool watch records both"
# counter_rows SERIAL N: at least N rows of that counter (the last column names it).
counter_rows() { [ "$(awk -F, -v s="$1" 'NR > 1 && $NF == s' "$home/all.csv" 2>/dev/null | wc -l)" -ge "$2" ]; }
as "$DESKTOP_USER" oqtool watch --format csv --output "$home/all.csv" 2> "$LOGS/watch.err" &
watch=$!
wait_for 90 counter_rows $A 2 || fail "oqtool watch recorded no readings of counter $A"
wait_for 30 counter_rows $B 2 || fail "oqtool watch recorded no readings of counter $B"
# Ctrl-C to the program, not to the shell that waits for it.
kill -INT "$(pgrep -u "$DESKTOP_USER" -x oqtool)"
wait "$watch" || fail "oqtool watch ended badly: $(cat "$LOGS/watch.err")"

remove_counters
echo "two counters: both recorded by the window; B pulled out during A's download, which came through as A holds it; B read again after its replug; one oqtool watch recorded both"
