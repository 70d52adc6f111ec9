#!/usr/bin/env python3
"""Turns one bench/run's raw results into results.md, results.json and a gnuplot script, and prints
the targets with met or missed."""
import json
import os
import sys
from pathlib import Path

work, out = Path(sys.argv[1]), Path(sys.argv[2])
rows = [json.loads(l) for l in (work / "results.jsonl").read_text().splitlines() if l.strip()]
by = {r["label"] + ("" if "@" in r["label"] else f"#c{r['conns']}"): r for r in rows}
machine = dict(l.split("=", 1) for l in (work / "machine.txt").read_text().splitlines() if "=" in l)


def gbench(name):
    p = work / name
    try:
        return {b["name"]: b for b in json.loads(p.read_text())["benchmarks"]}
    except (OSError, ValueError, KeyError):
        return {}


leaf, gate = gbench("leaf.json"), gbench("gate.json")
CANDS = ["direct", "stub-nomatch", "stub-ref", "proxy-nomatch", "proxy-ref", "mitmproxy"]
DESC = {
    "direct": "direct to the upstream",
    "stub-nomatch": "our proxy, stub vault, no entry matching",
    "stub-ref": "our proxy, stub vault, header reference",
    "proxy-nomatch": "our proxy, test gate, no entry matching (one gate call)",
    "proxy-ref": "our proxy, test gate, header reference (one gate call)",
    "mitmproxy": "mitmproxy adding a header (bodies over 1 MiB streamed)",
}
CONCS = [1, 16, 64, 256]


def cpu(r, who, field="cores"):
    v = r.get("cpu", {}).get(who, {}).get(field)
    return "" if v is None else f"{v:.2f}"


def cpu_cols(r):
    """Upstream cores (busiest thread's share), candidate cores, gate cores, loader cores, machine busy."""
    up = f"{cpu(r, 'upstream')} ({cpu(r, 'upstream', 'busiest_thread')})" if "upstream" in r.get("cpu", {}) else ""
    return (f"{up} | {cpu(r, 'cand')} | {cpu(r, 'gate')} | {cpu(r, 'loadgen')} ({cpu(r, 'loadgen', 'busiest_thread')}) | "
            f"{cpu(r, 'machine', 'busy_cores')}")


CPU_HEAD = "upstream CPU (busiest thread) | candidate CPU | gate CPU | loader CPU (busiest thread) | machine busy"
CPU_RULE = "---:|---:|---:|---:|---:"
md = []
w = md.append
w("# Benchmark results")
w("")
w(f"Machine: {machine.get('nproc')} CPUs, {machine.get('cpu')}, {machine.get('kernel')}; "
  f"load average at the end {machine.get('loadavg')} (other work was running); {machine.get('date')}; "
  f"mitmproxy {machine.get('mitmproxy')}. Each load cell ran {machine.get('duration')} s after one warm-up "
  "request per connection. All traffic on loopback; one load generator drives every candidate. "
  "Ratios are to the direct run of the same concurrency in this run; absolute numbers are as measured here "
  "and are not asserted anywhere.")
w("")
w(f"The upstream ran {machine.get('upstream_threads')} single-threaded contexts, connections dealt to them in "
  "turn. CPU columns are cores used over the measured part of each cell, from /proc: the upstream's (and, in "
  "brackets, its busiest thread's share of one core: near 1.00 would mean the upstream was the limit), the "
  "candidate proxy's, the test gate's, the load generator's (busiest thread) and the whole machine's busy cores, "
  f"other work included, out of {machine.get('nproc')}.")
w("")
if machine.get("gate_died_during"):
    w(f"**The test gate died during `{machine['gate_died_during']}`**; later gate rows are errors.")
    w("")
w("![requests per second](results.png)")
w("")
w("## Keep-alive requests (13-byte response)")
w("")
w(f"| candidate | conc. | req/s | ratio to direct | p50 µs | p99 µs | p99.9 µs | p50 added µs | errors | {CPU_HEAD} |")
w(f"|---|---:|---:|---:|---:|---:|---:|---:|---:|{CPU_RULE}|")
for c in CONCS:
    d = by.get(f"direct#c{c}")
    for cand in CANDS:
        r = by.get(f"{cand}#c{c}")
        if not r:
            continue
        ratio = r["rps"] / d["rps"] if d and d["rps"] else 0
        added = r["p50_us"] - d["p50_us"] if d else 0
        w(f"| {DESC[cand]} | {c} | {r['rps']:.0f} | {ratio:.3f} | {r['p50_us']:.0f} | {r['p99_us']:.0f} | "
          f"{r['p999_us']:.0f} | {added:.0f} | {r['errors']} | {cpu_cols(r)} |")
w("")

w("## 100 MiB response body, one connection")
w("")
w(f"| candidate | MiB/s | ratio to direct | requests | errors | {CPU_HEAD} |")
w(f"|---|---:|---:|---:|---:|{CPU_RULE}|")
db = by.get("direct@big")
for cand in ["direct", "stub-nomatch", "proxy-nomatch", "mitmproxy"]:
    r = by.get(f"{cand}@big")
    if not r:
        continue
    ratio = r["bytes_per_s"] / db["bytes_per_s"] if db and db["bytes_per_s"] else 0
    w(f"| {DESC[cand]} | {r['bytes_per_s'] / 2**20:.0f} | {ratio:.3f} | {r['requests']} | {r['errors']} | "
      f"{cpu_cols(r)} |")
w("")

w("## New connection: TCP (+ CONNECT) + TLS handshake + one request")
w("")
w(f"| case | count | p50 ms | p99 ms | mean ms | errors | {CPU_HEAD} |")
w(f"|---|---:|---:|---:|---:|---:|{CPU_RULE}|")
SETUP = [("direct@setup", "direct"), ("stub-nomatch@setup-fresh", "our proxy (stub vault), fresh leaf each"),
         ("stub-nomatch@setup-cached", "our proxy (stub vault), cached leaf"),
         ("proxy-nomatch@setup-cached", "our proxy (test gate, one gate call), cached leaf"),
         ("mitmproxy@setup", "mitmproxy")]
for key, text in SETUP:
    r = by.get(key)
    if r:
        w(f"| {text} | {r['requests']} | {r['p50_us'] / 1000:.2f} | {r['p99_us'] / 1000:.2f} | "
          f"{r['mean_us'] / 1000:.2f} | {r['errors']} | {cpu_cols(r)} |")
w("")


def gtime(b, key, field="real_time"):
    r = b.get(key)
    if not r:
        return None
    scale = {"ns": 1e-3, "us": 1, "ms": 1e3}[r.get("time_unit", "ns")]
    return r[field] * scale


mint = gtime(leaf, "BM_MintFreshLeaf")
cached_leaf = gtime(leaf, "BM_CachedLeaf")
g1 = gtime(gate, "BM_GateRpc/real_time/threads:1")
g16 = gtime(gate, "BM_GateRpc/real_time/threads:16")
w("## Micro-benchmarks (Google Benchmark)")
w("")
w("| what | µs per operation (wall) | calling thread's CPU µs | per second |")
w("|---|---:|---:|---:|")
g1_cpu = gtime(gate, "BM_GateRpc/real_time/threads:1", "cpu_time")
for text, v, c in [("mint a fresh leaf (mint_leaf_blocking, cache miss)", mint,
                    gtime(leaf, "BM_MintFreshLeaf", "cpu_time")),
                   ("cached leaf look-up (mint_leaf_blocking, hit)", cached_leaf, gtime(leaf, "BM_CachedLeaf", "cpu_time")),
                   ("one gate call, gate_rpc to a local TestGate, 1 thread", g1, g1_cpu),
                   ("one gate call, 16 threads at once (wall time per call)", g16, None)]:
    if v is not None:
        w(f"| {text} | {v:.1f} | {'' if c is None else f'{c:.1f}'} | {1e6 / v:.0f} |")
for key in ["BM_GateRpc/real_time/threads:1", "BM_GateRpc/real_time/threads:16"]:
    r = gate.get(key)
    if r:
        w(f"\nGate connections accepted by the test gate by the end of `{key}`: "
          f"{r.get('tls_connections', 0):.0f} for {r.get('gate_requests', 0):.0f} requests.")
w("")

rss = by.get("mem@rss")
idle = by.get("mem@idle500")
per_tunnel = None
if rss:
    per_tunnel = (rss["rss_after_kib"] - rss["rss_before_kib"]) / rss["tunnels"]
    w("## Resident memory, 500 idle tunnels (TLS done, waiting for a request head)")
    w("")
    w(f"RSS of a fresh `serve` after 4 warm tunnels: {rss['rss_before_kib']} KiB; with 500 idle tunnels open: "
      f"{rss['rss_after_kib']} KiB; {per_tunnel:.1f} KiB per tunnel. "
      f"Tunnels opened: {idle['requests'] if idle else '?'}, errors {idle['errors'] if idle else '?'}.")
    w("")


def cell(label, c, field):
    r = by.get(f"{label}#c{c}")
    return r[field] if r else None


def status(ok):
    return "met" if ok else ("missed" if ok is not None else "not measured")


def baselines():
    """Earlier results.json files to compare this run's p99 against: QB_BENCH_BASELINE, else every
    before-*.json in the output directory that holds keep-alive runs, newest first."""
    env = os.environ.get("QB_BENCH_BASELINE")
    paths = [Path(env)] if env else sorted(out.glob("before-*.json"))
    found = []
    for p in paths:
        try:
            d = json.loads(p.read_text())
        except (OSError, ValueError):
            continue
        if isinstance(d, dict) and isinstance(d.get("runs"), list):
            found.append((p.name, d))
    return sorted(found, key=lambda f: f[1].get("machine", {}).get("date", ""), reverse=True)


def baseline_cell(label, c, field):
    for name, d in baselines():
        for r in d["runs"]:
            if r.get("label") == label and r.get("conns") == c and r.get("mode") == "load" and field in r:
                return name, d.get("machine", {}).get("date", "?"), r[field]
    return None


def ratio_of(a, b):
    return a / b if a is not None and b else None


targets = []


def target(text, ok, figures):
    targets.append((text, status(ok), figures))


d1 = cell("direct", 1, "p50_us")
for cand in ["stub-nomatch", "stub-ref"]:
    s = cell(cand, 1, "p50_us")
    target(f"added p50 per warm request, c=1, instant vault ({cand}): ≤ 50 µs",
           (s - d1 <= 50) if s is not None and d1 is not None else None,
           f"{s:.0f} − {d1:.0f} (direct) = {s - d1:.0f} µs" if s is not None and d1 is not None else "")
d16 = cell("direct", 16, "rps")
for cand in ["stub-nomatch", "stub-ref"]:
    r = ratio_of(cell(cand, 16, "rps"), d16)
    target(f"keep-alive req/s, c=16, instant vault ({cand}): ≥ 0.75 × direct",
           (r >= 0.75) if r is not None else None,
           f"{r:.3f} × ({cell(cand, 16, 'rps'):.0f} vs {d16:.0f} req/s)" if r is not None else "")
for cand in ["stub-nomatch", "stub-ref"]:
    now = cell(cand, 256, "p99_us")
    base = baseline_cell(cand, 256, "p99_us")
    if now is None:
        target(f"p99 at c=256 ({cand}): no regression", None, "no c=256 cell in this run")
    elif base is None:
        target(f"p99 at c=256 ({cand}): no regression", None,
               f"{now:.0f} µs now; no baseline holds a c=256 cell (before-*.json or QB_BENCH_BASELINE)")
    else:
        target(f"p99 at c=256 ({cand}): no regression", now <= base[2],
               f"{now:.0f} µs now vs {base[2]:.0f} µs in {base[0]} ({base[1]}) = {now / base[2]:.2f} ×")
for cand in ["stub-nomatch", "proxy-nomatch"]:
    b = by.get(f"{cand}@big")
    r = ratio_of(b["bytes_per_s"] if b else None, db["bytes_per_s"] if db else None)
    target(f"100 MiB body ({cand}): ≥ 0.85 × direct", (r >= 0.85) if r is not None else None,
           f"{r:.3f} × ({b['bytes_per_s'] / 2**20:.0f} vs {db['bytes_per_s'] / 2**20:.0f} MiB/s)"
           if r is not None else "")
ds, ss = by.get("direct@setup"), by.get("stub-nomatch@setup-cached")
r = ratio_of(ss["p50_us"] if ss else None, ds["p50_us"] if ds else None)
target("cached-leaf tunnel set-up (stub-nomatch, p50): ≤ 1.2 × a direct TLS connection with one request",
       (r <= 1.2) if r is not None else None,
       f"{r:.2f} × ({ss['p50_us'] / 1000:.2f} vs {ds['p50_us'] / 1000:.2f} ms)" if r is not None else "")
target("one gate call, one thread, loopback: ≤ 0.8 ms wall", (g1 <= 800) if g1 is not None else None,
       f"{g1:.0f} µs" if g1 is not None else "")
target("one gate call, one thread, loopback: ≤ 0.35 ms client CPU", (g1_cpu <= 350) if g1_cpu is not None else None,
       f"{g1_cpu:.0f} µs (the calling thread's CPU time)" if g1_cpu is not None else "")
pr, mr = cell("proxy-ref", 16, "rps"), cell("mitmproxy", 16, "rps")
target("header reference, c=16, through the test gate (proxy-ref): ≥ 4 × mitmproxy req/s",
       (pr >= 4 * mr) if pr is not None and mr else None,
       f"{pr:.0f} vs {mr:.0f} req/s = {pr / mr:.2f} ×" if pr is not None and mr else "")
target("fresh leaf < 1 ms (earlier target)", (mint < 1000) if mint is not None else None,
       f"{mint:.0f} µs per mint" if mint is not None else "")
target("idle tunnel: ≤ 32 KiB", (per_tunnel <= 32) if per_tunnel is not None else None,
       f"{per_tunnel:.1f} KiB per tunnel (RSS growth over 500)" if per_tunnel is not None else "")

# Whether the direct rows measured the limit: the upstream's busiest thread well short of one core.
checks = []
for key in [f"direct#c{c}" for c in CONCS] + ["direct@big", "direct@setup"]:
    r = by.get(key)
    busiest = r.get("cpu", {}).get("upstream", {}).get("busiest_thread") if r else None
    if busiest is not None:
        checks.append((key.replace("#c", " c="), busiest < 0.9,
                       f"busiest upstream thread {busiest:.2f} of a core, upstream {r['cpu']['upstream']['cores']:.2f} "
                       f"cores, loader {r['cpu'].get('loadgen', {}).get('cores', 0):.2f} cores, machine busy "
                       f"{r['cpu'].get('machine', {}).get('busy_cores', 0):.2f} of {machine.get('nproc')}"
                       + ("; one connection is one upstream thread, so this is one TLS flow's sender"
                          if key == "direct@big" else "")))

w("## Targets")
w("")
w("| target | result | figures |")
w("|---|---|---|")
for t in targets:
    w(f"| {t[0]} | {t[1]} | {t[2]} |")
w("")
w("## Upstream not saturated on the direct rows")
w("")
w("| direct cell | upstream below one core per thread | figures |")
w("|---|---|---|")
for name, ok, fig in checks:
    w(f"| {name} | {'yes' if ok else 'no'} | {fig} |")
w("")
(out / "results.md").write_text("\n".join(md) + "\n")
(out / "results.json").write_text(json.dumps(
    {"machine": machine, "runs": rows, "leaf_bench": leaf, "gate_bench": gate,
     "targets": [{"target": t[0], "result": t[1], "figures": t[2]} for t in targets],
     "upstream_checks": [{"cell": c[0], "not_saturated": c[1], "figures": c[2]} for c in checks]}, indent=1) + "\n")

width = max(len(t[0]) for t in targets)
print("targets:")
for t in targets:
    print(f"  {t[1]:<12} {t[0]:<{width}}  {t[2]}")
for name, ok, fig in checks:
    print(f"  {'ok' if ok else 'SATURATED':<12} upstream on {name}: {fig}")

# Requests per second (log scale) per candidate and concurrency, and p50 latency.
data = ["$D << EOD"]
for cand in CANDS:
    vals = [cell(cand, c, "rps") or 0 for c in CONCS]
    lats = [(cell(cand, c, "p50_us") or 0) / 1000 for c in CONCS]
    data.append(f"\"{cand}\" " + " ".join(f"{v:.1f}" for v in vals) + " " + " ".join(f"{v:.3f}" for v in lats))
data.append("EOD")
gp = "\n".join(data) + """
set terminal pngcairo size 1200,500 font ",10"
set output "results.png"
set multiplot layout 1,2 title "quorbelt-proxy benchmarks (loopback, same run)"
set style data histograms
set style histogram clustered gap 1
set style fill solid 0.8 border -1
set xtics rotate by -30
set grid ytics
set logscale y
set ylabel "requests per second"
set key top right
plot $D using 2:xtic(1) title "c=1", '' using 3 title "c=16", '' using 4 title "c=64", '' using 5 title "c=256"
set ylabel "p50 latency (ms)"
set key top left
plot $D using 6:xtic(1) title "c=1", '' using 7 title "c=16", '' using 8 title "c=64", '' using 9 title "c=256"
unset multiplot
"""
(out / "plot.gp").write_text(gp)
