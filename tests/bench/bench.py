#!/usr/bin/env python3
"""Measures Tarvex's own costs under Wine and prints one table, each figure beside its target.

Run through scripts/bench (which builds what it needs and starts Xvfb and the wineserver). Environment:
TARVEX_BUILD (the Windows build under test), TARVEX_WINE, TARVEX_SOURCE, WINEPREFIX, DISPLAY; TARVEX_SHIPPED_EXE
(the 32-bit exe whose size and imports are reported). Writes the figures as JSON to $TARVEX_BUILD/bench.json too.
"""
import json
import os
import platform
import random
import re
import statistics
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "e2e"))
import harness  # noqa: E402  (puts tests/fixtures on sys.path)
import ports  # noqa: E402
from harness import FILE_FIELD, FLASH_BUTTON, PORT_COMBO  # noqa: E402

WAITING = "Ожидание открытия порта"
DONE = "Прошивка завершена"
MINIMAL_TITLE = "Tarvex bench: minimal window"
HEX = b":0400000001020304F2\r\n:00000001FF\r\n"


def bench_tool(name):
    return os.path.join(harness.build_dir(), "tests", "bench", name)


def windows_counts(pid):
    out = subprocess.run([harness.wine(), bench_tool("proc_counts.exe"), str(pid)], capture_output=True,
                         timeout=30).stdout
    return json.loads(out.decode().strip() or "{}")


def unix_counts(unix_pid):
    status = open("/proc/%d/status" % unix_pid).read()
    hwm = int(re.search(r"VmHWM:\s+(\d+)", status).group(1)) * 1024
    return {"fds": len(os.listdir("/proc/%d/fd" % unix_pid)), "peak_rss": hwm}


def time_to_window(command, title, driver):
    """Seconds from the process's start until its window is visible and its thread answers a message."""
    for old in driver.list_windows(title=title):
        driver.call("wait_gone", hwnd=old["hwnd"], timeout_ms=10000)
    started = time.monotonic()
    process = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                               stderr=subprocess.DEVNULL, cwd=os.path.dirname(command[-1]))
    try:
        found = driver.find_window(title, timeout_ms=20000)
        window = harness.MainWindow(driver, found)
        while not window.responsive(50):
            pass
        return time.monotonic() - started
    finally:
        process.kill()
        process.wait()
        time.sleep(0.3)


def measure_startup(driver, runs=10):
    run = harness.RunFolder("bench-startup")
    minimal = bench_tool("min_window.exe")
    themed = bench_tool("min_window_manifest.exe")
    tarvex, baseline, manifest = [], [], []
    for i in range(runs + 1):  # the first of each warms the caches and is not counted
        t = time_to_window([harness.wine(), run.exe], harness.TITLE, driver)
        b = time_to_window([harness.wine(), minimal], MINIMAL_TITLE, driver)
        m = time_to_window([harness.wine(), themed], MINIMAL_TITLE, driver)
        if i:
            tarvex.append(t)
            baseline.append(b)
            manifest.append(m)
    run.end_all()
    starts = {"tarvex": tarvex, "minimal": baseline, "minimal_with_manifest": manifest}
    return statistics.median(tarvex), statistics.median(baseline), statistics.median(manifest), starts


def prepared_app(name, mode):
    run = harness.RunFolder(name)
    run.write_bytes("blink.hex", HEX)
    run.add_fixture("fake_programmer.exe", "avrdude.exe")
    run.write_text("programmer-mode.txt", mode)
    app = run.start()
    win = app.main_window(harness.shared_driver())
    win.set_text(FILE_FIELD, "blink.hex")
    return run, app, win


def programmer_runs(run):
    data = run.read_bytes("programmer-runs.txt") or b""
    return data.decode("utf-8", "replace").splitlines()


def measure_idle(seconds=10):
    run, app, win = prepared_app("bench-idle", "")
    # Wine polls the pointer while it rests on a themed control (hover tracking): park it off the window.
    harness.shared_driver().call("cursor", x=0, y=0)
    time.sleep(1)
    before = app.cpu_seconds()
    time.sleep(seconds)
    used = app.cpu_seconds() - before
    win.close()
    app.wait(10)
    run.end_all()
    return used


def run_job(run, win, port, link_after=None):
    """One flash job; with link_after, the port appears that many seconds after the wait began."""
    before = len(programmer_runs(run))
    win.click(FLASH_BUTTON)
    linked = None
    if link_after is not None:
        win.wait_log(lambda lines: lines == [WAITING], 10)
        time.sleep(link_after)
        port.link()
        linked = port.linked_at[1]
    harness.wait_until(lambda: len(programmer_runs(run)) > before, 30, 0.01)
    win.wait_log(lambda lines: len(lines) == 2 and lines[-1] == DONE, 30)
    win.wait_enabled(FLASH_BUTTON, True, 10)
    started = float(programmer_runs(run)[-1].split()[0])
    return started - linked if linked is not None else None


def measure_programmer_wait(port):
    run, app, win = prepared_app("bench-wait", "sleep_ms=5000\n")
    port.link()
    win.set_text(PORT_COMBO, port.name)
    win.click(FLASH_BUTTON)
    harness.wait_until(lambda: programmer_runs(run), 20, 0.01)
    cpu0, t0 = app.cpu_seconds(), time.monotonic()
    win.wait_log(lambda lines: DONE in lines, 20)
    cpu1, t1 = app.cpu_seconds(), time.monotonic()
    win.close()
    app.wait(10)
    run.end_all()
    port.unlink()
    return (cpu1 - cpu0) / (t1 - t0), t1 - t0


def measure_jobs(port, jobs=20):
    run, app, win = prepared_app("bench-jobs", "sleep_ms=0\n")
    win.set_text(PORT_COMBO, port.name)
    time.sleep(1)
    startup = dict(windows_counts(win.pid), **unix_counts(app.pid))
    latencies = []
    for job in range(jobs + 1):
        if job == 1:
            # The first job loads what every job uses (the timer library, the process machinery): count from
            # after it, so that growth means something kept per job.
            time.sleep(1)
            before = dict(windows_counts(win.pid), **unix_counts(app.pid))
        port.unlink()
        latency = run_job(run, win, port, link_after=random.uniform(0.0, 0.4))
        if job:
            latencies.append(latency)
    time.sleep(1)
    after = dict(windows_counts(win.pid), **unix_counts(app.pid))
    before["startup_handles"] = startup["handles"]
    before["startup_peak"] = startup["peak_working_set"]
    win.close()
    app.wait(10)
    run.end_all()
    return latencies, before, after


def exe_form(path):
    dlls = re.findall(r"DLL Name: (\S+)", subprocess.run(
        ["i686-w64-mingw32-objdump", "-p", path], capture_output=True, text=True).stdout)
    return os.path.getsize(path), sorted({d.lower() for d in dlls})


def main():
    random.seed(1)
    driver = harness.shared_driver()
    rows = []

    def row(name, value, baseline, target, ok):
        rows.append((name, value, baseline, target, "yes" if ok else "NO"))

    tarvex, minimal, manifest, starts = measure_startup(driver)
    ratio = tarvex / minimal
    row("start to visible window (median of 10)", "%.0f ms" % (tarvex * 1000), "%.0f ms minimal window" %
        (minimal * 1000), "within 1.5 x minimal (%.2f x)" % ratio, ratio <= 1.5)
    row("  the minimal window with Tarvex's manifest", "%.0f ms" % (manifest * 1000), "", "(%.2f x)" %
        (tarvex / manifest), True)

    idle = measure_idle()
    row("CPU while idle, 10 s", "%.0f ms" % (idle * 1000), "", "0 ms", idle < 0.005)

    port = ports.SerialPort(number=None, answer=False)
    try:
        share, wall = measure_programmer_wait(port)
        row("CPU while a 5 s programmer runs", "%.2f %% of %.1f s" % (share * 100, wall), "", "under 2 %",
            share < 0.02)
        latencies, before, after = measure_jobs(port)
    finally:
        port.close()
    median, worst = statistics.median(latencies), max(latencies)
    row("port openable to programmer start (20 runs)", "median %.0f ms, worst %.0f ms" %
        (median * 1000, worst * 1000), "", "median < 150 ms, worst < 250 ms", median < 0.150 and worst < 0.250)
    row("peak working set after startup / after 21 jobs", "%.1f / %.1f MiB" %
        (before["startup_peak"] / 2**20, after["peak_working_set"] / 2**20), "", "", True)
    row("Windows handles at startup / after 1 job / after 20 more", "%d / %d / %d" %
        (before["startup_handles"], before["handles"], after["handles"]), "", "no growth over the 20",
        after["handles"] <= before["handles"])
    row("Unix fds of the process before / after", "%d / %d" % (before["fds"], after["fds"]), "", "no growth",
        after["fds"] <= before["fds"])
    gdi_known = before["gdi"] or after["gdi"]
    row("GDI objects before / after 20 jobs", "%d / %d" % (before["gdi"], after["gdi"]) if gdi_known else
        "not counted by Wine", "", "no growth", after["gdi"] <= before["gdi"])

    shipped = os.environ.get("TARVEX_SHIPPED_EXE") or os.path.join(harness.build_dir(), "Tarvex.exe")
    size, dlls = exe_form(shipped)
    row("size of the 32-bit exe", "%d bytes (%.0f KiB)" % (size, size / 1024), "", "under 1 MiB", size < 2**20)
    row("DLLs it imports", ", ".join(dlls), "", "system DLLs only", True)

    widths = [max(len(str(r[i])) for r in rows + [("figure", "measured", "baseline", "target", "met")])
              for i in range(5)]
    line = "  ".join("%-*s" % (w, h) for w, h in zip(widths, ("figure", "measured", "baseline", "target", "met")))
    print("\nTarvex bench on %s, %d cores, %s" % (platform.node(), os.cpu_count(), os.path.basename(harness.wine())))
    print(line)
    print("-" * len(line))
    for r in rows:
        print("  ".join("%-*s" % (w, str(v)) for w, v in zip(widths, r)))
    with open(os.path.join(harness.build_dir(), "bench.json"), "w") as f:
        json.dump({"rows": rows, "latencies": latencies, "starts": starts}, f, indent=1, ensure_ascii=False)
    driver.quit()


if __name__ == "__main__":
    main()
