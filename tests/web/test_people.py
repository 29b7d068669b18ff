"""The People and Attendance pages in headless Chromium: a person created in
the page, a card given, the person's attendance page with the day's swipes,
a card import checked then applied, and both pages on a 390 px phone in both
languages."""
import json
import time
import urllib.request

import pytest
from selenium.webdriver.common.by import By
from selenium.webdriver.support.ui import Select

from test_web import TOKEN, browser, open_page, quit, shot, sign_in, start_site, stop_site, text, wait


@pytest.fixture(scope="module")
def site():
    s = start_site()
    yield s
    stop_site(s)


def call(site, path, body=None, method=None):
    data = None if body is None else (body if isinstance(body, bytes) else json.dumps(body).encode())
    req = urllib.request.Request(site["url"] + "api/v1/" + path, data=data, method=method,
                                 headers={"Authorization": "Bearer " + TOKEN, "Content-Type": "application/json"})
    with urllib.request.urlopen(req, timeout=10) as r:
        return json.loads(r.read())


def test_a_persons_attendance_page(site):
    d = browser()
    try:
        sign_in(d, site["url"])
        open_page(d, "people")
        d.find_element(By.ID, "p-name").send_keys("Ann Lee")
        d.find_element(By.ID, "p-department").send_keys("Works")
        d.find_element(By.CSS_SELECTOR, '#person-form button[type="submit"]').click()
        wait(d, lambda: "Ann Lee" in text(d, "#people-rows"))
        person = call(site, "people?q=Ann")["people"][0]
        # A card given in the page is held from now on.
        row = f'#people-rows tr[data-person="{person["id"]}"]'
        d.find_element(By.CSS_SELECTOR, row + " input").send_keys("4343")
        d.find_element(By.CSS_SELECTOR, row + " button.hold").click()
        wait(d, lambda: "004343" in text(d, row))
        # The simulated controller's clock is its own: this card is Ann's since long before it.
        call(site, f"people/{person['id']}/cards", {"card": "4242", "since": "2000-01-01T00:00"})
        site["sim"].ask("swipe 1 004242")
        deadline = time.monotonic() + 20
        while not call(site, "swipes?person=" + str(person["id"]))["swipes"]:
            assert time.monotonic() < deadline, "the swipe was not collected as Ann's"
            time.sleep(0.2)
        swipe = call(site, "swipes?person=" + str(person["id"]))["swipes"][0]
        day = swipe["time"][:10]

        d.find_element(By.CSS_SELECTOR, row + ' a[href="#attendance"]').click()
        wait(d, lambda: d.find_element(By.ID, "attendance").is_displayed())
        wait(d, lambda: Select(d.find_element(By.ID, "a-person")).first_selected_option.text == "Ann Lee")
        for field in ("a-from", "a-to"):
            d.execute_script("arguments[0].value = arguments[1]", d.find_element(By.ID, field), day)
        d.find_element(By.CSS_SELECTOR, '#attendance-form button[type="submit"]').click()
        wait(d, lambda: swipe["time"].replace("T", " ") in text(d, "#attendance-rows"))
        assert "Front door" in text(d, "#attendance-rows")
        assert len(d.find_elements(By.CSS_SELECTOR, "#attendance-rows tr")) == 1
        shot(d, "web-attendance")
        open_page(d, "people")
        shot(d, "web-people")
    finally:
        quit(d)


def test_an_import_is_checked_then_applied(site, tmp_path):
    good = tmp_path / "cards.csv"
    good.write_text("physical,logical,from,to,hours,days,lock1,lock2,name,department\r\n"
                    "0000000701,701,2026-01-01,2027-12-31,07:00-19:00,1-5,in,0,Bea Import,Sales\r\n")
    bad = tmp_path / "bad.csv"
    bad.write_text("physical,logical\r\n0000000702,702\r\n123,703\r\n")
    d = browser()
    try:
        sign_in(d, site["url"])
        open_page(d, "people")
        d.find_element(By.ID, "i-file").send_keys(str(bad))
        d.find_element(By.ID, "i-check").click()
        wait(d, lambda: "physical" in text(d, "#import-rows"))
        assert d.find_element(By.ID, "i-apply").get_attribute("disabled")
        d.find_element(By.ID, "i-file").send_keys(str(good))
        d.find_element(By.ID, "i-check").click()
        wait(d, lambda: "000701" in text(d, "#import-rows"))
        assert "new person" in text(d, "#import-rows")
        assert not any(c["logical"] == "000701" for c in call(site, "cards")["cards"])  # a dry run only
        wait(d, lambda: not d.find_element(By.ID, "i-apply").get_attribute("disabled"))
        shot(d, "web-import")
        d.find_element(By.ID, "i-apply").click()
        wait(d, lambda: "Bea Import" in text(d, "#people-rows"))
        assert any(c["logical"] == "000701" for c in call(site, "cards")["cards"])
        assert "000702" not in json.dumps(call(site, "cards"))
    finally:
        quit(d)


@pytest.mark.parametrize("language", ["en-US", "zh-CN"])
def test_the_pages_fit_a_phone(site, language):
    call(site, "people", {"name": "Chen Jing, night shift supervisor of the north building", "department": "Works"})
    d = browser(language, 390, 844)
    try:
        sign_in(d, site["url"])
        widths = {}
        for name in ("people", "attendance"):
            open_page(d, name)
            wait(d, lambda: len(d.find_elements(By.CSS_SELECTOR, f"#{name}-rows tr")) > 0)
            time.sleep(0.3)
            widths[name] = d.execute_script("return document.documentElement.scrollWidth")
            shot(d, f"web-phone-{name}-{language[:2]}")
        if language.startswith("zh"):
            assert text(d, 'nav a[href="#people"]') == "人员"
        too_wide = {name: w for name, w in widths.items() if w > 390}
        assert not too_wide, too_wide
    finally:
        quit(d)
