#!/usr/bin/env python3
"""Measures the running program in a scratch home and prints a table.

  latency.py BIN_DIR REWRITES

(a) from the close of a rewrite of the order file to the start of the recorder,
    with file-system notifications and with the one-second poll alone;
(b) start-up time (spawn to the order file loaded) and peak memory.
Nothing is asserted: it measures.
"""
import json, os, random, signal, statistics, subprocess, sys, tempfile, time

BIN = sys.argv[1]
REWRITES = int(sys.argv[2]) if len(sys.argv) > 2 else 200


def scratch_home():
    d = tempfile.mkdtemp(prefix="pvd-bench-")
    os.makedirs(f"{d}/dictation/Drafts")
    os.makedirs(f"{d}/run", mode=0o700)
    with open(f"{d}/machine.reg", "w") as f:
        f.write("REGEDIT4\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vantora\\VNRecorder]\n"
                f"\"WorkingDirectory\"=\"{d}/dictation\"\n"
                "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vantora\\VNR]\n"
                f"\"PATH\"=\"{BIN}/demo-recorder\"\n")
    env = dict(os.environ, HOME=f"{d}/home", XDG_CONFIG_HOME=f"{d}/config", XDG_RUNTIME_DIR=f"{d}/run",
               VANTORA_MACHINE_REGISTRY=f"{d}/machine.reg", DEMO_RECORDER_LOG=f"{d}/recorder.log",
               TEMP=f"{d}/temp", QT_QPA_PLATFORM="offscreen")
    return d, env


def order(i):
    return (f"<?xml version=\"1.0\"?>\n<DictationData><New><PatientID>B{i}</PatientID>"
            f"<AccessionNumber>N{i}</AccessionNumber><PatientName>Bench^{i}</PatientName>"
            f"<StudyDescription>CT</StudyDescription></New></DictationData>\n")


def wait_for(pred, timeout):
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        r = pred()
        if r:
            return r
        time.sleep(0.001)
    return None


def start(env, d):
    t0 = time.time_ns()
    p = subprocess.Popen([f"{BIN}/pacs-vantora-driver"], env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    log = f"{d}/temp/Vantora/VNRecorder/pacs-vantora-driver.log"
    def loaded():
        try:
            with open(log) as f:
                return "Load XML" in f.read()
        except OSError:
            return False
    wait_for(loaded, 20)
    return p, (time.time_ns() - t0) / 1e6


def peak_rss_mb(pid):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) / 1024
    return float("nan")


_parsed = {}


def starts(d):
    """The recorder's starts so far; parsed again only when the log grew, so
    that waiting costs the measured program no CPU."""
    path = f"{d}/recorder.log"
    try:
        size = os.stat(path).st_size
    except OSError:
        return []
    cached = _parsed.get(path)
    if cached and cached[0] == size:
        return cached[1]
    with open(path) as f:
        lines = [json.loads(l) for l in f if l.strip()]
    _parsed[path] = (size, lines)
    return lines


def measure(watch):
    d, env = scratch_home()
    if watch == "poll":
        env["VANTORA_WATCH"] = "poll"
    p, _ = start(env, d)
    path = f"{d}/dictation/Drafts/ridavaruz.xml"
    lat = []
    for i in range(REWRITES):
        with open(path, "w") as f:
            f.write(order(i))
        closed = time.time_ns()
        want = f"{d}/dictation/Drafts/B{i}_N{i}.iaf"
        got = wait_for(lambda: next((s for s in starts(d) if s.get("path") == want), None), 5)
        if got:
            lat.append((got["started_ns"] - closed) / 1e6)
        # Spacing: with the poll alone, a random phase within the second, so
        # that rewrites do not lock on to the poll's rhythm.
        time.sleep(random.uniform(0, 1.0) if watch == "poll" else random.uniform(0.005, 0.02))
    p.send_signal(signal.SIGTERM)
    p.wait()
    subprocess.run(["rm", "-rf", d])
    return lat


def pct(v, q):
    v = sorted(v)
    return v[min(len(v) - 1, int(round(q / 100 * (len(v) - 1))))]


def main():
    rows = []
    results = {}
    for watch in ("notify", "poll"):
        lat = measure(watch)
        results[watch] = lat
        rows.append((f"rewrite -> recorder start, {'notifications' if watch == 'notify' else 'one-second poll alone'}",
                     f"n={len(lat)}/{REWRITES}",
                     f"p50 {pct(lat, 50):8.2f} ms  p90 {pct(lat, 90):8.2f} ms  p99 {pct(lat, 99):8.2f} ms  max {max(lat):8.2f} ms"))
    ratio = statistics.median(results["poll"]) / statistics.median(results["notify"])
    rows.append(("median ratio poll / notifications", "", f"{ratio:8.1f} x"))

    times, mems = [], []
    for _ in range(10):
        d, env = scratch_home()
        p, ms = start(env, d)
        times.append(ms)
        mems.append(peak_rss_mb(p.pid))
        p.send_signal(signal.SIGTERM)
        p.wait()
        subprocess.run(["rm", "-rf", d])
    rows.append(("start-up to order loaded (offscreen)", "n=10", f"median {statistics.median(times):8.1f} ms  max {max(times):8.1f} ms"))
    rows.append(("peak memory (VmHWM)", "n=10", f"median {statistics.median(mems):8.1f} MiB"))
    for name, n, value in rows:
        print(f"{name:<58} {n:<10} {value}")


main()
