# A full memory (65,535 protocol bytes, about 139,000 characters at 460800 baud) downloads intact
# through the kernel's FTDI driver and tty layer: the same events as the counter's own memory, and
# the bridge lost nothing. The dump phase is measured against the line's own limit.
#
# Without acceleration the guest fetches late when the host is busy: at the full line rate its
# bridge lost up to a few thousand characters on a loaded build machine, so the line is slowed
# here (the bridge reports the factor with every figure). The scenario's argument sets it:
# `scripts/vm-run tests/vm/scenarios/download_full_memory.sh 1` runs at the counter's own speed.
# vm-timeout: 300
. tests/vm/guest.sh
prepare

home="$(getent passwd "$DESKTOP_USER" | cut -d: -f6)"
SLOWDOWN="${1:-3}"
plug --full-memory --line-slowdown "$SLOWDOWN"
wait_tty > /dev/null
note "plugged in"
start=$(uptime_ms)
as "$DESKTOP_USER" oqtool download -o "$home/memory.dump" 2> "$LOGS/download.err" \
  || fail "the download failed: $(tail -n 3 "$LOGS/download.err")"
took=$(( $(uptime_ms) - start ))
note "downloaded in $took ms"
remove_counter
cat "$LOGS/sim.log"
grep -q "stopped: [0-9]* characters delivered, 0 lost in the bridge's receive FIFO" "$LOGS/sim.log" \
  || fail "the bridge lost characters: $(grep stopped "$LOGS/sim.log")"

full_memory_intact "$home/memory.dump"
echo "full memory through the real driver: 32,762 counts, whole download $took ms"
grep "last dump" "$LOGS/sim.log" > "$RESULT/figures.txt" || true
echo "download $took ms (information exchange, dump, parsing)" >> "$RESULT/figures.txt"
cat "$RESULT/figures.txt"
