#!/usr/bin/python3
"""The printer lab as a developer uses it, in a real browser.

An unchanged till application (till.jar, which knows only UsbPort) runs under the lab's
agent; headless Chromium, driven through Selenium and chromedriver (Debian's packages), opens
the panel and clicks its buttons while the test plays the shop through the till's commands.

    panel_browser_test.py BUILD_DIR [--screenshot PATH]

Exits 0 when every check passed, 1 otherwise; each check says what it proves.
"""
import argparse
import json
import os
import queue
import re
import subprocess
import sys
import tempfile
import threading
import time
import urllib.request

from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.common.exceptions import StaleElementReferenceException, WebDriverException
from selenium.webdriver.common.by import By
from selenium.webdriver.support.ui import WebDriverWait

WAIT = 15  # seconds; only a broken lab waits this long


class Till:
    """The till under the agent, answering one line per command."""

    def __init__(self, build, driver="class"):
        env = dict(os.environ)
        env.pop("HOSTWIN_DEBUG_OUTPUT", None)
        self.process = subprocess.Popen(
            ["java", f"-javaagent:{build}/java/printer-sim.jar=driver={driver}",
             f"-Djava.library.path={build}/lib", "-jar", f"{build}/java/till.jar", "--commands"],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=env)
        self.lines = queue.Queue()
        threading.Thread(target=self._pump, args=(self.process.stdout,), daemon=True).start()
        self.address = None
        for line in self.process.stderr:
            match = re.search(r"printer lab: (http://127\.0\.0\.1:\d+/)", line)
            if match:
                self.address = match.group(1)
                break
        if self.address is None:
            raise RuntimeError("the agent printed no address")
        threading.Thread(target=self._drain, args=(self.process.stderr,), daemon=True).start()
        assert self.answer() == "ready"

    def _pump(self, stream):
        for line in stream:
            self.lines.put(line.strip())

    @staticmethod
    def _drain(stream):
        for _ in stream:
            pass

    def send(self, command):
        self.process.stdin.write(command + "\n")
        self.process.stdin.flush()

    def answer(self, timeout=WAIT):
        return self.lines.get(timeout=timeout)

    def ask(self, command, timeout=WAIT):
        self.send(command)
        return self.answer(timeout)

    def stop(self):
        try:
            self.send("quit")
            self.process.wait(timeout=WAIT)
        except Exception:  # noqa: BLE001 - whatever happened, the process goes
            self.process.kill()


def state(address):
    with urllib.request.urlopen(address + "state", timeout=WAIT) as response:
        return json.loads(response.read())["printers"][0]


def browser():
    # A driver that a busy machine starts slowly is refused by Selenium after 30 s; it is
    # stopped and started afresh rather than failing the run.
    for attempt in range(3):
        service = Service("/usr/bin/chromedriver")
        try:
            return webdriver.Chrome(service=service, options=browser_options())
        except WebDriverException as error:
            service.stop()
            if attempt == 2:
                raise
            print(f"chromedriver did not start ({error.msg}); starting it again", flush=True)


def browser_options():
    options = webdriver.ChromeOptions()
    options.binary_location = "/usr/bin/chromium"
    for flag in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                 "--no-first-run", "--disable-background-networking", "--disable-component-update",
                 "--disable-sync", "--window-size=1400,1000",
                 f"--user-data-dir={tempfile.mkdtemp(prefix='lab-chromium-')}"):
        options.add_argument(flag)
    return options


class Checks:
    def __init__(self):
        self.failures = 0

    def check(self, what, condition, detail=""):
        print(("PASS " if condition else "FAIL ") + what + ("" if condition else f": {detail}"), flush=True)
        if not condition:
            self.failures += 1


def receipt_texts(page):
    # Read in one step inside the page: the page redraws receipts as they print, and an
    # element found by one call may be gone by the next.
    return page.execute_script(
        "return [...document.querySelectorAll('.receipt pre')].map(e => e.innerText);")


def receipts_text(page):
    return "\n".join(receipt_texts(page))


def click(page, action):
    page.find_element(By.CSS_SELECTOR, f'button[data-action="{action}"]').click()


def wait_for(page, condition):
    try:
        WebDriverWait(page, WAIT, ignored_exceptions=(StaleElementReferenceException,)).until(
            lambda _: condition())
        return True
    except Exception:  # noqa: BLE001 - a timeout is the failure being checked
        return False


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("build")
    parser.add_argument("--screenshot")
    args = parser.parse_args()
    checks = Checks()
    till = Till(args.build)
    page = browser()
    try:
        page.get(till.address)
        checks.check("the page loads with the printer",
                     wait_for(page, lambda: "TR-80" in page.find_element(By.ID, "printer-name").text),
                     page.find_element(By.ID, "printer-name").text)

        checks.check("the till opens the printer it finds", till.ask("open") == "ok 1")
        checks.check("the till prints", till.ask("receipt") == "ok written")
        checks.check("a receipt written through the natives appears without a reload",
                     wait_for(page, lambda: "Receipt 000001" in receipts_text(page)))
        for _ in range(2):
            till.ask("receipt")
        wait_for(page, lambda: receipts_text(page).count("PALVEX") >= 3)
        checks.check("the newest receipt shows as its picture",
                     wait_for(page, lambda: page.execute_script(
                         "const img = [...document.querySelectorAll('.receipt img')].pop();"
                         "return img !== undefined && img.complete && img.naturalWidth > 0;")))
        if args.screenshot:
            os.makedirs(os.path.dirname(os.path.abspath(args.screenshot)), exist_ok=True)
            page.save_screenshot(args.screenshot)
            print("screenshot: " + args.screenshot)

        click(page, "paperOut")
        wait_for(page, lambda: state(till.address)["state"]["paper"] == "out")
        checks.check('"paper out" in the page: the till\'s next DLE EOT 4 reads paper out',
                     till.ask("status 4") == "ok status 7e")
        till.send("write 10000")
        stalled = False
        try:
            till.answer(timeout=1.5)
        except queue.Empty:
            stalled = True
        checks.check("with the paper out a job larger than the printer's buffer stalls", stalled)
        click(page, "loadPaper")
        checks.check('"load paper" in the page lets the stalled job finish', till.answer() == "ok written")
        # The job has no cut of its own: its w's lead the receipt that the next cut ends,
        # right-aligned as the receipt before left the printer.
        leading_ws = lambda: max((re.match(r"[w\n ]*", text).group().count("w")
                                  for text in receipt_texts(page)), default=0)
        checks.check("the stalled job printed in full, byte for byte",
                     wait_for(page, lambda: leading_ws() == 10000), leading_ws())

        click(page, "unplug")
        wait_for(page, lambda: not state(till.address)["state"]["pluggedIn"])
        checks.check("a write while the cable is pulled fails", till.ask("receipt").startswith("error"))
        click(page, "replug")
        deadline = time.time() + WAIT
        answer = ""
        while time.time() < deadline and answer != "ok written":
            answer = till.ask("receipt")
            time.sleep(0.2)
        checks.check('"pull" then "replug" in the page: the till\'s next writes reach the printer again',
                     answer == "ok written", answer)

        hostile = "<script>window.pwned=1</script><img src=x onerror=\"window.pwned=2\">"
        checks.check("the till prints a hostile receipt", till.ask("receipt " + hostile) == "ok written")
        checks.check("the hostile receipt shows its markup as text",
                     wait_for(page, lambda: "<script>window.pwned=1</script>" in receipts_text(page)))
        checks.check("the hostile receipt runs no script",
                     page.execute_script("return window.pwned === undefined") and
                     not page.find_elements(By.CSS_SELECTOR, ".receipt script, .receipt img[onerror]"))

        status = page.execute_async_script(
            "const done = arguments[0];"
            "fetch('/control', {method: 'POST', body: new URLSearchParams({action: 'openCover'})})"
            ".then(r => done(r.status), () => done(-1));")
        time.sleep(0.3)
        checks.check("a POST without the token changes nothing",
                     status == 403 and not state(till.address)["state"]["coverOpen"], status)
    finally:
        page.quit()
        till.stop()
    print(f"{checks.failures} check(s) failed" if checks.failures else "all checks passed")
    return 1 if checks.failures else 0


if __name__ == "__main__":
    sys.exit(main())
