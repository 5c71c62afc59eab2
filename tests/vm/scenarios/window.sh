# The window through a restless cable: 20 quick plug/unplug cycles end with the reading shown and no
# more threads or descriptors than before; a counter pulled out in the middle of a download gives a
# message that says so, no file and an idle process, and the next plug-in works.
# vm-timeout: 420
. tests/vm/guest.sh
prepare
home=/home/$DESKTOP_USER
window_log() { cat "$home"/.local/state/oq-online/Logs/oq-online*.log 2>/dev/null; }
mark=0
mark() { mark=$(window_log | wc -l); }
shows() { window_log | tail -n +$((mark + 1)) | grep -q "$1"; }
last_shown_is() { [ "$(window_log | grep 'Window shows' | tail -n 1)" = "Window shows: $1" ]; }

# A full memory that is pulled out a third of the way through its dump.
plug --serial 4712 --full-memory --unplug-after-dump-bytes 20000
wait_tty > /dev/null
start_x
as "$DESKTOP_USER" oq-online > "$LOGS/oq-online.log" 2>&1 &
wait_for 90 shows "Window shows: Reading$" || fail "the window shows no reading"
window="$(pgrep -u "$DESKTOP_USER" -x oq-online)"
read -r threads_before fds_before <<< "$(process_load "$window")"
note "window $window: $threads_before threads, $fds_before descriptors"

for cycle in $(seq 1 20); do
  kill -USR1 "$SIM_PID"
  # Some cycles let the unplug land, others plug back in before anything settled.
  if [ $((cycle % 2)) = 0 ]; then
    wait_for 20 tty_gone || fail "cycle $cycle: the tty stayed after the unplug; the simulator said: $(tail -n 3 "$LOGS/sim.log" | tr '\n' ' ')"
  fi
  kill -USR2 "$SIM_PID"
  if [ $((cycle % 3)) = 0 ]; then
    wait_for 30 test -e /dev/oq-counter || fail "cycle $cycle: no tty after the plug-in; the simulator said: $(tail -n 3 "$LOGS/sim.log" | tr '\n' ' ')"
  fi
done
note "20 cycles done"
wait_tty > /dev/null
wait_for 90 last_shown_is Reading || fail "the window does not show the reading after the cycles: $(window_log | grep 'Window shows' | tail -n 3)"
screenshot window-after-cycles
read -r threads_after fds_after <<< "$(process_load "$window")"
note "after the cycles: $threads_after threads, $fds_after descriptors"
# A leak grows by one per cycle; a thread pool may keep a spare or two.
[ "$threads_after" -le $((threads_before + 2)) ] || fail "threads grew from $threads_before to $threads_after"
[ "$fds_after" -le $((fds_before + 2)) ] || fail "descriptors grew from $fds_before to $fds_after"
window_log | grep -q "Cannot open" && fail "the window met a refusal: $(window_log | grep "Cannot open" | head -n 3)"

note "download, pulled out in the middle"
mark
touch /tmp/before-download
as "$DESKTOP_USER" xdotool search --sync --onlyvisible --class oq-online windowfocus --sync key ctrl+shift+d
wait_for 60 shows "Protocol download requested" || fail "the download did not start"
wait_for 120 shows "device detached while transfering data" || fail "no message that the counter was unplugged"
sleep 2
cpu_start=$(cpu_ticks "$window")
sleep 3
cpu_used=$(( $(cpu_ticks "$window") - cpu_start ))
screenshot window-unplugged-in-download
note "CPU in the 3 s after the message: $cpu_used ticks of $(getconf CLK_TCK) per s"
# Near 0: a spinning thread would take all 3 s.
[ "$cpu_used" -le $(( $(getconf CLK_TCK) * 3 / 5 )) ] || fail "the window keeps working after the unplug: $cpu_used ticks in 3 s"
new_files="$(find "$home" -newer /tmp/before-download -type f -not -path "$home/.local/state/*" -not -path "$home/.local/share/*" -not -path "$home/.config/*")"
[ -z "$new_files" ] || fail "files were written: $new_files"
window_log | tail -n +$((mark + 1)) | grep -q "Protocol saved" && fail "a protocol was saved"

note "the next plug-in"
as "$DESKTOP_USER" xdotool key Return
mark
plug
wait_tty > /dev/null
wait_for 90 shows "Window shows: Reading$" || fail "the window shows no reading after the next plug-in"
screenshot window-after-download-unplug
note "done"
