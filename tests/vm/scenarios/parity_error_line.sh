# A character received with a parity error shows as "?", and the driver flags every character of
# the 64-byte packet it came in: the line end in that packet must still end its line, or the next
# reading would be lost with it.
. tests/vm/guest.sh
prepare
printf '0.1\n0.2\n0.3\n0.4\n0.5\n' > /tmp/rates
# Value lines read "0,100 uSv/h\r\n" (13 characters): character 15 after "R" is the "2" of the
# second reading.
plug --profile script:/tmp/rates --parity-error 15
wait_tty > /dev/null
note "plugged in"
as "$DESKTOP_USER" timeout 60 oqtool watch --count 4 > "$LOGS/watch.out" 2> "$LOGS/watch.err" \
  || fail "oqtool watch ended badly: $(cat "$LOGS/watch.err")"
cat "$LOGS/watch.out"
grep -q "0.200" "$LOGS/watch.out" && fail "the reading with the parity error came through as a number"
expected="$(printf '0.100 μSv/h\n0.300 μSv/h\n0.400 μSv/h\n0.500 μSv/h')"
[ "$(cat "$LOGS/watch.out")" = "$expected" ] \
  || fail "expected the readings around the damaged one, each on its own line"
echo "the damaged reading was dropped; the next one came through on its own line"
