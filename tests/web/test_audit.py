"""The audit page in headless Chromium: a lock opened on the dashboard shows
on the audit page, newest first, with who, from where and how it ended; the
filters narrow it; the page speaks Chinese too."""
import pytest
from selenium.webdriver.common.by import By
from selenium.webdriver.support import expected_conditions as EC
from selenium.webdriver.support.ui import Select, WebDriverWait

from test_web import ADMIN, browser, click, open_page, quit, shot, sign_in, start_site, stop_site, text, wait


@pytest.fixture(scope="module")
def site():
    s = start_site()
    yield s
    stop_site(s)


def rows(d):
    return d.execute_script(
        "return [...document.querySelectorAll('#audit-rows tr')].map((r) => "
        "[r.dataset.action, r.dataset.outcome, r.textContent])")


def test_an_opening_shows_on_the_audit_page(site):
    d = browser()
    try:
        sign_in(d, site["url"])
        wait(d, lambda: len(d.find_elements(By.CSS_SELECTOR, "#controllers .online")) == 2)
        click(d, '[data-open="north/2/1"]')
        WebDriverWait(d, 5).until(EC.alert_is_present()).accept()
        wait(d, lambda: text(d, 'tr[data-controller="north/2"] .locks').startswith("open"))

        open_page(d, "audit")
        wait(d, lambda: rows(d) and rows(d)[0][0] == "lock.open")
        _, outcome, line = rows(d)[0]  # newest first
        assert outcome == "done"
        assert "lock opened" in line and "bus=north address=2 lock=1" in line
        assert f"{ADMIN} (admin)" in line and "127.0.0.1" in line and "UTC" in line
        shot(d, "web-audit")

        # Filters: another action finds nothing; the opening's action finds it.
        Select(d.find_element(By.ID, "a-action")).select_by_value("card.delete")
        d.find_element(By.CSS_SELECTOR, "#audit-form button[type=submit]").click()
        wait(d, lambda: d.find_element(By.ID, "audit-empty").is_displayed())
        assert rows(d) == []
        Select(d.find_element(By.ID, "a-action")).select_by_value("lock.open")
        d.find_element(By.ID, "a-actor").send_keys(ADMIN)
        d.find_element(By.CSS_SELECTOR, "#audit-form button[type=submit]").click()
        wait(d, lambda: len(rows(d)) == 1)
        d.find_element(By.ID, "a-actor").clear()
        d.find_element(By.ID, "a-actor").send_keys("nobody")
        d.find_element(By.CSS_SELECTOR, "#audit-form button[type=submit]").click()
        wait(d, lambda: rows(d) == [])
        # A filter the server refuses is said on the page, not swallowed.
        d.execute_script("document.getElementById('a-actor').value = 'x'.repeat(65)")
        d.find_element(By.CSS_SELECTOR, "#audit-form button[type=submit]").click()
        wait(d, lambda: "64" in d.find_element(By.ID, "audit-error").text)
    finally:
        quit(d)


def test_the_audit_page_in_chinese(site):
    d = browser("zh-CN")
    try:
        sign_in(d, site["url"])
        open_page(d, "audit")
        assert d.find_element(By.CSS_SELECTOR, 'nav a[href="#audit"]').text == "操作记录"
        assert "从（UTC）" in d.find_element(By.ID, "audit-form").text
    finally:
        quit(d)
