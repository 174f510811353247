#!/usr/bin/env python3
"""Linux-side helpers for scripts/bench: talking to the stand-in's control
port, sampling Wine processes through /proc, timing crash detection, and
printing the final table. Not a test: it measures and reports, nothing fails.

  bench_helper.py ping [TIMEOUT_S]           wait until the stand-in answers; print its pid
  bench_helper.py command LINE               send one control command
  bench_helper.py proc PID                   print "cpu_s rss_kib" of a process
  bench_helper.py wineserver PREFIX          print the pid of the prefix's wineserver
  bench_helper.py detect TRIALS OUT          crash the stand-in TRIALS times, time each restart
  bench_helper.py table RUN_DIR              print the table from a run's raw outputs
  bench_helper.py mixed MIB OLD NEW              write MIB MiB of mixed content, and it with ten
                                             spots changed
  bench_helper.py serve ROOT PORT STATE [cut|stall NAME FRACTION]
                                             serve ROOT's files over HTTP with ranges, counting
                                             what it sends (see serve)
"""
import json
import os
import random
import re
import socket
import socketserver
import statistics
import sys
import threading
import time

CONTROL = ("127.0.0.1", 50919)
TICKS = os.sysconf("SC_CLK_TCK")


def command(line, timeout=1.0):
    """One line to the stand-in's control port; its one-line answer or ''."""
    try:
        with socket.create_connection(CONTROL, timeout=timeout) as s:
            s.settimeout(timeout)
            s.sendall(line.encode() + b"\n")
            data = b""
            while not data.endswith(b"\n"):
                chunk = s.recv(256)
                if not chunk:
                    break
                data += chunk
            return data.decode(errors="replace").strip()
    except OSError:
        return ""


def ping_pid():
    answer = command("ping", timeout=0.5)
    m = re.match(r"pid (\d+)", answer)
    return int(m.group(1)) if m else None


def wait_ping(limit):
    end = time.monotonic() + limit
    while time.monotonic() < end:
        pid = ping_pid()
        if pid is not None:
            return pid
        time.sleep(0.05)
    return None


def proc(pid):
    """CPU seconds (all threads) and resident KiB of a process.

    An idle program uses a few milliseconds a minute, below the 10 ms clock
    ticks of /proc/PID/stat, so the scheduler's nanosecond run times of the
    threads are added up instead; the ticks serve where those are missing."""
    cpu = 0.0
    try:
        for task in os.listdir(f"/proc/{pid}/task"):
            with open(f"/proc/{pid}/task/{task}/schedstat") as f:
                cpu += int(f.read().split()[0]) / 1e9
    except (OSError, ValueError, IndexError):
        with open(f"/proc/{pid}/stat") as f:
            fields = f.read().rsplit(")", 1)[1].split()
        cpu = (int(fields[11]) + int(fields[12])) / TICKS  # utime, stime
    rss = 0
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                rss = int(line.split()[1])
    return cpu, rss


def wineserver_pid(prefix):
    """The wineserver of a prefix: it works in a folder server-DEV-INODE (under
    /tmp/.wine-UID or a /tmp/wine-XXXXXX), named after the prefix folder's
    device and inode."""
    st = os.stat(prefix)
    folder = f"server-{st.st_dev:x}-{st.st_ino:x}"
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                if os.path.basename(os.readlink(f"/proc/{entry}/cwd")) == folder:
                    return int(entry)
            except OSError:
                pass
    return None


def detect(trials, out):
    """Crash the running stand-in and time until its successor answers.

    The crash lands at a different point of the supervisor's 8 s check cycle
    in every trial (a pause of 0 to 8 s before it), since the time to detect
    depends on where in the cycle it falls."""
    rng = random.Random(9)
    times = []
    for _ in range(trials):
        old = wait_ping(30)
        if old is None:
            break
        time.sleep(rng.uniform(0, 8))
        start = time.monotonic()
        command("crash", timeout=0.5)
        new = None
        while time.monotonic() - start < 60:
            pid = ping_pid()
            if pid is not None and pid != old:
                new = pid
                break
            time.sleep(0.02)
        if new is None:
            break
        times.append(time.monotonic() - start)
    with open(out, "w") as f:
        json.dump({"trials": times}, f)
    print(" ".join(f"{t:.2f}" for t in times))


def serve(root, port, state, fault=None, name=None, fraction=0.0):
    """An HTTP server for ROOT's files on 127.0.0.1:PORT under /upgrade/, with
    one range per request, ETag and If-Range as a static server has them. It
    counts the bytes of each file it sends on the wire and rewrites STATE
    (JSON: name -> bytes, and "requests") after every answer. With "cut", its
    first answer for NAME ends, the connection closed, at FRACTION of the
    file; with "stall", that answer stops there and stays silent and open,
    and STATE gets "stalled": true."""
    sent, lock = {"requests": 0}, threading.Lock()
    faulted = set()

    def record(file, count):
        with lock:
            sent[file] = sent.get(file, 0) + count
            with open(state + ".new", "w") as f:
                json.dump(sent, f)
            os.replace(state + ".new", state)

    class Handler(socketserver.StreamRequestHandler):
        def handle(self):
            head = b""
            while b"\r\n\r\n" not in head:
                chunk = self.request.recv(4096)
                if not chunk:
                    return
                head += chunk
            lines = head.decode("latin-1").split("\r\n")
            path = lines[0].split(" ")[1]
            headers = {l.split(":", 1)[0].lower(): l.split(":", 1)[1].strip() for l in lines[1:] if ":" in l}
            file = os.path.join(root, os.path.basename(path))
            with lock:
                sent["requests"] += 1
            if not path.startswith("/upgrade/") or not os.path.isfile(file):
                self.request.sendall(b"HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\nConnection: close\r\n\r\n")
                return
            size = os.path.getsize(file)
            etag = '"%x-%x"' % (size, int(os.path.getmtime(file)))
            begin, end = 0, size
            ranged = headers.get("range", "").startswith("bytes=") and headers.get("if-range", etag) == etag
            if ranged:
                first, _, last = headers["range"][6:].partition("-")
                begin, end = int(first), min(size, int(last) + 1 if last else size)
            status = "206 Partial Content" if ranged else "200 OK"
            out = f"HTTP/1.1 {status}\r\nETag: {etag}\r\nContent-Length: {end - begin}\r\nConnection: close\r\n"
            if ranged:
                out += f"Content-Range: bytes {begin}-{end - 1}/{size}\r\n"
            self.request.sendall((out + "\r\n").encode())
            stop = end
            base = os.path.basename(file)
            if fault and base == name and base not in faulted:
                faulted.add(base)
                stop = max(begin, min(end, int(size * fraction)))
            with open(file, "rb") as f:
                at = begin
                while at < stop:
                    count = self.request.sendfile(f, offset=at, count=min(stop - at, 1 << 20))
                    if not count:
                        break
                    at += count
            record(base, at - begin)
            if stop < end and fault == "stall":
                with lock:
                    sent["stalled"] = True
                record(base, 0)
                time.sleep(3600)

    class Server(socketserver.ThreadingTCPServer):
        allow_reuse_address = True
        daemon_threads = True

    record("", 0)
    with Server(("127.0.0.1", port), Handler) as server:
        server.serve_forever()


def mixed(mib, old, new):
    """What an installation holds, in runs of 64 KiB to 1 MiB: code-like
    tables, text, and already compressed bytes; then the same with ten spots
    of 200 bytes changed, spread over the file, as a small release changes a
    few places of a data file."""
    rng = random.Random(2024)
    words = [b"supervisor", b"restart", b"window", b"the", b"of", b"upgrade", b"check", b"health", b"=", b"true",
             b"path", b"\n", b"timeout", b"Marlowcast", b"<item>", b"</item>", b"value", b"error", b"version"]
    size = mib << 20
    out = bytearray()
    while len(out) < size:
        run = min(size - len(out), 65536 + rng.randrange(1 << 20))
        kind = rng.randrange(10)
        if kind < 4:
            table = bytes(rng.randrange(16) for _ in range(4096))
            piece = (table * (run // 4096 + 1))[:run]
        elif kind < 7:
            piece = b" ".join(rng.choice(words) for _ in range(run // 4))[:run]
        else:
            piece = rng.randbytes(run)
        out += piece
    with open(old, "wb") as f:
        f.write(out)
    for spot in range(10):
        at = (spot * 2 + 1) * size // 20
        out[at:at + 200] = rng.randbytes(200)
    with open(new, "wb") as f:
        f.write(out)


def keyvalues(path):
    values = {}
    try:
        with open(path) as f:
            for line in f:
                for key, value in re.findall(r"(\w+)=([-\d.]+)", line):
                    values.setdefault(key, []).append(float(value))
    except OSError:
        pass
    return values


def table(run):
    rows = []

    # met: whether the figure reaches its target (None for a row without one).
    def add(figure, ours, ref, ratio, target, met=None):
        rows.append((figure, ours, ref, ratio, target, "" if met is None else "✔" if met else "✘"))

    # Decode: the rates the decode benchmark printed.
    text = ""
    try:
        text = open(os.path.join(run, "decode.txt")).read()
    except OSError:
        pass
    m1 = re.search(r"decode, file to file \(DecodeUibPackage\):\s+([\d.]+)", text)
    m2 = re.search(r"bare uncompress, memory to memory:\s+([\d.]+)", text)
    m3 = re.search(r"peak RSS of a decoding process: (\d+) KiB decoding 64 MiB, (\d+) KiB decoding 1 MiB", text)
    m4 = re.search(r"bare uncompress, into fresh memory:\s+([\d.]+)", text)
    if m1 and m2:
        d, b = float(m1.group(1)), float(m2.group(1))
        add("decode rate (MiB/s)", f"{d:.1f}", f"{b:.1f}", f"{d / b:.3f}", ">= 0.95", d / b >= 0.95)
    if m1 and m4:
        d, f = float(m1.group(1)), float(m4.group(1))
        add("  decode against inflating into untouched memory (MiB/s)", f"{d:.1f}", f"{f:.1f}", f"{d / f:.3f}", "")
    m5 = re.search(r"scan of an installed file \(FindPieces\):\s+([\d.]+)", text)
    if m1 and m5:
        d, f = float(m1.group(1)), float(m5.group(1))
        add("scan of an installed file (MiB/s), against the decode", f"{f:.1f}", f"{d:.1f}", f"{f / d:.3f}", ">= 1.0",
            f / d >= 1.0)
    if m3:
        big, small = int(m3.group(1)), int(m3.group(2))
        add("decode peak RSS, 64 MiB vs 1 MiB package (KiB)", str(big), str(small), f"{big / small:.3f}", "~1.0",
            big / small <= 1.1)

    # Download: medians over the runs.
    dl = keyvalues(os.path.join(run, "download.txt"))
    # A run that stored nothing is no figure (scripts/bench fails then); it
    # must not pull a median down to 0.
    if dl.get("bytes"):
        kept = [i for i, b in enumerate(dl["bytes"]) if b > 0 and dl.get("ok", [1] * len(dl["bytes"]))[i] == 1]
        dl = {k: [v[i] for i in kept] for k, v in dl.items() if len(v) == len(dl["bytes"])}
    cu = keyvalues(os.path.join(run, "curl.txt"))
    if dl.get("seconds") and cu.get("seconds"):
        rate = statistics.median(b / s / 2**20 for b, s in zip(dl["bytes"], dl["seconds"]))
        curl = statistics.median(b / s / 2**20 for b, s in zip(cu["bytes"], cu["seconds"]))
        add("download 256 MiB (MiB/s)", f"{rate:.1f}", f"{curl:.1f}", f"{rate / curl:.3f}", ">= 0.5",
            rate / curl >= 0.5)
    ba = keyvalues(os.path.join(run, "bare.txt"))
    if dl.get("seconds") and ba.get("seconds"):
        rate = statistics.median(b / s / 2**20 for b, s in zip(dl["bytes"], dl["seconds"]))
        bare = statistics.median(b / s / 2**20 for b, s in zip(ba["bytes"], ba["seconds"]))
        add("  download against the bare WinINet loop (MiB/s)", f"{rate:.1f}", f"{bare:.1f}", f"{rate / bare:.3f}",
            ">= 0.9", rate / bare >= 0.9)
    if dl.get("ws_peak_kib"):
        growth = max(p - b for p, b in zip(dl["ws_peak_kib"], dl["ws_before_kib"]))
        add("download working-set growth (KiB)", f"{growth:.0f}", "262144 (file size)",
            f"{growth / 262144:.4f}", "flat", growth / 262144 <= 0.05)

    # Resumed and differential downloads: bytes as the counting server sent them.
    fetch = os.path.join(run, "fetch")

    # Only a run that fetched its file is a figure.
    def fetched(name):
        return keyvalues(os.path.join(fetch, name)).get("ok", [0])[-1] == 1

    def sent(name, file):
        try:
            return json.load(open(os.path.join(fetch, name + ".sent"))).get(file, 0) if fetched(name) else None
        except (OSError, ValueError):
            return None

    sizes = {}
    try:
        for line in open(os.path.join(fetch, "sizes.txt")):
            n, path = line.split()
            sizes[os.path.relpath(path, fetch)] = int(n)
    except (OSError, ValueError):
        pass
    size, mapsize = sizes.get("whole/big.bin"), sizes.get("whole/big.bin.blockmap")
    mib = 2**20
    if size and mapsize:
        add("block map of a 200 MiB file (% of the file)", f"{100 * mapsize / size:.3f}", "", "", "<= 1 %",
            mapsize <= size / 100 + 4096)
    cut = sent("cut.txt", "big.bin")
    if size and cut is not None:
        add("200 MiB cut at 90 %: bytes beyond the file's own (KiB)", f"{(cut - size) / 1024:.1f}", "64.0 (a piece)",
            "", "<= a piece", cut - size <= 65536)
    resumed = sent("resumed.txt", "big.bin")
    if size and resumed is not None:
        add("killed at 50 %: the next upgrade fetches (MiB)", f"{resumed / mib:.1f}", f"{size / 2 / mib:.1f} (half)",
            f"{resumed / (size / 2):.3f}", "<= half and a piece", resumed <= size / 2 + 65536)
    for label, name, limit in (("200 MiB, 1 MiB changed in its middle", "middle-1.txt", 1.5),
                               ("200 MiB, 100 bytes inserted at its start", "inserted.txt", 0.5),
                               ("64 MiB package, ten pieces changed", "package.txt", 1.0)):
        try:
            counts = json.load(open(os.path.join(fetch, name + ".sent")))
        except (OSError, ValueError):
            continue
        if not fetched(name):
            continue
        wire = sum(v for k, v in counts.items() if k not in ("requests", "stalled"))
        whole = sizes.get("package/big.dat.uib" if "package" in name else "whole/big.bin", 0)
        add(f"{label}: on the wire, map included (MiB)", f"{wire / mib:.2f}", f"{whole / mib:.1f} (whole)",
            f"{wire / whole:.4f}" if whole else "", f"<= {limit} MiB", wire <= limit * mib)
    damaged = keyvalues(os.path.join(fetch, "damaged.txt"))
    if damaged.get("ok"):
        add("a damaged installed file gives the signed result", "yes" if damaged["ok"][0] == 1 else "no", "", "",
            "yes", damaged["ok"][0] == 1)
    wh = [keyvalues(os.path.join(fetch, f"whole-{i}.txt")).get("seconds", [None])[0] for i in (1, 2, 3)]
    mi = [keyvalues(os.path.join(fetch, f"middle-{i}.txt")) for i in (1, 2, 3)]
    done = all(fetched(f"whole-{i}.txt") and fetched(f"middle-{i}.txt") for i in (1, 2, 3))
    if done and all(wh) and all(m.get("seconds") for m in mi):
        w, d = statistics.median(wh), statistics.median(m["seconds"][0] for m in mi)
        add("differential upgrade of 200 MiB against the whole download, loopback (s)", f"{d:.2f}", f"{w:.2f}",
            f"{d / w:.2f}", "<= 1.5", d / w <= 1.5)
        growth = max(m["ws_peak_kib"][0] - m["ws_before_kib"][0] for m in mi)
        add("differential upgrade working-set growth (MiB)", f"{growth / 1024:.1f}", "200 (file size)", "",
            "<= 16", growth <= 16 * 1024)
    ch, cb = keyvalues(os.path.join(fetch, "checked.txt")), keyvalues(os.path.join(fetch, "checked-bare.txt"))
    if ch.get("seconds") and ch.get("bytes") and cb.get("seconds") and min(ch.get("ok", [0])) == 1:
        b = ch["bytes"][-1]
        rate = statistics.median(b / s / mib for s in ch["seconds"])
        bare = statistics.median(x / s / mib for x, s in zip(cb["bytes"], cb["seconds"]))
        add("signed download, pieces checked, against the bare WinINet loop (MiB/s)", f"{rate:.1f}", f"{bare:.1f}",
            f"{rate / bare:.3f}", ">= 0.9", rate / bare >= 0.9)

    # Idle footprint.
    idle = keyvalues(os.path.join(run, "idle.txt"))
    if idle.get("ours_cpu_end") and idle.get("bare_cpu_end"):
        secs = idle["seconds"][0]
        oc = idle["ours_cpu_end"][0] - idle["ours_cpu_start"][0]
        bc = idle["bare_cpu_end"][0] - idle["bare_cpu_start"][0]
        add(f"idle CPU over {secs:.0f} s (s)", f"{oc:.3f}", f"{bc:.3f}",
            f"{oc / bc:.2f}" if bc > 0 else "inf", "<= 1.1", bc > 0 and oc / bc <= 1.1)
        if idle.get("wineserver_cpu_end"):
            sc = idle["wineserver_cpu_end"][0] - idle["wineserver_cpu_start"][0]
            add("  wineserver CPU, same window, serving both and the stand-in (s)", f"{sc:.3f}", "", "", "")
        orss, brss = idle["ours_rss_kib"][0], idle["bare_rss_kib"][0]
        add("idle resident memory (MiB)", f"{orss / 1024:.1f}", f"{brss / 1024:.1f}",
            f"{(orss - brss) / 1024:+.1f} MiB", "<= +3 MiB", orss - brss <= 3 * 1024)
    signed = keyvalues(os.path.join(run, "idle-signed.txt"))
    if signed.get("signed_ours_rss_kib") and signed.get("signed_bare_rss_kib"):
        orss, brss = signed["signed_ours_rss_kib"][0], signed["signed_bare_rss_kib"][0]
        add("idle resident memory, build with a publisher's key (MiB)", f"{orss / 1024:.1f}", f"{brss / 1024:.1f}",
            f"{(orss - brss) / 1024:+.1f} MiB", "<= +3 MiB", orss - brss <= 3 * 1024)

    # Probe.
    pr = keyvalues(os.path.join(run, "probe.txt"))
    if pr.get("probe_median_us"):
        pm, bm = pr["probe_median_us"][0], pr["bare_median_us"][0]
        pp, bp = pr["probe_p99_us"][0], pr["bare_p99_us"][0]
        add("probe median (us)", f"{pm:.0f}", f"{bm:.0f}", f"{pm / bm:.2f}", "<= 1.5", pm / bm <= 1.5)
        add("probe p99 (us)", f"{pp:.0f}", f"{bp:.0f}", f"{pp / bp:.2f}", "")

    # Detection.
    try:
        trials = json.load(open(os.path.join(run, "detect.json")))["trials"]
    except (OSError, ValueError, KeyError):
        trials = []
    if trials:
        med, worst = statistics.median(trials), max(trials)
        add(f"detection median, {len(trials)} trials (s)", f"{med:.2f}", "16.00", f"{med / 16:.2f}", "<= 1.0", med <= 16)
        add("detection worst (s)", f"{worst:.2f}", "16.00", f"{worst / 16:.2f}", "<= 1.0", worst <= 16)

    headers = ("figure", "Quillstone", "reference", "ratio", "target", "met")
    widths = [max(len(str(r[i])) for r in rows + [headers]) for i in range(6)]
    line = "| " + " | ".join(h.ljust(w) for h, w in zip(headers, widths)) + " |"
    print(line)
    print("|" + "|".join("-" * (w + 2) for w in widths) + "|")
    for r in rows:
        print("| " + " | ".join(str(c).ljust(w) for c, w in zip(r, widths)) + " |")
    targets = [r for r in rows if r[5]]
    missed = sum(1 for r in targets if r[5] == "✘")
    print(f"{missed} of {len(targets)} figures with a target miss it" + (" (✘)" if missed else ""))


def main(argv):
    what = argv[1] if len(argv) > 1 else ""
    if what == "ping":
        pid = wait_ping(float(argv[2]) if len(argv) > 2 else 30)
        print(pid if pid is not None else "")
        return 0 if pid is not None else 1
    if what == "command":
        print(command(argv[2]))
        return 0
    if what == "proc":
        cpu, rss = proc(int(argv[2]))
        print(f"{cpu:.4f} {rss}")
        return 0
    if what == "wineserver":
        pid = wineserver_pid(argv[2])
        print(pid if pid is not None else "")
        return 0 if pid is not None else 1
    if what == "detect":
        detect(int(argv[2]), argv[3])
        return 0
    if what == "table":
        table(argv[2])
        return 0
    if what == "mixed":
        mixed(int(argv[2]), argv[3], argv[4])
        return 0
    if what == "serve":
        fault = argv[5:8] if len(argv) >= 8 else [None, None, "0"]
        serve(argv[2], int(argv[3]), argv[4], fault[0], fault[1], float(fault[2]))
        return 0
    print(__doc__, file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv))
