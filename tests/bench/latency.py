#!/usr/bin/env python3
"""Measures the running program in a scratch home and prints a table.

  latency.py BIN_DIR [REWRITES] [--no-poll]

(a) from the close of a rewrite of the order file to the start of the recorder,
    with file-system notifications and with the one-second poll alone (the
    poll row is left out with --no-poll);
(b) start-up time (spawn to the order file loaded) and peak memory;
(c) the program beside the bare floor (bench_floor): from the writer's close
    or rename to the stamp of a recorder that does nothing else, rewrites in
    place and by rename in turn, alternating between the two.
Nothing is asserted: it measures.
"""
import json, os, random, signal, statistics, subprocess, sys, tempfile, time

ARGS = [a for a in sys.argv[1:] if not a.startswith("--")]
BIN = ARGS[0]
REWRITES = int(ARGS[1]) if len(ARGS) > 1 else 200
POLL = "--no-poll" not in sys.argv[1:]
ORDER_NAME = "ridavaruz.xml"


def scratch_home(recorder="demo-recorder"):
    d = tempfile.mkdtemp(prefix="pvd-bench-")
    os.makedirs(f"{d}/dictation/Drafts")
    os.makedirs(f"{d}/run", mode=0o700)
    with open(f"{d}/machine.reg", "w") as f:
        f.write("REGEDIT4\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vantora\\VNRecorder]\n"
                f"\"WorkingDirectory\"=\"{d}/dictation\"\n"
                "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vantora\\VNR]\n"
                f"\"PATH\"=\"{BIN}/{recorder}\"\n")
    env = dict(os.environ, HOME=f"{d}/home", XDG_CONFIG_HOME=f"{d}/config", XDG_STATE_HOME=f"{d}/state", XDG_RUNTIME_DIR=f"{d}/run",
               VANTORA_MACHINE_REGISTRY=f"{d}/machine.reg", DEMO_RECORDER_LOG=f"{d}/recorder.log",
               STAMP_RECORDER_LOG=f"{d}/stamps.log", TEMP=f"{d}/temp", QT_QPA_PLATFORM="offscreen")
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


def parsed_lines(path, parse):
    """A log's lines so far, parsed; parsed again only when the log grew, so
    that waiting costs the measured program no CPU."""
    try:
        size = os.stat(path).st_size
    except OSError:
        return []
    cached = _parsed.get(path)
    if cached and cached[0] == size:
        return cached[1]
    with open(path) as f:
        lines = [parse(l) for l in f if l.strip()]
    _parsed[path] = (size, lines)
    return lines


def starts(d):
    """The recorder's starts so far."""
    return parsed_lines(f"{d}/recorder.log", json.loads)


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


# (c) The program beside the floor. Both watch an order file of their own in a
# scratch home of their own and start the same stamp-recorder; the writer
# alternates between the two, so that both meet the same load on the machine.

STAMP_TIMEOUT = 5.0
WARM_UP = 2  # rewrites per side before measuring (one in place, one by rename)


def stamps(d):
    """The stamp-recorder's lines so far, as (ns, argument)."""
    def parse(line):
        ns, arg = line.rstrip("\n").split(" ", 1)
        return int(ns), arg
    return parsed_lines(f"{d}/stamps.log", parse)


def rewrite(path, text, by_rename):
    """Writes a new version of the order file, in place (open, truncate,
    write, close) or by rename (a temporary file in the same folder, closed,
    renamed over); returns the time of the close or rename."""
    data = text.encode()
    target = f"{os.path.dirname(path)}/.{os.path.basename(path)}.new" if by_rename else path
    fd = os.open(target, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644)
    os.write(fd, data)
    os.close(fd)
    if by_rename:
        os.rename(target, path)
    return time.time_ns()


class Side:
    def __init__(self, name, d, proc):
        self.name, self.d, self.proc = name, d, proc
        self.order = f"{d}/dictation/Drafts/{ORDER_NAME}"
        self.lat = {False: [], True: []}  # by_rename -> latencies in ms
        self.missed = 0
        self.expected = set()
        self.first_line = 0

    def once(self, tag, by_rename):
        """One rewrite with a new order; waits for its stamp. The latency in
        ms, or None when no stamp came within the timeout."""
        want = f"open{self.d}/dictation/Drafts/{tag}M_{tag}A.iaf"
        self.expected.add(want)
        closed = rewrite(self.order, order_for(tag), by_rename)
        got = wait_for(lambda: next((ns for ns, arg in stamps(self.d) if arg == want), None), STAMP_TIMEOUT)
        return None if got is None else (got - closed) / 1e6

    def other_starts(self):
        return sum(1 for _, arg in stamps(self.d)[self.first_line:] if arg not in self.expected)


def order_for(tag):
    return (f"<?xml version=\"1.0\"?>\n<DictationData><New><PatientID>{tag}M</PatientID>"
            f"<AccessionNumber>{tag}A</AccessionNumber><PatientName>Bench^{tag}</PatientName>"
            f"<StudyDescription>CT</StudyDescription><UserID>bench</UserID></New></DictationData>\n")


def side_by_side():
    load_before = os.getloadavg()[0]
    pd, penv = scratch_home("stamp-recorder")
    fd, fenv = scratch_home("stamp-recorder")
    for d in (pd, fd):
        with open(f"{d}/dictation/Drafts/{ORDER_NAME}", "w") as f:
            f.write(order_for("S"))
    program, _ = start(penv, pd)
    floor = subprocess.Popen([f"{BIN}/bench_floor", f"{fd}/dictation/Drafts", f"{fd}/dictation/Drafts/{ORDER_NAME}",
                              f"{BIN}/stamp-recorder"], env=fenv, stdout=subprocess.PIPE, text=True)
    floor.stdout.readline()  # "ready": the watch is in place
    sides = [Side("program", pd, program), Side("floor", fd, floor)]
    for s in sides:
        for w in range(WARM_UP):
            time.sleep(0.02)
            s.once(f"W{w}", w % 2 == 1)
        s.first_line = len(stamps(s.d))
    for i in range(REWRITES):
        by_rename = i % 2 == 1
        # Who goes first changes every second pair, independently of the mode.
        for s in (sides if (i // 2) % 2 == 0 else sides[::-1]):
            # A short random pause, so that rewrites never queue and do not
            # lock on to any rhythm of the watched side.
            time.sleep(random.uniform(0.01, 0.03))
            ms = s.once(f"R{i}", by_rename)
            if ms is None:
                s.missed += 1
            else:
                s.lat[by_rename].append(ms)
    for s in sides:
        s.proc.send_signal(signal.SIGTERM)
        s.proc.wait()
    others = {s.name: s.other_starts() for s in sides}
    subprocess.run(["rm", "-rf", pd, fd])
    return sides, others, (load_before, os.getloadavg()[0])


def side_by_side_table(sides, others, load):
    print(f"== rewrite closed or renamed -> recorder stamp: program beside floor, stamp-recorder for both;"
          f"\n   one scratch home each, rewrites alternating between the two watched files, {REWRITES} per side"
          f"\n   (in place and by rename in turn, each a new order, {WARM_UP} unmeasured warm-up rewrites per side;"
          f"\n   load average {load[0]:.2f} before, {load[1]:.2f} after: other work on the machine slows both sides)")
    stats = [("p50", 50), ("p90", 90), ("p99", 99), ("max", 100)]
    head = "".join(f"{name:>11}" for name, _ in stats)
    print(f"  {'':<24}{'n':>9}{head}   no stamp  other starts")
    values = {}
    for s in sides:
        for label, lat in ((s.name, s.lat[False] + s.lat[True]),
                           (f"{s.name}, in place", s.lat[False]), (f"{s.name}, by rename", s.lat[True])):
            v = [pct(lat, q) if lat else float("nan") for _, q in stats]
            values[label] = v
            extra = f"{s.missed:>11}  {others[s.name]:>12}" if label == s.name else ""
            print(f"  {label:<24}{len(lat):>9}" + "".join(f"{x:>8.2f} ms" for x in v) + extra)
    ratio = [p / f if f else float("nan") for p, f in zip(values["program"], values["floor"])]
    print(f"  {'ratio program / floor':<24}{'':>9}" + "".join(f"{x:>9.2f} x " for x in ratio))


def pct(v, q):
    v = sorted(v)
    return v[min(len(v) - 1, int(round(q / 100 * (len(v) - 1))))]


def main():
    rows = []
    results = {}
    for watch in ("notify", "poll") if POLL else ("notify",):
        lat = measure(watch)
        results[watch] = lat
        rows.append((f"rewrite -> recorder start, {'notifications' if watch == 'notify' else 'one-second poll alone'}",
                     f"n={len(lat)}/{REWRITES}",
                     f"p50 {pct(lat, 50):8.2f} ms  p90 {pct(lat, 90):8.2f} ms  p99 {pct(lat, 99):8.2f} ms  max {max(lat):8.2f} ms"))
    if POLL:
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

    side_by_side_table(*side_by_side())


main()
