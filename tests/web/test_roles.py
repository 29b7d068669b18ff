"""The web page for each role in headless Chromium: a viewer sees no lock
buttons and cannot edit cards, an operator opens locks but cannot edit cards,
an admin does both; the session cookie is out of the script's reach and
signing out ends it on the server."""
import json
import urllib.error
import urllib.request

import pytest
from selenium.webdriver.common.by import By

from test_web import add_user, browser, click, quit, shot, sign_in, start_site, stop_site, text, wait

USERS = {"vera": "viewer", "olaf": "operator", "ada": "admin"}


@pytest.fixture(scope="module")
def site():
    s = start_site()
    for name, role in USERS.items():
        add_user(s, name, role, name + "-password-1")
    yield s
    stop_site(s)


def who_am_i(site, session):
    """GET /api/v1/session with a session key: its status and reply."""
    req = urllib.request.Request(site["url"] + "api/v1/session", headers={"Cookie": "ostrel_session=" + session})
    try:
        with urllib.request.urlopen(req, timeout=10) as r:
            return r.status, json.loads(r.read())
    except urllib.error.HTTPError as e:
        return e.code, None


@pytest.mark.parametrize("name", ["vera", "olaf", "ada"])
def test_each_role_sees_only_what_it_may_do(site, name):
    role = USERS[name]
    d = browser()
    try:
        sign_in(d, site["url"], name, name + "-password-1")
        wait(d, lambda: len(d.find_elements(By.CSS_SELECTOR, "#controllers .online")) == 2)
        assert text(d, "#me") == f"{name} ({role})"
        # The audit trail's menu entry is for admins only.
        assert d.find_element(By.CSS_SELECTOR, 'a[href="#audit"]').is_displayed() == (role == "admin")
        buttons = d.find_elements(By.CSS_SELECTOR, "#controllers [data-open]")
        if role == "viewer":
            assert buttons == []
            shot(d, "web-viewer-dashboard")
        else:
            assert len(buttons) == 4
            click(d, '[data-open="north/2/2"]')
            d.switch_to.alert.accept()
            wait(d, lambda: text(d, 'tr[data-controller="north/2"] .locks').endswith("open"))

        d.find_element(By.CSS_SELECTOR, 'a[href="#cards"]').click()
        wait(d, lambda: d.find_element(By.ID, "cards").is_displayed())
        wait(d, lambda: d.execute_script("return document.getElementById('card-form').hidden") != (role == "admin"))
        assert d.find_element(By.ID, "card-form").is_displayed() == (role == "admin")
        assert d.find_elements(By.CSS_SELECTOR, "#card-rows button") == [] or role == "admin"
        # The session cookie is HttpOnly: the page's script cannot read it.
        assert "ostrel_session" not in d.execute_script("return document.cookie")
    finally:
        quit(d)


def test_signing_out_ends_the_session_on_the_server(site):
    d = browser()
    try:
        sign_in(d, site["url"], "vera", "vera-password-1")
        wait(d, lambda: d.find_element(By.ID, "dashboard").is_displayed())
        cookie = d.get_cookie("ostrel_session")
        assert cookie and cookie["httpOnly"] and cookie["sameSite"] == "Strict"
        assert who_am_i(site, cookie["value"]) == (200, {"name": "vera", "kind": "user", "role": "viewer"})
        # A reload keeps the session; signing out ends it.
        d.refresh()
        wait(d, lambda: d.find_element(By.ID, "dashboard").is_displayed())
        d.find_element(By.ID, "signout").click()
        wait(d, lambda: d.find_element(By.ID, "login").is_displayed())
        assert who_am_i(site, cookie["value"])[0] == 401
        d.refresh()
        wait(d, lambda: d.find_element(By.ID, "login").is_displayed())
    finally:
        quit(d)
