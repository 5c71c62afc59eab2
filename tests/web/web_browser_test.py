#!/usr/bin/python3
"""The page in headless Chromium at phone and desktop size, in English and German: two counters'
readings update without a reload, levels in words and colour, an unplugged counter is said, the
plot is drawn, and the page's export equals `oqtool history` for the range it shows."""
import os
import shutil
import subprocess
import tempfile
import urllib.parse
from datetime import datetime, timezone

from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By

from webdemo import ARTIFACTS, Demo, report, wait_for

WORDS = {"en": {"warning": "Warning", "danger": "Danger", "away": "Unplugged"},
         "de": {"warning": "Warnung", "danger": "Gefahr", "away": "Nicht angeschlossen"}}
SIZES = {"phone": (390, 844), "desktop": (1280, 800)}


def browser(lang, profile):
    o = webdriver.ChromeOptions()
    o.binary_location = "/usr/bin/chromium"
    for a in ("--headless", "--no-sandbox", "--disable-gpu", "--disable-background-networking", "--disable-component-update",
              "--disable-sync", "--no-first-run", "--user-data-dir=" + profile, "--lang=" + lang):
        o.add_argument(a)
    o.add_experimental_option("prefs", {"intl.accept_languages": lang})
    o.set_capability("goog:loggingPrefs", {"browser": "ALL"})
    return webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=o)


def card(d, serial):
    return d.find_element(By.CSS_SELECTOR, f'section.counter[data-serial="{serial}"]')


def text(d, serial, part):
    return card(d, serial).find_element(By.CSS_SELECTOR, part).text


def iso(ms):
    return datetime.fromtimestamp(ms / 1000, timezone.utc).strftime("%Y-%m-%dT%H:%M:%S.") + f"{ms % 1000:03d}Z"


def main():
    os.makedirs(ARTIFACTS, exist_ok=True)
    failures, ran = [], 0
    with Demo() as demo:
        for lang in ("en", "de"):
            profile = tempfile.mkdtemp(prefix="oq-chromium.")
            d = browser(lang, profile)
            try:
                w = WORDS[lang]
                demo.send("reading OQ-0001 0.15")
                demo.send("reading OQ-0002 3.0")
                for size, (width, height) in SIZES.items():
                    ran += 1
                    what = f"{lang} {size}"
                    try:
                        d.set_window_size(width, height)
                        d.get(demo.url)
                        assert d.find_element(By.TAG_NAME, "html").get_attribute("lang") == lang, what
                        wait_for("two cards", lambda: len(d.find_elements(By.CSS_SELECTOR, "section.counter")) == 2)
                        wait_for("warning said", lambda: text(d, "OQ-0002", ".level") == w["warning"])
                        colour = card(d, "OQ-0002").find_element(By.CSS_SELECTOR, ".reading").value_of_css_property("color")
                        assert colour in ("rgba(199, 119, 0, 1)", "rgb(199, 119, 0)"), f"{what}: warning colour {colour}"
                        # A new reading shows within 2 s, without a reload.
                        marker = d.execute_script("return window.performance.timeOrigin")
                        demo.send("reading OQ-0001 12.5")
                        wait_for("danger shown", lambda: text(d, "OQ-0001", ".level") == w["danger"])
                        assert card(d, "OQ-0001").find_element(By.CSS_SELECTOR, ".value").text.startswith("12"), what
                        demo.send("state OQ-0002 away")
                        wait_for("unplugged said", lambda: text(d, "OQ-0002", ".state") == w["away"])
                        assert d.execute_script("return window.performance.timeOrigin") == marker, f"{what}: the page reloaded"
                        wait_for("plot drawn", lambda: card(d, "OQ-0001").find_elements(By.CSS_SELECTOR, "svg.plot polyline.mean"), 5)
                        ticks = card(d, "OQ-0001").find_elements(By.CSS_SELECTOR, "svg.plot text")
                        assert len(ticks) >= 3, f"{what}: ruler labels {len(ticks)}"
                        d.save_screenshot(os.path.join(ARTIFACTS, f"web-{lang}-{size}.png"))
                        demo.send("reading OQ-0001 0.15")
                        demo.send("reading OQ-0002 3.0")
                        wait_for("plugged in again", lambda: text(d, "OQ-0002", ".level") == w["warning"])
                    except Exception as e:  # noqa: BLE001 - every face reported
                        failures.append(f"{what}: {e!r}")
                # The export for the shown range: the bytes oqtool history writes.
                ran += 1
                try:
                    card(d, "OQ-0001").find_element(By.CSS_SELECTOR, 'button[data-range="week"]').click()
                    wait_for("week plotted", lambda: "from=" in (card(d, "OQ-0001").find_element(By.CSS_SELECTOR, "a.export-csv")
                                                                  .get_attribute("href") or "")
                             and d.find_element(By.CSS_SELECTOR, 'button[data-range="week"]').get_attribute("aria-pressed") == "true", 5)
                    for fmt in ("csv", "json"):
                        href = card(d, "OQ-0001").find_element(By.CSS_SELECTOR, f"a.export-{fmt}").get_attribute("href")
                        q = urllib.parse.parse_qs(urllib.parse.urlparse(href).query)
                        status, body, _ = demo.get(href[len(demo.url) - 1:], timeout=30)
                        assert status == 200, status
                        expected = subprocess.run([os.environ["OQ_TOOL"], "history", "--db", demo.history, "--counter", "OQ-0001",
                                                   "--from", iso(int(q["from"][0])), "--to", iso(int(q["to"][0])), "--format", fmt],
                                                  capture_output=True, env=demo.env, check=True).stdout
                        assert body == expected and body.count(b"\n") > 5000, f"{fmt}: {len(body)} bytes, oqtool {len(expected)}"
                except Exception as e:  # noqa: BLE001
                    failures.append(f"{lang} export: {e!r}")
                ran += 1
                errors = [e for e in d.get_log("browser") if e["level"] == "SEVERE"]
                if errors:
                    failures.append(f"{lang}: console errors {errors}")
            finally:
                d.quit()
                shutil.rmtree(profile, ignore_errors=True)
    report(failures, ran)


if __name__ == "__main__":
    main()
