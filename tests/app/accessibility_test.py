#!/usr/bin/python3
"""oq-online as a screen reader meets it: the simulated counter's window read through the AT-SPI
tree, in English and in German, on a 1366x768 screen of its own and a private session bus.

  accessibility_test.py OQ_ONLINE

Checks what a screen-reader user depends on: every control that takes the focus and every menu
item has a name and a fitting role; the reading's name follows the value and its level, and a
change of level is announced; the windows close from the keyboard; every window fits the
screen. Keeps pictures of Preferences in $OQ_TEST_ARTIFACTS.
"""
import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time

WIDTH, HEIGHT = 1366, 768


def outer(online):
    """Starts the X server, then this script again on a private session bus."""
    display = next(f":{n}" for n in range(130, 200)
                   if not os.path.exists(f"/tmp/.X11-unix/X{n}") and not os.path.exists(f"/tmp/.X{n}-lock"))
    xvfb = subprocess.Popen(["Xvfb", display, "-screen", "0", f"{WIDTH}x{HEIGHT}x24", "-nolisten", "tcp"],
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        env = dict(os.environ, DISPLAY=display, QT_QPA_PLATFORM="xcb")
        for _ in range(100):
            if subprocess.run(["xdpyinfo"], env=env, capture_output=True).returncode == 0:
                break
            time.sleep(0.05)
        return subprocess.run(["dbus-run-session", "--", sys.executable, __file__, "--inner", online],
                              env=env).returncode
    finally:
        xvfb.terminate()
        xvfb.wait()


failures = []


def check(ok, what):
    if not ok:
        failures.append(what)
        print("FAIL:", what, flush=True)
    return ok


def inner(online):
    import pyatspi
    from gi.repository import GLib

    source = os.environ.get("OQ_SOURCE_DIR", os.path.join(os.path.dirname(__file__), "..", ".."))
    artifacts = os.environ.get("OQ_TEST_ARTIFACTS")
    announced = []

    def on_showing(event):
        try:
            if event.detail1 and event.source.getRole() == pyatspi.ROLE_NOTIFICATION:
                announced.append(event.source.name)
        except Exception:
            pass

    pyatspi.Registry.registerEventListener(on_showing, "object:state-changed:showing")

    def spin(seconds):
        end = time.monotonic() + seconds
        context = GLib.MainContext.default()
        while time.monotonic() < end:
            while context.pending():
                context.iteration(False)
            time.sleep(0.05)

    def wait(condition, seconds, what):
        end = time.monotonic() + seconds
        while time.monotonic() < end:
            try:
                result = condition()
            except Exception:
                result = None
            if result:
                return result
            spin(0.1)
        check(False, what)
        return None

    def walk(node, depth=0):
        yield node
        if depth > 40:
            return
        for i in range(node.childCount):
            child = node.getChildAtIndex(i)
            if child is not None:
                yield from walk(child, depth + 1)

    def states(node):
        return node.getState()

    def showing(node):
        return states(node).contains(pyatspi.STATE_SHOWING)

    def app():
        desktop = pyatspi.Registry.getDesktop(0)
        for i in range(desktop.childCount):
            a = desktop.getChildAtIndex(i)
            if a is not None and a.name == "oq-online":
                return a
        return None

    def windows(application):
        return [application.getChildAtIndex(i) for i in range(application.childCount)
                if application.getChildAtIndex(i) is not None and showing(application.getChildAtIndex(i))]

    def find(root, predicate):
        return next((n for n in walk(root) if predicate(n)), None)

    def press(node, action_names=("press", "click", "Press", "Toggle")):
        action = node.queryAction()
        for i in range(action.nActions):
            if action.getName(i) in action_names:
                action.doAction(i)
                return True
        action.doAction(0)
        return True

    def key(keys):
        subprocess.run(["xdotool", "key", "--clearmodifiers", keys], check=False)

    focusable_roles = {pyatspi.ROLE_PUSH_BUTTON, pyatspi.ROLE_TOGGLE_BUTTON, pyatspi.ROLE_RADIO_BUTTON,
                       pyatspi.ROLE_CHECK_BOX, pyatspi.ROLE_COMBO_BOX, pyatspi.ROLE_TEXT, pyatspi.ROLE_ENTRY,
                       pyatspi.ROLE_PASSWORD_TEXT, pyatspi.ROLE_SPIN_BUTTON, pyatspi.ROLE_SLIDER,
                       pyatspi.ROLE_PAGE_TAB, pyatspi.ROLE_LIST, pyatspi.ROLE_LIST_ITEM, pyatspi.ROLE_TABLE, pyatspi.ROLE_TREE,
                       pyatspi.ROLE_CHART, pyatspi.ROLE_IMAGE, pyatspi.ROLE_SCROLL_BAR, pyatspi.ROLE_MENU_ITEM,
                       pyatspi.ROLE_CHECK_MENU_ITEM, pyatspi.ROLE_RADIO_MENU_ITEM, pyatspi.ROLE_MENU,
                       pyatspi.ROLE_MENU_BAR, pyatspi.ROLE_LABEL}
    menu_roles = {pyatspi.ROLE_MENU_ITEM, pyatspi.ROLE_CHECK_MENU_ITEM, pyatspi.ROLE_RADIO_MENU_ITEM, pyatspi.ROLE_MENU}

    def check_window(window, lang, label):
        """Names and roles of what takes the focus, and the window's place on the screen."""
        for node in walk(window):
            if not showing(node) and node.getRole() not in menu_roles:
                continue
            role = node.getRole()
            s = states(node)
            if role in menu_roles:
                check(bool(node.name.replace("&", "").strip()), f"{lang} {label}: a menu item has no name")
            elif s.contains(pyatspi.STATE_FOCUSABLE) and role != pyatspi.ROLE_SCROLL_BAR:
                named = bool(node.name.strip()) or any(
                    r.getRelationType() == pyatspi.RELATION_LABELLED_BY for r in node.getRelationSet())
                check(named, f"{lang} {label}: a focusable {node.getRoleName()} has no name")
                check(role in focusable_roles, f"{lang} {label}: '{node.name}' is a {node.getRoleName()}")
        x, y, w, h = window.queryComponent().getExtents(pyatspi.DESKTOP_COORDS)
        check(x >= 0 and y >= 0 and x + w <= WIDTH and y + h <= HEIGHT and w > 0 and h > 0,
              f"{lang} {label}: {w}x{h} at {x},{y} does not fit {WIDTH}x{HEIGHT}")

    def run(lang):
        strings = json.load(open(os.path.join(source, "resources", "strings", f"{lang}.json"), encoding="utf-8"))
        english = json.load(open(os.path.join(source, "resources", "strings", "en.json"), encoding="utf-8"))

        def t(key):
            return strings.get(key, english[key]).replace("&", "").rstrip("…").rstrip(" ")

        home = tempfile.mkdtemp(prefix="oq-a11y-", dir=os.environ.get("TMPDIR"))
        locale = {"en": "en_US.UTF-8", "de": "de_DE.UTF-8"}[lang]
        env = dict(os.environ, QT_LINUX_ACCESSIBILITY_ALWAYS_ON="1", OQ_ONLINE_SEPARATE_INSTANCE="1",
                   LANG=locale, LANGUAGE=lang, LC_ALL=locale, XDG_CONFIG_HOME=home, XDG_STATE_HOME=home,
                   XDG_DATA_HOME=home, XDG_CACHE_HOME=home)
        env.pop("QT_ACCESSIBILITY", None)
        process = subprocess.Popen([online, "--simulate"], env=env)
        try:
            application = wait(app, 20, f"{lang}: oq-online does not appear on the accessibility bus")
            if not application:
                return
            main = wait(lambda: next((w for w in windows(application) if w.getRole() == pyatspi.ROLE_FRAME), None),
                        10, f"{lang}: no main window")
            reading = wait(lambda: find(main, lambda n: n.description == t("ui.main.value.accessible")
                                        and t("ui.a11y.per_hour").split("%1")[-1].strip() in n.name),
                           20, f"{lang}: no reading in the tree")
            if not reading:
                return
            # The mode buttons are a pair of radio buttons; their keys are named in the user's
            # language (Qt's own translations).
            for key_, keys in (("ui.main.rate_button", "+1"), ("ui.main.dose_button", "+2")):
                button = find(main, lambda n: n.name == t(key_))
                check(button is not None and button.getRole() == pyatspi.ROLE_RADIO_BUTTON,
                      f"{lang}: {t(key_)} is not a radio button")
                keys = {"en": "Ctrl", "de": "Strg"}[lang] + keys
                check(button is not None and keys in button.description, f"{lang}: {t(key_)} does not say {keys}")
            check_window(main, lang, "main window")

            # The reading's name follows the value, and a level change is announced.
            first = reading.name
            wait(lambda: reading.name != first, 10, f"{lang}: the reading's name does not follow the value")
            warning_profile = find(main, lambda n: n.name == t("ui.menu.sim.profile.warning"))
            if check(warning_profile is not None, f"{lang}: no warning profile in the Simulation menu"):
                press(warning_profile)
                level = t("ui.a11y.level.warning")
                wait(lambda: reading.name.endswith(", " + level), 20,
                     f"{lang}: the reading's name does not tell the warning level")
                notice = t("ui.a11y.level_now").replace("%1", t("preferences.level.warning"))
                wait(lambda: notice in announced, 10, f"{lang}: the warning level was not announced ({announced})")

            # Preferences: fits, closes with Escape; its picture is kept.
            prefs_item = find(main, lambda n: n.getRole() in menu_roles and n.name.replace("&", "").rstrip("…") == t("ui.menu.preferences"))
            if check(prefs_item is not None, f"{lang}: no Preferences menu item"):
                press(prefs_item)
                prefs = wait(lambda: next((w for w in windows(application) if w.name == t("preferences.title")), None),
                             10, f"{lang}: Preferences does not open")
                if prefs:
                    spin(1)
                    check(prefs.getRole() == pyatspi.ROLE_DIALOG, f"{lang}: Preferences is a {prefs.getRoleName()}")
                    check_window(prefs, lang, "Preferences")
                    close = find(prefs, lambda n: n.getRole() == pyatspi.ROLE_PUSH_BUTTON and n.name == t("preferences.close"))
                    check(close is not None and showing(close), f"{lang}: Preferences' Close button is out of reach")
                    if artifacts:
                        os.makedirs(artifacts, exist_ok=True)
                        subprocess.run(["import", "-window", "root", os.path.join(artifacts, f"preferences-{lang}.png")])
                    key("Escape")
                    wait(lambda: prefs not in windows(application) and not showing(prefs), 5,
                         f"{lang}: Escape does not close Preferences")

            # Device Information: a dialog that opens with the focus away from the clock button and
            # closes with Ctrl+W.
            info_item = find(main, lambda n: n.getRole() in menu_roles and n.name.replace("&", "").rstrip("… ") == t("ui.menu.device.info"))
            if check(info_item is not None, f"{lang}: no Device Information menu item"):
                wait(lambda: states(info_item).contains(pyatspi.STATE_ENABLED), 20,
                     f"{lang}: Device Information stays disabled with a counter")
                press(info_item)
                info = wait(lambda: next((w for w in windows(application) if w.name == t("ui.info.title")), None),
                            10, f"{lang}: Device Information does not open")
                if info:
                    spin(0.5)
                    check(info.getRole() == pyatspi.ROLE_DIALOG, f"{lang}: Device Information is a {info.getRoleName()}")
                    check_window(info, lang, "Device Information")
                    focused = find(info, lambda n: states(n).contains(pyatspi.STATE_FOCUSED))
                    check(focused is None or focused.name != t("ui.menu.device.set_clock"),
                          f"{lang}: Device Information opens with the focus on the clock button")
                    key("ctrl+w")
                    wait(lambda: not showing(info), 5, f"{lang}: Ctrl+W does not close Device Information")

            # History: closes with Escape.
            history_item = find(main, lambda n: n.getRole() in menu_roles and n.name.replace("&", "").rstrip("…") == t("ui.menu.view.history_window"))
            if check(history_item is not None, f"{lang}: no History menu item"):
                press(history_item)
                history = wait(lambda: next((w for w in windows(application) if w.name == t("history.title")), None),
                               10, f"{lang}: History does not open")
                if history:
                    spin(0.5)
                    check_window(history, lang, "History")
                    key("Escape")
                    wait(lambda: not showing(history), 5, f"{lang}: Escape does not close History")
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
    if len(sys.argv) == 3 and sys.argv[1] == "--inner":
        sys.exit(inner(sys.argv[2]))
    sys.exit(outer(sys.argv[1]))
