# Sourced by every scenario in scenarios/: the guest's system as a desktop has it (udev with our
# installed rule, a user in dialout without a seat) and the moves of a person with a counter in hand.
# Scenarios run as the guest's root from the source tree; scripts/vm-run starts them. Logs go to
# $LOGS, which the guest copies to the result folder after the scenario however it ended (writing
# them over 9p line by line would slow the guest); pictures and files to keep go to $RESULT.
set -euo pipefail
RESULT="$OQ_VM_RESULT"
LOGS="$OQ_VM_LOGS"
DESKTOP_USER=desk      # in dialout, no seat: the group, not the uaccess tag, lets it open the tty
OUTSIDER_USER=visitor  # in neither
SIM_PID=""

fail() {
  echo "FAIL: $*" >&2
  [ -z "${DISPLAY:-}" ] || screenshot failure 2>/dev/null || true
  exit 1
}
note() { echo "-- [$(awk '{ print $1 }' /proc/uptime) s] $*"; }

# Seconds since boot with milliseconds, for figures measured inside the guest.
uptime_ms() { awk '{ printf "%d\n", $1 * 1000 }' /proc/uptime; }

# Runs "$@" until it succeeds, every 0.1 s for at most $1 seconds. Giving up, it says what it
# waited for: under set -e a caller without "|| fail" ends the scenario on it.
wait_for() {
  local limit=$1; shift
  local until=$(( $(uptime_ms) + limit * 1000 ))
  until "$@"; do
    if [ "$(uptime_ms)" -ge "$until" ]; then
      echo "-- [$(awk '{ print $1 }' /proc/uptime) s] gave up after $limit s waiting for: $*" >&2
      return 1
    fi
    sleep 0.1
  done
}

start_udev() {
  # udevd's own log, and every event with its properties as the rules left them.
  SYSTEMD_LOG_LEVEL=debug /lib/systemd/systemd-udevd > "$LOGS/udevd.log" 2>&1 &
  wait_for 10 udevadm control --ping 2>/dev/null || fail "systemd-udevd did not start"
  udevadm monitor --udev --property > "$LOGS/udev.log" 2>&1 &
  # No coldplug: devtmpfs made the nodes present at boot, and only the counter's events matter.
}

add_users() {
  # QEMU run by a user other than root cannot read the host's shadow files; the guest makes its own.
  if ! cat /etc/shadow /etc/gshadow > /dev/null 2>&1; then
    rm -f /etc/shadow /etc/gshadow
    pwconv
    grpconv
  fi
  useradd --create-home --groups dialout "$DESKTOP_USER"
  useradd --create-home "$OUTSIDER_USER"
}

# as USER COMMAND...: runs a command as that user logged in without a seat (no logind session).
as() {
  local user=$1; shift
  local uid home
  uid="$(id -u "$user")"
  home="$(getent passwd "$user" | cut -d: -f6)"
  mkdir -p -m 700 "/run/user/$uid"
  chown "$user:" "/run/user/$uid"
  env -i HOME="$home" USER="$user" LOGNAME="$user" PATH=/usr/local/bin:/usr/bin:/bin LANG=C.UTF-8 \
    XDG_RUNTIME_DIR="/run/user/$uid" ${DISPLAY:+DISPLAY="$DISPLAY"} \
    setpriv --reuid="$uid" --regid="$(id -g "$user")" --init-groups -- "$@"
}

# plug [SIM OPTIONS...]: plugs the simulated counter in through the emulated USB bridge; a counter
# pulled out before is plugged in again as it was (the options then do not apply).
plug() {
  if [ -n "$SIM_PID" ]; then
    kill -USR2 "$SIM_PID"
    return
  fi
  oq-counter-sim --usbip-attach "$@" >> "$LOGS/sim.log" 2>&1 &
  SIM_PID=$!
}

# unplug: pulls the cable (the bridge's end of the USB/IP connection closes) and waits until the
# kernel and udev have let go of the tty.
unplug() {
  kill -USR1 "$SIM_PID"
  wait_for 20 tty_gone || fail "the tty stayed after the unplug"
}

# remove_counter: pulls the cable and ends the simulated counter.
remove_counter() {
  [ -n "$SIM_PID" ] || return 0
  kill "$SIM_PID" 2>/dev/null || true
  wait "$SIM_PID" 2>/dev/null || true
  SIM_PID=""
  wait_for 20 tty_gone || fail "the tty stayed after the unplug"
}

tty_gone() { [ ! -e /dev/oq-counter ] && ! ls /dev/ttyUSB* >/dev/null 2>&1; }

# Several counters at once, each behind a bridge of its own at its own port, named by its USB
# serial number: plug_counter SERIAL [SIM OPTIONS...] plugs one in (again, as it was, once it has
# been), unplug_counter SERIAL pulls only that one out. Each has its own simulator and log,
# $LOGS/sim-SERIAL.log.
declare -A COUNTER_PIDS=()
plug_counter() {
  local serial=$1; shift
  if [ -n "${COUNTER_PIDS[$serial]:-}" ]; then
    kill -USR2 "${COUNTER_PIDS[$serial]}"
  else
    oq-counter-sim --usbip-attach --serial "$serial" "$@" >> "$LOGS/sim-$serial.log" 2>&1 &
    COUNTER_PIDS[$serial]=$!
  fi
  wait_for 30 test -e "/dev/oq-counter-$serial" || fail "no /dev/oq-counter-$serial after the plug-in"
  udevadm settle --timeout=30
}
unplug_counter() {
  kill -USR1 "${COUNTER_PIDS[$1]}"
  wait_for 20 sh -c "[ ! -e /dev/oq-counter-$1 ]" || fail "the tty of counter $1 stayed after its unplug"
}
remove_counters() {
  local serial
  for serial in "${!COUNTER_PIDS[@]}"; do
    kill "${COUNTER_PIDS[$serial]}" 2>/dev/null || true
    wait "${COUNTER_PIDS[$serial]}" 2>/dev/null || true
  done
  COUNTER_PIDS=()
  wait_for 20 tty_gone || fail "ttys stayed after the counters were removed"
}

# full_memory_intact DUMP: a downloaded dump holds the whole memory of --full-memory.
full_memory_intact() {
  as "$DESKTOP_USER" oqtool events "$1" --format csv > "$LOGS/events.csv" || fail "the downloaded dump does not read"
  local lines
  lines=$(wc -l < "$LOGS/events.csv")
  [ "$lines" -eq 32763 ] || fail "$lines lines of events, expected 32,763 (a header and 32,762 counts)"
  # The counter's memory holds counts 20 + i % 11 for minute i; every one must have come through.
  awk -F, 'NR == 1 { for (i = 1; i <= NF; i++) if ($i == "pulses") c = i; next }
    c && $c != 20 + (NR - 2) % 11 { bad++ } END { exit !c || bad }' "$LOGS/events.csv" \
    || fail "the downloaded events differ from the counter's memory (see events.csv)"
}

# wait_tty [SECONDS]: until udev has handled the counter's tty; prints its path.
wait_tty() {
  wait_for "${1:-30}" test -e /dev/oq-counter || fail "no /dev/oq-counter after the plug-in"
  udevadm settle --timeout=30
  readlink -f /dev/oq-counter
}

# Milliseconds from udev's last "add" of a USB device on the virtual host controller to now; udev's
# monitor stamps each event with the clock of /proc/uptime.
ms_since_usb_add() {
  local at
  at="$(awk '/^UDEV .* add +\/devices\/platform\/vhci_hcd\.0\/usb[0-9]+\/[0-9]+-[0-9]+ \(usb\)/ { gsub(/[][]/, "", $2); t = $2 } END { print t }' "$LOGS/udev.log")"
  [ -n "$at" ] || fail "udev told no USB device add"
  echo $(( $(uptime_ms) - $(awk -v t="$at" 'BEGIN { printf "%d", t * 1000 }') ))
}

# start_x: a private X server for the window, as the desktop user's display.
start_x() {
  Xvfb :7 -screen 0 1280x1024x24 -nolisten tcp > "$LOGS/xvfb.log" 2>&1 &
  export DISPLAY=:7
  wait_for 30 test -e /tmp/.X11-unix/X7 || fail "Xvfb did not start"
}

# screenshot NAME: the whole screen as $RESULT/NAME.png.
screenshot() {
  import -display "$DISPLAY" -window root -trim +repage "$RESULT/$1.png"
}

# Threads and open descriptors of a process, as "threads fds".
process_load() {
  echo "$(ls "/proc/$1/task" | wc -l) $(ls "/proc/$1/fd" | wc -l)"
}

# CPU seconds (user + system, in clock ticks) a process has used.
cpu_ticks() { awk '{ print $14 + $15 }' "/proc/$1/stat"; }

# The programs' own logs of every user come back with the guest's.
collect_logs() {
  local home
  for home in /home/*; do
    [ -d "$home/.local/state" ] || continue
    mkdir -p "$LOGS/$(basename "$home")"
    cp -r "$home/.local/state/." "$LOGS/$(basename "$home")/" 2>/dev/null || true
  done
}

# Every scenario starts from the same system.
prepare() {
  # The guest's time limit ends a scenario with SIGTERM; its logs are still wanted.
  trap 'exit 143' TERM
  trap collect_logs EXIT
  note "preparing"
  add_users
  note "users added"
  start_udev
  note "udev running"
}
