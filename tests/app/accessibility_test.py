#!/usr/bin/python3
"""oq-online as a screen reader meets it (AT-SPI), in English and German, on a 1366x768 X server
and a session bus of its own: every control that takes the focus and every menu item has a name
and a fitting role; the reading's name follows the value and its level, and a level change is
announced; the windows close from the keyboard and fit the screen. Keeps pictures of Preferences
in $OQ_TEST_ARTIFACTS.   Usage: accessibility_test.py OQ_ONLINE"""
import json, os, shutil, signal, subprocess, sys, tempfile, time

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
        process = subprocess.Popen([online, "--simulate"], env=env)
        try:
            desktop = R.Registry.getDesktop(0)
            app = wait(lambda: next(a for a in (desktop.getChildAtIndex(i) for i in range(desktop.childCount))
                                    if a is not None and a.name == "oq-online"), 20, f"{lang}: oq-online is not on the bus")
            main = app and wait(lambda: find(app, lambda n: n.getRole() == R.ROLE_FRAME and showing(n)), 10, "no window")
            unit = t("ui.a11y.per_hour").replace("%1", "").strip()
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

            def item(key):
                return find(main, lambda n: n.getRole() in menu_roles and n.name.rstrip("… ") == t(key))

            item("ui.menu.sim.profile.warning").queryAction().doAction(0)
            wait(lambda: reading.name.endswith(", " + t("ui.a11y.level.warning")), 20,
                 f"{lang}: the reading's name does not tell the warning level")
            notice = t("ui.a11y.level_now").replace("%1", t("preferences.level.warning"))
            wait(lambda: notice in announced, 10, f"{lang}: the warning level was not announced ({announced})")

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
            shutil.rmtree(home, ignore_errors=True)

    for lang in ("en", "de"):
        run(lang)
    print(f"{len(failures)} failure(s)")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(inner(sys.argv[2]) if sys.argv[1] == "--inner" else outer(sys.argv[1]))
