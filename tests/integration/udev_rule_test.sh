#!/usr/bin/env bash
# Runs the counter's udev rule through `udevadm test` against made-up devices: a counter's USB
# device and tty, another FTDI bridge, a counter without a serial number. Everything happens in a
# private mount namespace with its own /sys, /dev and /run, so the machine's devices and udev
# database stay untouched. Needs root (unshare); skipped (77) without it.
set -euo pipefail
RULE=${1:?rule file}
[ -f "$RULE" ] || { echo "no rule file $RULE"; exit 1; }
case "$(basename "$RULE")" in
  [0-6][0-9]-*|7[0-2]-*) ;;
  *) echo "FAIL: $(basename "$RULE") must sort before 73-seat-late.rules, which applies uaccess"; exit 1 ;;
esac
if [ "$(id -u)" -ne 0 ] || ! command -v udevadm >/dev/null || ! unshare -m true 2>/dev/null; then
  echo "SKIP: needs root, udevadm and unshare"
  exit 77
fi

WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT
cp "$RULE" "$WORK/rule.rules"

cat > "$WORK/inside.sh" <<'INSIDE'
set -euo pipefail
WORK=$1
mount --make-rprivate /
mkdir -p "$WORK/realdev" && mount --bind /dev "$WORK/realdev"
mount -t tmpfs tmpfs /sys
mount -t tmpfs tmpfs /run
mount -t tmpfs tmpfs /dev
touch /dev/null && mount --bind "$WORK/realdev/null" /dev/null
for d in /etc/udev/rules.d /usr/lib/udev/rules.d /lib/udev/rules.d; do
  [ -d "$d" ] && mount -t tmpfs tmpfs "$d"
done
mkdir -p /run/udev/rules.d
cp "$WORK/rule.rules" /run/udev/rules.d/70-oq-counter.rules
mkdir -p /sys/bus/usb /sys/bus/usb-serial /sys/class/tty

# A USB device with one interface and its ttyUSB; prints the tty's syspath.
# usb NAME VENDOR PRODUCT SERIAL(- for none) TTY MINOR
usb() {
  local name=$1 vid=$2 pid=$3 serial=$4 tty=$5 minor=$6
  local u=/sys/devices/pci0000:00/0000:00:14.0/usb1/$name
  local i=$u/$name:1.0 t=$u/$name:1.0/$tty/tty/$tty
  mkdir -p "$t"
  ln -s /sys/bus/usb "$u/subsystem"
  printf 'MAJOR=189\nMINOR=%s\nDEVNAME=bus/usb/001/%03d\nDEVTYPE=usb_device\nPRODUCT=%s/%s/600\n' "$minor" "$minor" "${vid#0}" "$pid" > "$u/uevent"
  echo "$vid" > "$u/idVendor"; echo "$pid" > "$u/idProduct"; echo "189:$minor" > "$u/dev"
  [ "$serial" = - ] || echo "$serial" > "$u/serial"
  ln -s /sys/bus/usb "$i/subsystem"
  printf 'DEVTYPE=usb_interface\n' > "$i/uevent"
  ln -s /sys/bus/usb-serial "$u/$name:1.0/$tty/subsystem"
  printf 'DEVNAME=%s\n' "$tty" > "$u/$name:1.0/$tty/uevent"
  ln -s /sys/class/tty "$t/subsystem"
  printf 'MAJOR=188\nMINOR=%s\nDEVNAME=%s\n' "$minor" "$tty" > "$t/uevent"
  echo "188:$minor" > "$t/dev"
  echo 16 > "$u/$name:1.0/$tty/latency_timer"
  ln -s "$u/$name:1.0/$tty" "$t/device"
}

failures=0
run() { SYSTEMD_DEVICE_VERIFY_SYSFS=0 udevadm test --action="$1" "$2" 2>&1; }
expect() { # expect WHAT OUTPUT PATTERN
  if grep -qE -- "$3" <<<"$2"; then echo "ok: $1"; else echo "FAIL: $1 (no /$3/)"; failures=$((failures + 1)); fi
}
refuse() { # refuse WHAT OUTPUT PATTERN
  if grep -qE -- "$3" <<<"$2"; then echo "FAIL: $1 (/$3/ found)"; failures=$((failures + 1)); else echo "ok: $1"; fi
}

usb 1-1 0403 d678 OQ123456 ttyUSB0 1
usb 1-2 0403 6001 A1B2C3 ttyUSB1 2
usb 1-3 0403 d678 - ttyUSB2 3
U=/sys/devices/pci0000:00/0000:00:14.0/usb1

out=$(run add $U/1-1)
refuse "the rule parses" "$out" "70-oq-counter.rules:[0-9]+ (Invalid|Unknown|Failed|.*error)"
expect "counter's USB device: seat user gets access" "$out" "^TAGS=.*:uaccess:"
expect "counter's USB device: ModemManager keeps off" "$out" "^ID_MM_DEVICE_IGNORE=1$"

for action in add change; do
  out=$(run $action $U/1-1/1-1:1.0/ttyUSB0/tty/ttyUSB0)
  expect "counter's tty ($action): seat user gets access" "$out" "^TAGS=.*:uaccess:"
  expect "counter's tty ($action): /dev/oq-counter" "$out" "^DEVLINKS=(.* )?/dev/oq-counter( |$)"
  expect "counter's tty ($action): /dev/oq-counter-SERIAL" "$out" "^DEVLINKS=(.* )?/dev/oq-counter-OQ123456( |$)"
  expect "counter's tty ($action): ModemManager keeps off" "$out" "^ID_MM_DEVICE_IGNORE=1$"
  expect "counter's tty ($action): latency timer 2 ms" "$out" "latency_timer.* '?2'?"
done

out=$(run add $U/1-2)
refuse "other FTDI USB device: no access given" "$out" "uaccess"
out=$(run add $U/1-2/1-2:1.0/ttyUSB1/tty/ttyUSB1)
refuse "other FTDI tty: no access given" "$out" "uaccess"
refuse "other FTDI tty: no counter link" "$out" "^DEVLINKS=.*oq-counter"
refuse "other FTDI tty: ModemManager not told" "$out" "ID_MM_DEVICE_IGNORE"
refuse "other FTDI tty: latency timer left alone" "$out" "latency_timer"

out=$(run add $U/1-3/1-3:1.0/ttyUSB2/tty/ttyUSB2)
expect "counter without serial: /dev/oq-counter" "$out" "^DEVLINKS=(.* )?/dev/oq-counter( |$)"
refuse "counter without serial: no half link" "$out" "/dev/oq-counter-( |$)"

out=$(run remove $U/1-1/1-1:1.0/ttyUSB0/tty/ttyUSB0)
refuse "removal: the rule stays out" "$out" "70-oq-counter.rules:[0-9]+ LINK"

[ "$failures" -eq 0 ]
INSIDE

unshare -m bash "$WORK/inside.sh" "$WORK"
