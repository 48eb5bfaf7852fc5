#!/usr/bin/python3
"""Receipts a second through the natives with the printer lab's panel open in a browser,
against the same without the agent.

    bench/lab/lab_load_bench.py [BUILD_DIR] [SECONDS] [ROUNDS]

Compiles LabLoad.java against the build's printer-sim.jar and till.jar, then, ROUNDS times
in turn, runs it with a printer of its own and no agent, and under the agent with headless
Chromium showing the panel; prints the median rate of each and their ratio. Run it on an
otherwise idle machine: the rates are CPU-bound.
"""
import os
import re
import statistics
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tests", "lab"))
from panel_browser_test import browser  # noqa: E402


def main():
    build = sys.argv[1] if len(sys.argv) > 1 else "build/host"
    seconds = sys.argv[2] if len(sys.argv) > 2 else "10"
    here = os.path.dirname(os.path.abspath(__file__))
    classes = tempfile.mkdtemp(prefix="lab-load-")
    classpath = f"{build}/java/printer-sim.jar:{build}/java/till.jar"
    subprocess.run(["javac", "-d", classes, "-cp", classpath, os.path.join(here, "LabLoad.java")], check=True)
    classpath += ":" + classes
    library = f"-Djava.library.path={build}/lib"

    rounds = int(sys.argv[3]) if len(sys.argv) > 3 else 3
    withouts, unders, shown = [], [], []
    for _ in range(rounds):
        withouts.append(run_without_agent(library, classpath, seconds))
        rate, receipts_on_page = run_under_agent(build, library, classpath, seconds)
        unders.append(rate)
        shown.append(receipts_on_page)
    without = statistics.median(withouts)
    under = statistics.median(unders)
    print(f"without the agent:             {without:10.1f} receipts/s  (rounds: {fmt(withouts)})")
    print(f"under the agent, page open:    {under:10.1f} receipts/s  (rounds: {fmt(unders)}; "
          f"receipts on the page: {shown})")
    print(f"ratio:                          {under / without:8.2f}")


def fmt(rates):
    return ", ".join(f"{rate:.0f}" for rate in rates)


def run_without_agent(library, classpath, seconds):
    plain = subprocess.run(["java", library, "-cp", classpath, "LabLoad", "--plug", seconds],
                           capture_output=True, text=True, check=True).stdout
    return float(plain.split()[0])


def run_under_agent(build, library, classpath, seconds):
    lab = subprocess.Popen(["java", f"-javaagent:{build}/java/printer-sim.jar", library, "-cp", classpath,
                            "LabLoad", seconds], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                           stderr=subprocess.PIPE, text=True)
    address = None
    for line in lab.stderr:
        match = re.search(r"(http://127\.0\.0\.1:\d+/)", line)
        if match:
            address = match.group(1)
            break
    page = browser()
    page.get(address)
    out, _ = lab.communicate("the page is open\n")
    time.sleep(0.5)
    receipts_on_page = len(page.find_elements("css selector", ".receipt"))
    page.quit()
    return float(out.split()[0]), receipts_on_page


if __name__ == "__main__":
    main()
