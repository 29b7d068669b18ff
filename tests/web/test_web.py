"""The web page in headless Chromium: sign in, the dashboard, opening a lock,
the live feed, search and CSV export, enrolling a card, Chinese texts, and a
phone-sized screen. Screenshots go to $OSTREL_SCREENSHOTS when it is set."""
import os
import re
import shutil
import subprocess
import tempfile
import time

import pytest
from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.common.exceptions import StaleElementReferenceException
from selenium.webdriver.common.by import By
from selenium.webdriver.support import expected_conditions as EC
from selenium.webdriver.support.ui import WebDriverWait

BIN = os.environ.get("OSTREL_BIN_DIR", "build/bin")
WEB = os.environ.get("OSTREL_WEB_DIR", "web")
SHOTS = os.environ.get("OSTREL_SCREENSHOTS")
# The token file's token, for API-level use; the page signs in as ADMIN.
TOKEN = "web-test-token-0123"
ADMIN, ADMIN_PASSWORD = "admin", "admin-password-0123"


class Sim:
    def __init__(self, *addresses):
        self.p = subprocess.Popen([os.path.join(BIN, "web_sim"), *map(str, addresses)], stdin=subprocess.PIPE,
                                  stdout=subprocess.PIPE, text=True)
        self.path = self.p.stdout.readline().strip()

    def ask(self, line):
        self.p.stdin.write(line + "\n")
        self.p.stdin.flush()
        return self.p.stdout.readline().strip()

    def close(self):
        self.p.stdin.close()
        self.p.wait(5)


def start_site(tls=False, names=("Front door", "Back door")):
    """ostreld over a simulated bus; with tls, HTTPS with a certificate made here.
    names: the two controllers' names."""
    folder = tempfile.mkdtemp(prefix="ostrel-web-")
    sim = Sim(1, 2)
    with open(os.path.join(folder, "token"), "w") as f:
        f.write(TOKEN + "\n")
    config = os.path.join(folder, "ostreld.toml")
    tls_keys, spki = "", None
    if tls:
        cert, key = os.path.join(folder, "cert.pem"), os.path.join(folder, "key.pem")
        subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out", cert,
                        "-days", "2", "-subj", "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1"],
                       check=True, capture_output=True)
        tls_keys = f'tls_cert = "{cert}"\ntls_key = "{key}"\n'
        # Chromium trusts this one key and no other unknown certificate.
        der = subprocess.run(f"openssl x509 -pubkey -noout -in {cert} | openssl pkey -pubin -outform der | "
                             "openssl dgst -sha256 -binary | base64", shell=True, check=True, capture_output=True)
        spki = der.stdout.decode().strip()
    with open(config, "w") as f:
        f.write(f'[service]\nsite = "hq"\nlisten = "127.0.0.1:0"\nstore = "sqlite:{folder}/ostrel.db"\n'
                f'token_file = "{folder}/token"\nweb_root = "{WEB}"\n{tls_keys}'
                f'[[bus]]\nname = "north"\ndevice = "{sim.path}"\nstatus_every = "300ms"\ncollect_every = "200ms"\n'
                f'[[bus.controller]]\naddress = 1\nname = "{names[0]}"\n'
                f'[[bus.controller]]\naddress = 2\nname = "{names[1]}"\n')
    add_user({"config": config}, ADMIN, "admin", ADMIN_PASSWORD)
    log = open(os.path.join(folder, "ostreld.log"), "w+")
    service = subprocess.Popen([os.path.join(BIN, "ostreld"), "--config", config], stderr=log)
    port = None
    for _ in range(200):
        log.seek(0)
        m = re.search(r"listening on [^ ]+:(\d+)", log.read())
        if m:
            port = int(m.group(1))
            break
        time.sleep(0.05)
    assert port, "ostreld did not start"
    scheme = "https" if tls else "http"
    return {"url": f"{scheme}://127.0.0.1:{port}/", "port": port, "sim": sim, "spki": spki,
            "service": service, "folder": folder, "config": config}


def add_user(s, name, role, password):
    """An operator account in the site's store, made as an administrator would."""
    subprocess.run([os.path.join(BIN, "ostreld"), "user", "add", name, "--role", role, "--password-stdin",
                    "--config", s["config"]], input=password + "\n", text=True, check=True, capture_output=True)


def stop_site(s):
    s["service"].terminate()
    s["service"].wait(10)
    s["sim"].close()
    shutil.rmtree(s["folder"], ignore_errors=True)


@pytest.fixture(scope="module")
def site():
    s = start_site()
    yield s
    stop_site(s)


@pytest.fixture(scope="module")
def tls_site():
    s = start_site(tls=True)
    yield s
    stop_site(s)


def browser(language="en-US", width=1200, height=900, spki=None):
    profile = tempfile.mkdtemp(prefix="ostrel-chromium-")
    o = webdriver.ChromeOptions()
    o.binary_location = "/usr/bin/chromium"
    for flag in ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                 "--disable-background-networking", "--disable-component-update", "--disable-sync",
                 f"--user-data-dir={profile}", f"--lang={language}", f"--window-size={width},{height}"]:
        o.add_argument(flag)
    if spki:
        o.add_argument("--ignore-certificate-errors-spki-list=" + spki)
    o.add_experimental_option("prefs", {"intl.accept_languages": language})
    if width < 500:
        # Headless windows are never narrower than 500 pixels: a phone is emulated.
        o.add_experimental_option("mobileEmulation",
                                  {"deviceMetrics": {"width": width, "height": height, "pixelRatio": 2}})
    d = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=o)
    d.profile = profile
    return d


def quit(d):
    d.quit()
    shutil.rmtree(d.profile, ignore_errors=True)


def shot(d, name):
    if SHOTS:
        os.makedirs(SHOTS, exist_ok=True)
        d.save_screenshot(os.path.join(SHOTS, name + ".png"))


def sign_in(d, url, name=ADMIN, password=ADMIN_PASSWORD):
    d.get(url)
    field = WebDriverWait(d, 10).until(EC.visibility_of_element_located((By.ID, "name")))
    field.clear()
    field.send_keys(name)
    d.find_element(By.ID, "password").clear()
    d.find_element(By.ID, "password").send_keys(password)
    d.find_element(By.CSS_SELECTOR, "#login-form button").click()


def open_page(d, name):
    """Opens a page through the menu once signed in."""
    WebDriverWait(d, 10).until(lambda _: d.find_element(By.ID, "signout").is_displayed())
    d.find_element(By.CSS_SELECTOR, f'nav a[href="#{name}"]').click()
    WebDriverWait(d, 10).until(lambda _: d.find_element(By.ID, name).is_displayed())


def text(d, css):
    """An element's text read in the page: rows rebuilt meanwhile are never stale."""
    return d.execute_script("const e = document.querySelector(arguments[0]); return e ? e.textContent : ''", css)


def click(d, css):
    """Clicks an element of rows the page rebuilds every second, trying again if it was replaced."""
    for _ in range(10):
        try:
            d.find_element(By.CSS_SELECTOR, css).click()
            return
        except StaleElementReferenceException:
            time.sleep(0.05)
    raise AssertionError("could not click " + css)


def wait(d, cond, seconds=10):
    return WebDriverWait(d, seconds, poll_frequency=0.1).until(lambda _: cond())


def test_the_page_from_sign_in_to_cards(site):
    d = browser()
    try:
        sign_in(d, site["url"], ADMIN, "wrong-password-000")
        wait(d, lambda: d.find_element(By.ID, "login-error").text != "")
        shot(d, "web-signin")
        sign_in(d, site["url"])

        # The dashboard lists the simulated controllers, online.
        wait(d, lambda: len(d.find_elements(By.CSS_SELECTOR, "#controllers tr")) == 2)
        wait(d, lambda: len(d.find_elements(By.CSS_SELECTOR, "#controllers .online")) == 2)
        assert "Front door" in text(d, "#controllers")

        # Opening a lock asks first, then the state shows it open.
        row = 'tr[data-controller="north/1"]'
        click(d, '[data-open="north/1/1"]')
        WebDriverWait(d, 5).until(EC.alert_is_present()).accept()
        wait(d, lambda: text(d, row + " .locks").startswith("open"))
        shot(d, "web-dashboard")

        # A swipe on the controller shows in the live feed within 2 s.
        d.find_element(By.CSS_SELECTOR, 'a[href="#feed"]').click()
        time.sleep(0.3)
        site["sim"].ask("swipe 2 00ABCD")
        start = time.monotonic()
        wait(d, lambda: d.find_elements(By.CSS_SELECTOR, '#feed-list li[data-card="00ABCD"]'), 5)
        assert time.monotonic() - start < 2.0
        shot(d, "web-feed")

        # Search by controller and card finds it; the CSV export holds it.
        d.find_element(By.CSS_SELECTOR, 'a[href="#swipes"]').click()
        wait(d, lambda: len(d.find_elements(By.CSS_SELECTOR, "#q-controller option")) == 3)
        d.find_element(By.CSS_SELECTOR, '#q-controller option[value="north/2"]').click()
        d.find_element(By.ID, "q-card").send_keys("00abcd")
        d.find_element(By.CSS_SELECTOR, "#search-form button[type=submit]").click()
        wait(d, lambda: d.find_elements(By.CSS_SELECTOR, '#swipe-rows tr[data-card="00ABCD"]'))
        shot(d, "web-swipes")
        d.find_element(By.ID, "export").click()
        csv = wait(d, lambda: d.execute_script("return window.lastCsv"))
        lines = csv.strip().split("\r\n")
        assert lines[0] == "id,site,bus,address,card,time,code_a,code_b,line,collected_at,person"
        assert len(lines) == 2 and ",north,2,00ABCD," in lines[1]

        # A card enrolled in the page reaches the simulated controller.
        d.find_element(By.CSS_SELECTOR, 'a[href="#cards"]').click()
        wait(d, lambda: d.find_elements(By.CSS_SELECTOR, '#c-controllers input[value="north/2"]'))
        d.find_element(By.ID, "c-logical").send_keys("55")
        d.find_element(By.ID, "c-physical").send_keys("0000000055")
        d.find_element(By.CSS_SELECTOR, '#c-controllers input[value="north/2"]').click()
        d.find_element(By.CSS_SELECTOR, "#card-form button[type=submit]").click()
        wait(d, lambda: "000055" in site["sim"].ask("cards 2"))
        assert "000055" not in site["sim"].ask("cards 1")
        d.refresh()
        wait(d, lambda: "north/2: Applied" in text(d, 'tr[data-logical="000055"]'))
        shot(d, "web-cards")
    finally:
        quit(d)


def test_the_page_over_tls(tls_site):
    d = browser(spki=tls_site["spki"])
    try:
        sign_in(d, tls_site["url"])
        wait(d, lambda: len(d.find_elements(By.CSS_SELECTOR, "#controllers .online")) == 2)
        assert d.execute_script("return location.protocol") == "https:"
        # The live feed's stream comes over TLS too.
        d.find_element(By.CSS_SELECTOR, 'a[href="#feed"]').click()
        time.sleep(0.3)
        tls_site["sim"].ask("swipe 1 00BEEF")
        wait(d, lambda: d.find_elements(By.CSS_SELECTOR, '#feed-list li[data-card="00BEEF"]'), 5)
        shot(d, "web-tls")
    finally:
        quit(d)
    # Plain HTTP to the TLS listener gets no page.
    plain = subprocess.run(["curl", "-sS", "--max-time", "5", f"http://127.0.0.1:{tls_site['port']}/healthz"],
                           capture_output=True, text=True)
    assert plain.returncode != 0 and '"ok"' not in plain.stdout


def test_chinese_texts_on_a_phone(site):
    d = browser("zh-CN", 390, 844)
    try:
        sign_in(d, site["url"])
        wait(d, lambda: len(d.find_elements(By.CSS_SELECTOR, "#controllers tr")) == 2)
        nav = d.find_element(By.ID, "nav").text
        assert "控制器" in nav and "发卡名单" in nav
        assert "打开锁 1" in text(d, "#controllers")
        # Nothing wider than the phone's screen.
        assert d.execute_script("return document.documentElement.scrollWidth") <= 390
        shot(d, "web-phone-zh")
    finally:
        quit(d)
