# A counter that answers only at 9600 baud is found through the fallback, through the real driver:
# the first tries at 460800 reach it as noise.
. tests/vm/guest.sh
prepare
plug --baud 9600 --serial 96001
wait_tty > /dev/null
note "plugged in"
as "$DESKTOP_USER" oqtool info > "$LOGS/info.out" 2> "$LOGS/info.err" \
  || fail "oqtool info did not find the counter: $(cat "$LOGS/info.err")"
cat "$LOGS/info.out"
grep -q 96001 "$LOGS/info.out" || fail "oqtool info does not show the counter's serial number"
echo "found at 9600 baud through the fallback"
