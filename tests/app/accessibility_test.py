#!/usr/bin/python3
"""oq-online as a screen reader meets it (AT-SPI), in English and German, on a 1366x768 X server
and a session bus of its own: every control that takes the focus and every menu item has a name
and a fitting role; the reading's name follows the value and its level, and a level change is
announced; the windows close from the keyboard and fit the screen. Then what Orca itself says
(speech-dispatcher's dummy module; Orca's debug log): opening with no counter, the reading's start,
a level change, an unplug, a switch of counter, and the threshold fields of Preferences. Keeps
pictures of Preferences and what Orca said in $OQ_TEST_ARTIFACTS.   Usage: accessibility_test.py OQ_ONLINE"""
import contextlib, json, os, re, shutil, signal, subprocess, sys, tempfile, time

WIDTH, HEIGHT = 1366, 768
failures = []


def outer(online):
    display = next(f":{n}" for n in range(130, 200) if not os.path.exists(f"/tmp/.X{n}-lock"))
    xvfb = subprocess.Popen(["Xvfb", display, "-screen", "0", f"{WIDTH}x{HEIGHT}x24", "-nolisten", "tcp"],
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        env = dict(os.environ, DISPLAY=display, QT_QPA_PLATFORM="xcb")
        for _ in range(100):
            if subprocess.run(["xdpyinfo"], env=env, capture_output=True).returncode == 0:
                break
            time.sleep(0.05)
        return subprocess.run(["dbus-run-session", "--", sys.executable, __file__, "--inner", online], env=env).returncode
    finally:
        xvfb.terminate()
        xvfb.wait()


def check(ok, what):
    if not ok:
        failures.append(what)
        print("FAIL:", what, flush=True)
    return ok


class Orca:
    """Orca on this session's accessibility bus, speaking to a speech-dispatcher of its own (dummy
    output) in `lang`; what it says is read from its debug log."""

    def __init__(self, lang, home):
        self.log = os.path.join(home, "orca-debug.out")
        self.read = 0
        self.said = []
        runtime = os.path.join(home, "run")
        os.makedirs(os.path.join(home, "speech-dispatcher"), mode=0o700)
        os.makedirs(runtime, mode=0o700)
        with open(os.path.join(home, "speech-dispatcher", "speechd.conf"), "w") as conf:
            conf.write('AddModule "dummy" "sd_dummy" ""\nDefaultModule dummy\nAudioOutputMethod "libao"\nTimeout 30\n')
        # No sound card: libao's null driver takes what the dummy module plays.
        with open(os.path.join(home, ".libao"), "w") as conf:
            conf.write("default_driver=null\n")
        # A locale that is there: speech-dispatcher will not start in one that is not.
        locale = {"en": "C.UTF-8", "de": "de_DE.UTF-8"}[lang]
        self.env = dict(os.environ, HOME=home, XDG_CONFIG_HOME=home, XDG_DATA_HOME=home, XDG_RUNTIME_DIR=runtime,
                        LANG=locale, LANGUAGE=lang, LC_ALL=locale, GTK_A11Y="none")
        self.runtime = runtime
        # Orca itself, with its debug log written line by line (it buffers it otherwise, and a
        # quiet Orca would keep what it said from the test).
        launch = ("import builtins, runpy, sys\n"
                  "plain = builtins.open\n"
                  "builtins.open = lambda f, m='r', *a, **k: plain(f, m, 1) if f == sys.argv[-1] else plain(f, m, *a, **k)\n"
                  "runpy.run_path(shutil_which, run_name='__main__')\n").replace("shutil_which", repr(shutil.which("orca")))
        self.process = subprocess.Popen(["/usr/bin/python3", "-c", launch, "--replace", "-u", os.path.join(home, "orca"),
                                         "--debug-file", self.log],
                                        env=self.env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                        start_new_session=True)

    def lines(self):
        with open(self.log, "rb") as f:
            f.seek(self.read)
            chunk = f.read()
        chunk = chunk[:chunk.rfind(b"\n") + 1]  # whole lines only
        self.read += len(chunk)
        self.said += re.findall(r"SPEECH OUTPUT: '(.*?)'(?= voice=| ?\{|$)", chunk.decode("utf-8", "replace"), re.M)
        return self.said

    def expect(self, pattern, seconds, what):
        """The first thing said from now on that matches `pattern` (a regular expression)."""
        start = len(self.said)
        end = time.monotonic() + seconds
        while time.monotonic() < end:
            for line in self.lines()[start:]:
                if re.search(pattern, line):
                    return line
            time.sleep(0.1)
        check(False, f"{what}: Orca did not say /{pattern}/ (it said {self.said[start:]})")

    def ready(self, seconds=30):
        end = time.monotonic() + seconds
        while time.monotonic() < end and self.process.poll() is None:
            log = open(self.log, errors="replace").read() if os.path.exists(self.log) else ""
            if "SPEECH: Initialized" in log:
                # Speaking through speech-dispatcher (its dummy module), not to no one.
                return check("SPEECH: Using speech server factory: speechdispatcherfactory" in log,
                             "Orca has no speech-dispatcher")
            time.sleep(0.2)
        return check(False, f"Orca did not start (exit {self.process.poll()})")

    def stop(self):
        with contextlib.suppress(ProcessLookupError):
            os.killpg(self.process.pid, signal.SIGTERM)
        try:
            self.process.wait(timeout=10)
        except subprocess.TimeoutExpired:
            os.killpg(self.process.pid, signal.SIGKILL)
            self.process.wait()
        # speech-dispatcher leaves Orca's process group as a daemon: ended by its pid file.
        with contextlib.suppress(OSError, ValueError):
            with open(os.path.join(self.runtime, "speech-dispatcher", "pid", "speech-dispatcher.pid")) as pid:
                os.kill(int(pid.read().strip()), signal.SIGTERM)


def threshold_name(t, level, kind):
    unit = {"rate": t("ui.a11y.per_hour").replace("%1", t("ui.a11y.micro").replace("%1", "sievert")),
            "dose": t("ui.a11y.milli").replace("%1", "sievert")}[kind]
    return (t("preferences.thresholds.field_name").replace("%1", t(f"preferences.thresholds.spoken_{level}"))
            .replace("%2", t(f"preferences.thresholds.spoken_{kind}")).replace("%3", unit))


def orca_missing():
    """Why Orca cannot run here; None when it can. Orca that could be installed but is not fails."""
    if shutil.which("orca") and os.path.exists("/usr/lib/speech-dispatcher-modules/sd_dummy"):
        return None
    policy = subprocess.run(["apt-cache", "policy", "orca", "speech-dispatcher"], capture_output=True, text=True).stdout
    if "Candidate: (none)" in policy or "Candidate:" not in policy:
        return "SKIP Orca: orca or speech-dispatcher is not installable on this system"
    check(False, "orca and speech-dispatcher are installable but not installed: run scripts/setup")
    return "FAIL"


def inner(online):
    import pyatspi
    from gi.repository import GLib
    R = pyatspi
    announced = []

    def on_showing(event):
        try:
            if event.detail1 and event.source.getRole() == R.ROLE_NOTIFICATION:
                announced.append(event.source.name)
        except Exception:  # from a program that has just ended
            pass
    R.Registry.registerEventListener(on_showing, "object:state-changed:showing")

    def wait(condition, seconds, what):
        end = time.monotonic() + seconds
        while time.monotonic() < end:
            try:
                if result := condition():
                    return result
            except Exception:
                pass
            while GLib.MainContext.default().pending():
                GLib.MainContext.default().iteration(False)
            time.sleep(0.05)
        check(False, what)

    def walk(node):
        yield node
        for i in range(node.childCount):
            if (child := node.getChildAtIndex(i)) is not None:
                yield from walk(child)

    def find(root, predicate):
        return next((n for n in walk(root) if predicate(n)), None)

    def showing(node):
        return node.getState().contains(R.STATE_SHOWING)

    menu_roles = {R.ROLE_MENU_ITEM, R.ROLE_CHECK_MENU_ITEM, R.ROLE_RADIO_MENU_ITEM, R.ROLE_MENU}
    control_roles = menu_roles | {R.ROLE_PUSH_BUTTON, R.ROLE_TOGGLE_BUTTON, R.ROLE_RADIO_BUTTON, R.ROLE_CHECK_BOX,
                                  R.ROLE_COMBO_BOX, R.ROLE_TEXT, R.ROLE_ENTRY, R.ROLE_PASSWORD_TEXT, R.ROLE_SPIN_BUTTON,
                                  R.ROLE_SLIDER, R.ROLE_PAGE_TAB, R.ROLE_LIST, R.ROLE_LIST_ITEM, R.ROLE_TABLE,
                                  R.ROLE_CHART, R.ROLE_MENU_BAR, R.ROLE_LABEL, R.ROLE_SCROLL_BAR}

    def check_window(window, label):
        for node in walk(window):
            role = node.getRole()
            if role in menu_roles:
                check(bool(node.name.strip()), f"{label}: a menu item has no name")
            elif showing(node) and node.getState().contains(R.STATE_FOCUSABLE) and role != R.ROLE_SCROLL_BAR:
                labelled = any(r.getRelationType() == R.RELATION_LABELLED_BY for r in node.getRelationSet())
                check(bool(node.name.strip()) or labelled, f"{label}: a focusable {node.getRoleName()} has no name")
                check(role in control_roles, f"{label}: '{node.name}' is a {node.getRoleName()}")
        x, y, w, h = window.queryComponent().getExtents(R.DESKTOP_COORDS)
        check(0 <= x and 0 <= y and 0 < w and x + w <= WIDTH and 0 < h and y + h <= HEIGHT,
              f"{label}: {w}x{h} at {x},{y} does not fit {WIDTH}x{HEIGHT}")

    def run(lang):
        path = os.path.join(os.environ.get("OQ_SOURCE_DIR", "."), "resources", "strings", "%s.json")
        strings = {**json.load(open(path % "en", encoding="utf-8")), **json.load(open(path % lang, encoding="utf-8"))}

        def t(key):
            return strings[key].replace("&", "").rstrip("… ")

        home = tempfile.mkdtemp(prefix="oq-a11y-", dir=os.environ.get("TMPDIR"))
        locale = {"en": "en_US.UTF-8", "de": "de_DE.UTF-8"}[lang]
        env = dict(os.environ, QT_LINUX_ACCESSIBILITY_ALWAYS_ON="1", OQ_ONLINE_SEPARATE_INSTANCE="1", LANG=locale,
                   LANGUAGE=lang, LC_ALL=locale, XDG_CONFIG_HOME=home, XDG_STATE_HOME=home, XDG_DATA_HOME=home)
        orca = None
        if not skip_orca:
            orca = Orca(lang, tempfile.mkdtemp(prefix="oq-orca-", dir=os.environ.get("TMPDIR")))
            if not orca.ready():
                orca.stop()
                orca = None

        def hear(pattern, what, seconds=15):
            said = orca and orca.expect(pattern, seconds, f"{lang}: {what}")
            if said:
                heard.append(f"{lang} {what}: \"{said}\"")
            return said

        process = subprocess.Popen([online, "--simulate", "0"], env=env)
        try:
            desktop = R.Registry.getDesktop(0)
            app = wait(lambda: next(a for a in (desktop.getChildAtIndex(i) for i in range(desktop.childCount))
                                    if a is not None and a.name == "oq-online"), 20, f"{lang}: oq-online is not on the bus")
            main = app and wait(lambda: find(app, lambda n: n.getRole() == R.ROLE_FRAME and showing(n)), 10, "no window")
            if not main:
                return
            hear(re.escape(t("ui.status.no_counter").split("\n")[0]), "opening with no counter")

            def item(key):
                return find(main, lambda n: n.getRole() in menu_roles and n.name.rstrip("… ") == t(key))

            item("ui.menu.sim.plug").queryAction().doAction(0)
            unit = t("ui.a11y.per_hour").replace("%1", "").strip()
            value = r"[\d.,]+ \w+ " + re.escape(unit)

            def level_said(key):
                return re.escape(t("ui.a11y.level_now").split("%1")[0]) + re.escape(t(key)) + ", " + value

            hear(level_said("preferences.level.normal"), "the reading starts")
            reading = main and wait(lambda: find(main, lambda n: n.description == t("ui.main.value.accessible")
                                                 and unit in n.name), 20, f"{lang}: no reading in the tree")
            if not reading:
                return
            for key, keys in (("ui.main.rate_button", "+1"), ("ui.main.dose_button", "+2")):
                button = find(main, lambda n: n.name == t(key))
                check(button and button.getRole() == R.ROLE_RADIO_BUTTON, f"{lang}: {t(key)} is not a radio button")
                # Key names in the user's language: Qt's own translations are loaded.
                keys = {"en": "Ctrl", "de": "Strg"}[lang] + keys
                check(button and keys in button.description, f"{lang}: {t(key)} does not say {keys}")
            check_window(main, f"{lang} main window")

            first = reading.name
            wait(lambda: reading.name != first, 10, f"{lang}: the reading's name does not follow the value")

            item("ui.menu.sim.profile.warning").queryAction().doAction(0)
            wait(lambda: reading.name.endswith(", " + t("ui.a11y.level.warning")), 20,
                 f"{lang}: the reading's name does not tell the warning level")
            wait(lambda: any(re.fullmatch(level_said("preferences.level.warning"), a) for a in announced), 10,
                 f"{lang}: the warning level was not announced with its value ({announced})")
            hear(level_said("preferences.level.warning"), "a level change")

            # Two counters; the shown one is unplugged, then the other: each time the window says
            # which counter went and what it shows now.
            item("ui.menu.sim.plug_another").queryAction().doAction(0)
            wait(lambda: "10423" in reading.name, 20, f"{lang}: with two counters the reading does not name its counter")
            check(t("ui.main.title_with_counter").replace("%1", t("ui.app.name")).replace("%2", "10423") == main.name,
                  f"{lang}: the title '{main.name}' does not name the shown counter")
            item("ui.menu.sim.unplug").queryAction().doAction(0)
            gone = re.escape(t("ui.a11y.counter_unplugged").replace("%1", "10423"))
            hear(gone + r"\. " + re.escape(t("ui.a11y.counter_shown").replace("%1", "10424")), "the shown counter changes")
            wait(lambda: main.name.endswith("10424"), 10, f"{lang}: the title does not follow the shown counter")
            item("ui.menu.sim.unplug").queryAction().doAction(0)
            hear(re.escape(t("ui.a11y.counter_unplugged").replace("%1", "10424")) + r"\. "
                 + re.escape(t("ui.status.no_counter").split("\n")[0]), "the counter is unplugged")
            item("ui.menu.sim.plug").queryAction().doAction(0)

            # Each window: opened from its menu item, a dialog where it is one, fits, closes by key.
            for menu, title, dialog, keys in (("ui.menu.preferences", "preferences.title", True, "Escape"),
                                              ("ui.menu.device.info", "ui.info.title", True, "ctrl+w"),
                                              ("ui.menu.view.history_window", "history.title", False, "Escape")):
                action = item(menu)
                wait(lambda: action.getState().contains(R.STATE_ENABLED), 20, f"{lang}: {t(menu)} stays disabled")
                action.queryAction().doAction(0)
                window = wait(lambda: find(app, lambda n: n.getRole() in (R.ROLE_DIALOG, R.ROLE_FRAME)
                                           and n.name == t(title) and showing(n)), 10,
                              f"{lang}: {t(title)} does not open")
                if not window:
                    continue
                time.sleep(0.5)
                check(not dialog or window.getRole() == R.ROLE_DIALOG, f"{lang}: {t(title)} is a {window.getRoleName()}")
                check_window(window, f"{lang} {t(title)}")
                focused = find(window, lambda n: n.getState().contains(R.STATE_FOCUSED))
                check(not focused or focused.name != t("ui.menu.device.set_clock"),
                      f"{lang}: {t(title)} opens with the focus on the clock button")
                if title == "preferences.title":
                    # Tabbing through the four threshold fields: four phrases, each with its level
                    # and quantity.
                    fields = set()
                    for n in range(4):
                        said = hear("|".join(re.escape(threshold_name(t, level, kind)) for level in ("warning", "danger")
                                             for kind in ("rate", "dose")), f"threshold field {n + 1}")
                        fields.add(said)
                        subprocess.run(["xdotool", "key", "--clearmodifiers", "Tab"])
                    check(not orca or len(fields) == 4, f"{lang}: Orca said {len(fields)} distinct threshold fields")
                if title == "preferences.title" and os.environ.get("OQ_TEST_ARTIFACTS"):
                    os.makedirs(os.environ["OQ_TEST_ARTIFACTS"], exist_ok=True)
                    subprocess.run(["import", "-window", "root",
                                    os.path.join(os.environ["OQ_TEST_ARTIFACTS"], f"preferences-{lang}.png")])
                subprocess.run(["xdotool", "key", "--clearmodifiers", keys])
                wait(lambda: not showing(window), 5, f"{lang}: {keys} does not close {t(title)}")
        finally:
            process.send_signal(signal.SIGTERM)
            try:
                process.wait(timeout=20)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait()
            if orca:
                orca.stop()
                if os.environ.get("OQ_TEST_ARTIFACTS"):
                    os.makedirs(os.environ["OQ_TEST_ARTIFACTS"], exist_ok=True)
                    with open(os.path.join(os.environ["OQ_TEST_ARTIFACTS"], f"orca-{lang}.txt"), "w") as f:
                        f.write("\n".join(orca.said) + "\n")
                shutil.rmtree(os.path.dirname(orca.log), ignore_errors=True)
            shutil.rmtree(home, ignore_errors=True)

    heard = []
    skip_orca = orca_missing()
    if skip_orca:
        print(skip_orca, flush=True)
    for lang in ("en", "de"):
        run(lang)
    print("What Orca said:", *heard, sep="\n  ")
    print(f"{len(failures)} failure(s)")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(inner(sys.argv[2]) if sys.argv[1] == "--inner" else outer(sys.argv[1]))
