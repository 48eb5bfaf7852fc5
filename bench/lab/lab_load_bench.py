#!/usr/bin/python3
"""Receipts a second through the natives with the printer lab's panel open in a browser,
against the same without the agent.

    bench/lab/lab_load_bench.py [BUILD_DIR] [SECONDS]

Compiles LabLoad.java against the build's printer-sim.jar and till.jar, runs it once with a
printer of its own and no agent, and once under the agent with headless Chromium showing the
panel (every receipt reaches the page), and prints both rates and their ratio.
"""
import os
import re
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

    plain = subprocess.run(["java", library, "-cp", classpath, "LabLoad", "--plug", seconds],
                           capture_output=True, text=True, check=True).stdout
    without = float(plain.split()[0])

    lab = subprocess.Popen(["java", f"-javaagent:{build}/java/printer-sim.jar", library, "-cp", classpath,
                            "LabLoad", seconds], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    address = None
    for line in lab.stderr:
        match = re.search(r"(http://127\.0\.0\.1:\d+/)", line)
        if match:
            address = match.group(1)
            break
    page = browser()
    page.get(address)
    out, _ = lab.communicate()
    time.sleep(0.5)
    receipts_on_page = len(page.find_elements("css selector", ".receipt"))
    page.quit()
    under = float(out.split()[0])
    print(f"without the agent:             {without:8.1f} receipts/s")
    print(f"under the agent, page open:    {under:8.1f} receipts/s ({receipts_on_page} receipts on the page)")
    print(f"ratio:                          {under / without:8.2f}")


if __name__ == "__main__":
    main()
