# A counter that answers only at 9600 baud is found through the fallback, through the real driver:
# the first tries at 460800 reach it as noise.
. tests/vm/guest.sh
prepare
plug --baud 9600 --serial 96001
wait_tty > /dev/null
note "plugged in"
as "$DESKTOP_USER" oqtool info > "$RESULT/info.out" 2> "$RESULT/info.err" \
  || fail "oqtool info did not find the counter: $(cat "$RESULT/info.err")"
cat "$RESULT/info.out"
grep -q 96001 "$RESULT/info.out" || fail "oqtool info does not show the counter's serial number"
echo "found at 9600 baud through the fallback"
