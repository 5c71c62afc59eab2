# The guest is the desktop the other scenarios assume: the kernel's drivers loaded, udev running
# with our installed rule, a desktop user in dialout without a seat, the programs installed.
. tests/vm/guest.sh
prepare

for m in vhci_hcd ftdi_sio usbserial; do
  grep -q "^$m " /proc/modules || fail "module $m is not loaded"
done
[ -w /sys/devices/platform/vhci_hcd.0/attach ] || fail "vhci-hcd offers no attach"
udevadm control --ping || fail "udevd is not running"
[ -f /usr/lib/udev/rules.d/70-oq-counter.rules ] || fail "the rule is not installed"
id -nG "$DESKTOP_USER" | grep -qw dialout || fail "$DESKTOP_USER is not in dialout"
[ "$(as "$DESKTOP_USER" id -u)" = "$(id -u "$DESKTOP_USER")" ] || fail "commands do not run as $DESKTOP_USER"
as "$DESKTOP_USER" oqtool --help > "$RESULT/oqtool-help.log" || fail "oqtool does not run as $DESKTOP_USER"
echo "guest ready: kernel $(uname -r), $(id "$DESKTOP_USER")"
