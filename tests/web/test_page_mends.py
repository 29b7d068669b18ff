"""The page's everyday edges in headless Chromium: the menu only once signed
in, the last swipe read from the store, lock buttons of an offline controller,
the Swipes page (newest first, paged, names, an export of what is shown), and
every page on a 390 px phone in both languages."""
import json
import time
import urllib.request

import pytest
from selenium.webdriver.common.by import By
from selenium.webdriver.support.ui import Select

from test_web import TOKEN, browser, open_page, quit, shot, sign_in, start_site, stop_site, text, wait

LONG = "Main entrance turnstile, building B north wing, ground floor lobby"
SWIPES = 130


@pytest.fixture(scope="module")
def site():
    s = start_site(names=(LONG, "Back door"))
    # Swipes stored before any page is open: 130 on the front controller, then one on the back.
    for i in range(SWIPES):
        s["sim"].ask(f"swipe 1 {0x100 + i:06X}")
    s["sim"].ask("swipe 2 00BBBB")
    deadline = time.monotonic() + 30
    while len(swipes(s, "limit=1000")) < SWIPES + 1:
        assert time.monotonic() < deadline, "the swipes were not collected"
        time.sleep(0.2)
    yield s
    stop_site(s)


def swipes(site, query):
    req = urllib.request.Request(site["url"] + "api/v1/swipes?" + query, headers={"Authorization": "Bearer " + TOKEN})
    with urllib.request.urlopen(req, timeout=10) as r:
        return json.loads(r.read())["swipes"]


def ids_shown(d):
    return d.execute_script("return [...document.querySelectorAll('#swipe-rows tr')].map((r) => Number(r.dataset.id))")


def csv_ids(d):
    d.execute_script("window.lastCsv = null")
    d.find_element(By.ID, "export").click()
    csv = wait(d, lambda: d.execute_script("return window.lastCsv"))
    return [int(line.split(",")[0]) for line in csv.strip().split("\r\n")[1:]]


def test_menu_last_swipe_and_offline_locks(site):
    d = browser()
    try:
        d.get(site["url"])
        wait(d, lambda: d.find_element(By.ID, "name").is_displayed())
        assert not d.find_element(By.ID, "nav").is_displayed()
        assert not d.find_element(By.ID, "signout").is_displayed()
        sign_in(d, site["url"])
        wait(d, lambda: d.find_element(By.ID, "signout").is_displayed())

        # The newest stored swipe of each controller shows before any new one arrives.
        newest = swipes(site, "address=1&order=desc&limit=1")[0]
        wait(d, lambda: newest["card"] in text(d, 'tr[data-controller="north/1"]'))
        assert "00BBBB" in text(d, 'tr[data-controller="north/2"]')

        # An offline controller's lock buttons are disabled and say why; back online, they work again.
        site["sim"].ask("silent 2 1")
        try:
            wait(d, lambda: "offline" in text(d, 'tr[data-controller="north/2"] .reason'), 20)
            assert d.execute_script("return document.querySelector('[data-open=\"north/2/1\"]').disabled")
            assert d.execute_script("return document.querySelector('[data-open=\"north/2/2\"]').title") != ""
            assert not d.execute_script("return document.querySelector('[data-open=\"north/1/1\"]').disabled")
            shot(d, "web-dashboard-offline")
        finally:
            site["sim"].ask("silent 2 0")
        wait(d, lambda: not d.execute_script("return document.querySelector('[data-open=\"north/2/1\"]').disabled"), 20)

        d.find_element(By.ID, "signout").click()
        wait(d, lambda: d.find_element(By.ID, "name").is_displayed())
        assert not d.find_element(By.ID, "nav").is_displayed()
    finally:
        quit(d)


def test_swipes_open_newest_first_paged_and_export_what_is_shown(site):
    stored = sorted(swipes(site, "limit=1000"), key=lambda s: s["id"], reverse=True)
    all_ids = [s["id"] for s in stored]
    names = {1: LONG, 2: "Back door"}
    d = browser()
    try:
        sign_in(d, site["url"])
        open_page(d, "swipes")
        # Opens on the latest 100, newest first, without a search.
        wait(d, lambda: len(ids_shown(d)) == 100)
        assert ids_shown(d) == all_ids[:100]
        # Each row names its controller.
        shown_names = d.execute_script(
            "return [...document.querySelectorAll('#swipe-rows tr')].map((r) => r.cells[1].textContent)")
        assert shown_names == [names[s["address"]] for s in stored[:100]]
        shot(d, "web-swipes-newest")

        # Pages of 50 down and back up; each export holds exactly the page.
        Select(d.find_element(By.ID, "q-limit")).select_by_value("50")
        d.find_element(By.CSS_SELECTOR, "#search-form button[type=submit]").click()
        wait(d, lambda: len(ids_shown(d)) == 50)
        assert ids_shown(d) == all_ids[:50]
        assert d.find_element(By.ID, "page-newer").get_attribute("disabled")
        d.find_element(By.ID, "page-older").click()
        wait(d, lambda: ids_shown(d) == all_ids[50:100])
        d.find_element(By.ID, "page-older").click()
        wait(d, lambda: ids_shown(d) == all_ids[100:])
        assert d.find_element(By.ID, "page-older").get_attribute("disabled")
        assert csv_ids(d) == all_ids[100:]
        d.find_element(By.ID, "page-newer").click()
        wait(d, lambda: ids_shown(d) == all_ids[50:100])

        # An edited filter and a swipe stored meanwhile change neither the page nor its export.
        d.find_element(By.ID, "q-card").send_keys("00BBBB")
        site["sim"].ask("swipe 1 00CCCC")
        fresh = wait(d, lambda: swipes(site, "card=00CCCC"), 10)[0]["id"]
        assert csv_ids(d) == all_ids[50:100]
        # Newest shows it, under the filters of the last search.
        d.find_element(By.ID, "page-newest").click()
        wait(d, lambda: ids_shown(d) == [fresh] + all_ids[:49])

        # A search by card: the one row, and its export.
        d.find_element(By.CSS_SELECTOR, "#search-form button[type=submit]").click()
        wait(d, lambda: len(ids_shown(d)) == 1)
        assert "00BBBB" in text(d, "#swipe-rows tr")
        assert len(csv_ids(d)) == 1

        # A filter the service refuses says so and leaves the rows shown.
        d.find_element(By.ID, "q-card").clear()
        d.find_element(By.ID, "q-card").send_keys("zz")
        d.find_element(By.CSS_SELECTOR, "#search-form button[type=submit]").click()
        wait(d, lambda: "card" in text(d, "#swipe-error"))
        assert len(ids_shown(d)) == 1
    finally:
        quit(d)


PAGES = ["login", "dashboard", "feed", "swipes", "cards"]


@pytest.mark.parametrize("language", ["en-US", "zh-CN"])
def test_every_page_fits_a_phone(site, language):
    d = browser(language, 390, 844)
    try:
        d.get(site["url"])
        wait(d, lambda: d.find_element(By.ID, "name").is_displayed())
        widths = {"login": d.execute_script("return document.documentElement.scrollWidth")}
        sign_in(d, site["url"])
        for name in PAGES[1:]:
            open_page(d, name)
            # Filled before measured: rows, the editor's choices.
            if name == "dashboard":
                wait(d, lambda: len(d.find_elements(By.CSS_SELECTOR, "#controllers tr")) == 2)
            if name == "swipes":
                wait(d, lambda: len(ids_shown(d)) > 0)
            if name == "cards":
                wait(d, lambda: d.find_elements(By.CSS_SELECTOR, "#c-controllers input"))
            time.sleep(0.3)
            widths[name] = d.execute_script("return document.documentElement.scrollWidth")
            shot(d, f"web-phone-{name}-{language[:2]}")
        too_wide = {name: w for name, w in widths.items() if w > 390}
        assert not too_wide, too_wide
        # Each check box has its own label, set apart from the next box on its line.
        boxes = d.execute_script("""return [...document.querySelectorAll('#c-controllers input')].map((b) => {
            const l = document.querySelector('label[for="' + b.id + '"]');
            const r = (l || b).getBoundingClientRect(), s = b.getBoundingClientRect();
            return {labelled: !!l && l.textContent.length > 0, left: s.left, right: r.right, top: s.top}; })""")
        assert len(boxes) == 2 and all(b["labelled"] for b in boxes)
        for a, b in zip(boxes, boxes[1:]):
            assert b["top"] != a["top"] or b["left"] - a["right"] >= 8, boxes
    finally:
        quit(d)
