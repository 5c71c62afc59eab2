# A desktop user's counter plugged in: oqtool, already waiting, records readings; the rule's promises
# hold on the real system; a second program is refused naming the holder; a user outside dialout is
# told how to get in. Then the window: it shows the reading, asks for the counter after an unplug and
# shows the reading again after the replug.
# vm-timeout: 300
. tests/vm/guest.sh
prepare
SERIAL=4711
home=/home/$DESKTOP_USER
window_log() { cat "$home"/.local/state/oq-online/Logs/oq-online*.log 2>/dev/null; }
# shows STATE: the window has said STATE since the last mark.
mark=0
mark() { mark=$(window_log | wc -l); }
shows() { window_log | tail -n +$((mark + 1)) | grep -q "Window shows: $1\$"; }
rows() { [ "$(tail -n +2 "$home/readings.csv" 2>/dev/null | wc -l)" -ge "$1" ]; }

note "oqtool watch waits for the counter"
as "$DESKTOP_USER" oqtool watch --format csv --output "$home/readings.csv" 2> "$LOGS/oqtool-watch.log" &
wait_for 30 grep -q "Waiting for one" "$LOGS/oqtool-watch.log" || fail "oqtool watch did not start waiting"

plug --serial "$SERIAL"
tty="$(wait_tty)"
note "plugged in as $tty"
wait_for 60 rows 1 || fail "no reading recorded"
echo "FIGURE udev add to oqtool's first reading: $(ms_since_usb_add) ms"
wait_for 30 rows 3 || fail "fewer than 3 readings recorded"

note "what the rule promises"
name="$(basename "$tty")"
[ "$(cat "/sys/class/tty/$name/device/latency_timer")" = 2 ] || fail "latency_timer is not 2"
[ "$(readlink -f "/dev/oq-counter-$SERIAL")" = "$tty" ] || fail "no /dev/oq-counter-$SERIAL"
props="$(udevadm info --query=property --name="$tty")"
grep -qx "ID_MM_DEVICE_IGNORE=1" <<< "$props" || fail "ModemManager is not told to ignore the tty"
grep -q "^TAGS=.*:uaccess:" <<< "$props" || fail "the tty has no uaccess tag"
usb="$(udevadm info --query=path --name="$tty" | sed -E 's|/[0-9]+-[0-9]+:[0-9.]+/.*||')"
udevadm info --query=property --path="$usb" | grep -q "^TAGS=.*:uaccess:" || fail "the USB device has no uaccess tag"
[ "$(stat -c '%G %a' "$tty")" = "dialout 660" ] || fail "the tty is $(stat -c '%G %a' "$tty"), not dialout 660"

note "a second program is refused, naming the holder"
holder="$(pgrep -u "$DESKTOP_USER" -x oqtool)"
set +e
second="$(as "$DESKTOP_USER" oqtool info 2>&1)"; second_status=$?
outsider="$(as "$OUTSIDER_USER" oqtool info 2>&1)"; outsider_status=$?
set -e
echo "second program: $second"
[ $second_status -ne 0 ] && grep -q "in use by oqtool (pid $holder)" <<< "$second" || fail "the second program was not refused naming oqtool (pid $holder)"
echo "outsider: $outsider"
[ $outsider_status -ne 0 ] && grep -q 'group "dialout"' <<< "$outsider" || fail "a user outside dialout got no advice to join it"

kill -INT "$holder"
wait_for 20 sh -c "! kill -0 $holder 2>/dev/null" || fail "oqtool watch did not stop"
echo "oqtool watch recorded $(( $(wc -l < "$home/readings.csv") - 1 )) readings"

note "the window"
start_x
as "$DESKTOP_USER" oq-online > "$LOGS/oq-online.log" 2>&1 &
wait_for 60 shows Reading || fail "the window shows no reading"
screenshot window-reading
mark
unplug
wait_for 30 shows NoCounter || fail "the window does not ask for the counter after the unplug"
screenshot window-unplugged
mark
plug
wait_tty > /dev/null
wait_for 60 shows Reading || fail "the window shows no reading after the replug"
echo "FIGURE udev add to the window's reading: $(ms_since_usb_add) ms"
screenshot window-replugged
window_log | grep -q "Cannot open" && fail "the window met a refusal it should not have: $(window_log | grep "Cannot open")"
pkill -TERM -u "$DESKTOP_USER" -x oq-online
wait_for 20 sh -c "! pgrep -u $DESKTOP_USER -x oq-online > /dev/null" || fail "the window did not quit"
window_log | grep "Window shows" | tail -5
note "done"
