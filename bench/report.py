#!/usr/bin/env python3
"""Turns one bench/run's raw results into results.md, results.json and a gnuplot script."""
import json
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
CONCS = [1, 16, 64]
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
w("![requests per second](results.png)")
w("")
w("## Keep-alive requests (13-byte response)")
w("")
w("| candidate | conc. | req/s | ratio to direct | p50 µs | p99 µs | p99.9 µs | p50 added µs | errors |")
w("|---|---:|---:|---:|---:|---:|---:|---:|---:|")
for c in CONCS:
    d = by.get(f"direct#c{c}")
    for cand in CANDS:
        r = by.get(f"{cand}#c{c}")
        if not r:
            continue
        ratio = r["rps"] / d["rps"] if d and d["rps"] else 0
        added = r["p50_us"] - d["p50_us"] if d else 0
        w(f"| {DESC[cand]} | {c} | {r['rps']:.0f} | {ratio:.3f} | {r['p50_us']:.0f} | {r['p99_us']:.0f} | "
          f"{r['p999_us']:.0f} | {added:.0f} | {r['errors']} |")
w("")

w("## 100 MiB response body, one connection")
w("")
w("| candidate | MiB/s | ratio to direct | requests | errors |")
w("|---|---:|---:|---:|---:|")
db = by.get("direct@big")
for cand in ["direct", "stub-nomatch", "proxy-nomatch", "mitmproxy"]:
    r = by.get(f"{cand}@big")
    if not r:
        continue
    ratio = r["bytes_per_s"] / db["bytes_per_s"] if db and db["bytes_per_s"] else 0
    w(f"| {DESC[cand]} | {r['bytes_per_s'] / 2**20:.0f} | {ratio:.3f} | {r['requests']} | {r['errors']} |")
w("")

w("## New connection: TCP (+ CONNECT) + TLS handshake + one request")
w("")
w("| case | count | p50 ms | p99 ms | mean ms | errors |")
w("|---|---:|---:|---:|---:|---:|")
SETUP = [("direct@setup", "direct"), ("stub-nomatch@setup-fresh", "our proxy (stub vault), fresh leaf each"),
         ("stub-nomatch@setup-cached", "our proxy (stub vault), cached leaf"),
         ("proxy-nomatch@setup-cached", "our proxy (test gate, one gate call), cached leaf"),
         ("mitmproxy@setup", "mitmproxy")]
for key, text in SETUP:
    r = by.get(key)
    if r:
        w(f"| {text} | {r['requests']} | {r['p50_us'] / 1000:.2f} | {r['p99_us'] / 1000:.2f} | "
          f"{r['mean_us'] / 1000:.2f} | {r['errors']} |")
w("")


def gtime(b, key):
    r = b.get(key)
    if not r:
        return None
    scale = {"ns": 1e-3, "us": 1, "ms": 1e3}[r.get("time_unit", "ns")]
    return r["real_time"] * scale


mint = gtime(leaf, "BM_MintFreshLeaf")
cached_leaf = gtime(leaf, "BM_CachedLeaf")
g1 = gtime(gate, "BM_GateRpc/real_time/threads:1")
g16 = gtime(gate, "BM_GateRpc/real_time/threads:16")
w("## Micro-benchmarks (Google Benchmark)")
w("")
w("| what | µs per operation | per second |")
w("|---|---:|---:|")
for text, v in [("mint a fresh leaf (mint_leaf_blocking, cache miss)", mint),
                ("cached leaf look-up (mint_leaf_blocking, hit)", cached_leaf),
                ("one gate call, gate_rpc to a local TestGate, 1 thread", g1),
                ("one gate call, 16 threads at once (wall time per call)", g16)]:
    if v is not None:
        w(f"| {text} | {v:.1f} | {1e6 / v:.0f} |")
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


targets = []


def target(text, ok, figures):
    targets.append((text, "met" if ok else ("missed" if ok is not None else "not measured"), figures))


pr, mr = cell("proxy-ref", 16, "rps"), cell("mitmproxy", 16, "rps")
target("c=16, header reference with a gate call: ≥ 10 × mitmproxy req/s",
       (pr >= 10 * mr) if pr and mr else None,
       f"{pr:.0f} vs {mr:.0f} req/s = {pr / mr:.1f} ×; one gate call costs {g1:.0f} µs (1 thread)"
       if pr and mr and g1 else "")
for cand in ["stub-ref", "stub-nomatch"]:
    s, d = cell(cand, 1, "p50_us"), cell("direct", 1, "p50_us")
    target(f"added p50 latency on a warm tunnel ({cand}, c=1) ≤ 0.3 ms",
           (s - d <= 300) if s and d else None,
           f"{s:.0f} − {d:.0f} = {s - d:.0f} µs; gate call beside it {g1:.0f} µs" if s and d and g1 else "")
for cand in ["proxy-nomatch", "stub-nomatch"]:
    b = by.get(f"{cand}@big")
    ratio = b["bytes_per_s"] / db["bytes_per_s"] if b and db and db["bytes_per_s"] else None
    target(f"100 MiB body ({cand}) ≥ 0.5 × direct throughput", (ratio >= 0.5) if ratio else None,
           f"{ratio:.3f} × ({b['bytes_per_s'] / 2**20:.0f} vs {db['bytes_per_s'] / 2**20:.0f} MiB/s)" if ratio else "")
target("fresh leaf < 1 ms", (mint < 1000) if mint else None, f"{mint:.0f} µs per mint" if mint else "")
sc = by.get("proxy-nomatch@setup-cached")
target("cached-leaf tunnel set-up < 2 ms (CONNECT + TLS + one request, test gate)",
       (sc["p50_us"] < 2000) if sc else None,
       f"p50 {sc['p50_us'] / 1000:.2f} ms, mean {sc['mean_us'] / 1000:.2f} ms" if sc else "")
ss = by.get("stub-nomatch@setup-cached")
target("cached-leaf tunnel set-up < 2 ms (stub vault: the proxy's own cost)",
       (ss["p50_us"] < 2000) if ss else None,
       f"p50 {ss['p50_us'] / 1000:.2f} ms, mean {ss['mean_us'] / 1000:.2f} ms" if ss else "")
target("gate call on loopback < 2 ms", (g1 < 2000) if g1 else None, f"{g1:.0f} µs (1 thread)" if g1 else "")
target("resident memory < 100 KiB per idle tunnel", (per_tunnel < 100) if per_tunnel is not None else None,
       f"{per_tunnel:.1f} KiB" if per_tunnel is not None else "")
w("## Targets")
w("")
w("| target | result | figures |")
w("|---|---|---|")
for t in targets:
    w(f"| {t[0]} | {t[1]} | {t[2]} |")
w("")
(out / "results.md").write_text("\n".join(md) + "\n")
(out / "results.json").write_text(json.dumps(
    {"machine": machine, "runs": rows, "leaf_bench": leaf, "gate_bench": gate,
     "targets": [{"target": t[0], "result": t[1], "figures": t[2]} for t in targets]}, indent=1) + "\n")

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
plot $D using 2:xtic(1) title "c=1", '' using 3 title "c=16", '' using 4 title "c=64"
set ylabel "p50 latency (ms)"
set key top left
plot $D using 5:xtic(1) title "c=1", '' using 6 title "c=16", '' using 7 title "c=64"
unset multiplot
"""
(out / "plot.gp").write_text(gp)
