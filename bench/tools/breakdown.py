#!/usr/bin/env python3
"""Where a lumoget job's time goes, from the events of bench/tools/lumo_probe.so.

    breakdown.py PROBE_FILE FILE_SERVER_PORT WALL_SECONDS CURL_SECONDS

Splits each job of the worker thread into contiguous segments:

  worker poll      the worker's waits between the previous job's end and this job's start
  preferred domain from "Start to download NAME" to "Start to download file from": the
                   CDN configuration request (its handler polls counted apart), its telemetry
                   encoding
  session start    creating, configuring and starting the engine session
  monitor polls    the monitor's waits until the session is seen finished (the engine's
                   transfer, from its connect to the rename of the finished file, runs inside)
  finish           from the last monitor poll to "Download file success": the DOWNLOADED
                   milestone's encoding (with its host look-up), GetResult, the log lines
  settle           from there to the worker's next wait: record, queue
"""
import statistics
import sys


def load(path):
    events = []
    for line in open(path, encoding="utf-8", errors="replace"):
        parts = line.rstrip("\n").split(" ", 4)
        if len(parts) < 4:
            continue
        end, tid, kind, duration = int(parts[0]), int(parts[1]), parts[2], int(parts[3])
        events.append((end / 1e6, tid, kind, duration / 1e6, parts[4] if len(parts) > 4 else ""))
    events.sort(key=lambda e: e[0])
    return events  # times in ms


def first(events, start, predicate):
    for e in events:
        if e[0] >= start and predicate(e):
            return e
    return None


def main():
    events = load(sys.argv[1])
    port = sys.argv[2]
    wall_ms = float(sys.argv[3]) * 1000
    curl_ms = float(sys.argv[4]) * 1000

    worker = next(e[1] for e in events if e[2] == "log" and e[4] == "Download thread started.")
    mine = [e for e in events if e[1] == worker]
    logs = [e for e in mine if e[2] == "log"]
    waits = [e for e in mine if e[2] == "wait"]
    lookups = [e for e in mine if e[2] == "gai"]

    starts = [e for e in logs if e[4].startswith("Start to download ")
              and not e[4].startswith("Start to download file from ")
              and not e[4].startswith("Start to download with")]
    jobs = []
    previous_end = 0.0  # the previous job's "Download file ..." line
    for index, start in enumerate(starts):
        t0 = start[0]
        # The worker's waits between the previous job's end and this job's start.
        worker_wait = sum(w[3] for w in waits if previous_end < w[0] <= t0)
        t1 = first(logs, t0, lambda e: e[4].startswith("Start to download file from "))
        t2 = first(logs, t0, lambda e: e[4].startswith("Start Zdl session with "))
        t4 = first(logs, t0, lambda e: e[4].startswith("Download file success from ")
                   or e[4].startswith("Download file failed from "))
        if t1 is None or t2 is None or t4 is None:
            continue
        t1, t2, t4 = t1[0], t2[0], t4[0]
        if index + 1 < len(starts) and t4 > starts[index + 1][0]:
            continue
        handler = [w for w in waits if t0 <= w[0] <= t1 and w[4].split()[0] != "1000"]
        monitor = [w for w in waits if t2 <= w[0] <= t4]
        tm = monitor[-1][0] if monitor else t2
        connect = first(events, t1, lambda e: e[2] == "connect" and e[4] == port)
        renamed = first(events, connect[0] if connect else t1, lambda e: e[2] == "rename")
        transfer = (renamed[0] - (connect[0] - connect[3])) if connect and renamed else 0.0
        previous_end = t4
        nxt = first(waits, t4, lambda e: True)
        t5 = (nxt[0] - nxt[3]) if nxt else t4
        if index + 1 < len(starts):
            t5 = min(t5, starts[index + 1][0])
        jobs.append({
            "worker poll": worker_wait,
            "preferred domain": t1 - t0,
            "  of which handler polls": sum(w[3] for w in handler),
            "  of which host look-ups": sum(g[3] for g in lookups if t0 <= g[0] <= t1),
            "  rest: request set-up, encoding": (t1 - t0) - sum(w[3] for w in handler),
            "session start": t2 - t1,
            "monitor polls": tm - t2,
            "  of which engine transfer": transfer,
            "finish": t4 - tm,
            "  of which host look-ups ": sum(g[3] for g in lookups if tm <= g[0] <= t4),
            "settle": t5 - t4,
            "_polls": len(handler),
            "_monitor": len(monitor),
            "_period": (starts[index + 1][0] - t0) if index + 1 < len(starts) else None,
        })
    if not jobs:
        sys.exit("no complete job in the probe file")

    keys = [k for k in jobs[0] if not k.startswith("_")]
    top = [k for k in keys if not k.startswith(" ")]
    total = statistics.mean(sum(j[k] for k in top) for j in jobs)
    print(f"{len(jobs)} jobs; mean and median per job in ms, share of the mean job")
    print(f"{'segment':<30}{'mean':>9}{'median':>9}{'share':>8}")
    for k in keys:
        values = [j[k] for j in jobs]
        mean = statistics.mean(values)
        share = f"{mean / total * 100:7.1f}%" if not k.startswith(" ") else ""
        print(f"{k.rstrip():<30}{mean:9.1f}{statistics.median(values):9.1f}{share:>8}")
    print(f"{'sum of the segments':<30}{total:9.1f}")
    periods = [j["_period"] for j in jobs if j["_period"] is not None]
    if periods:
        print(f"{'job period (start to start)':<30}{statistics.mean(periods):9.1f}"
              f"{statistics.median(periods):9.1f}")
    if len(jobs) >= 8:
        quarter = len(jobs) // 4
        for label, part in (("first", jobs[:quarter]), ("last", jobs[-quarter:])):
            print(f"{label} {quarter} jobs: " + ", ".join(
                f"{k} {statistics.mean(j[k] for j in part):.1f}" for k in top))
    print(f"handler polls per preferred-domain request: "
          f"{statistics.mean(j['_polls'] for j in jobs):.1f}; "
          f"monitor polls per job: {statistics.mean(j['_monitor'] for j in jobs):.1f}")

    hosts = {}
    for g in lookups:
        host = g[4].split()[0]
        hosts.setdefault(host, []).append(g[3])
    for host, values in sorted(hosts.items()):
        print(f"worker host look-ups of {host}: {len(values)}, mean {statistics.mean(values):.3f} ms,"
              f" max {max(values):.3f} ms")
    posts = [e for e in events if e[2] == "connect" and e[4] == "6015"]
    print(f"telemetry posts (connects to :6015, on the sender thread, off the worker's path): "
          f"{len(posts)}")

    first_start = starts[0][0]
    process_start = events[0][0]
    last_end = max(e[0] for e in logs if e[4].startswith("Download file "))
    n = len(starts)
    print(f"lumoget wall {wall_ms:.0f} ms for {n} jobs = {wall_ms / n:.1f} ms per job; "
          f"curl {curl_ms:.0f} ms = {curl_ms / n:.1f} ms per job")
    print(f"before the first job: {first_start - process_start:.0f} ms (load, init, the first "
          f"worker poll); after the last job: {events[-1][0] - last_end:.0f} ms (the worker's "
          f"next poll finds the queue empty, lumoget's 200 ms poll sees it, Stop, release)")


if __name__ == "__main__":
    main()
