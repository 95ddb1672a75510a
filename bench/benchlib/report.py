"""The result table: a row per figure, a column per server, the best peer and drovn's ratio to
it, oriented so that 1.0 or more means drovn is at least as good."""

from .figures import GREETING_TIMEOUT, human_bytes, median

HIGH, LOW = "higher", "lower"


def figure_rows(sizes):
    big = human_bytes(sizes.big)
    med = human_bytes(sizes.medium)
    n = sizes.clients
    e = f"{sizes.entries:,}"
    return [
        ("retr_mbps", f"RETR {big}, one stream, curl (MB/s)", HIGH, "{:.0f}"),
        ("retr_cpu", "  server CPU for that RETR (s)", LOW, "{:.2f}"),
        ("stor_mbps", f"STOR {big}, one stream, curl (MB/s)", HIGH, "{:.0f}"),
        ("stor_cpu", "  server CPU for that STOR (s)", LOW, "{:.2f}"),
        ("tls_retr_mbps", f"TLS RETR of {big} (MB/s)", HIGH, "{:.0f}"),
        ("tls_retr_cpu", "  server CPU for that TLS RETR (s)", LOW, "{:.2f}"),
        ("tls_stor_mbps", f"TLS STOR of {big} (MB/s)", HIGH, "{:.0f}"),
        ("tls_stor_cpu", "  server CPU for that TLS STOR (s)", LOW, "{:.2f}"),
        ("login50_s", f"{n} clients connect + login together (s)", LOW, "{:.3f}"),
        ("login50_reconnects", f"  reconnects after {GREETING_TIMEOUT:.0f} s without greeting",
         LOW, "{:.0f}"),
        ("retr50_s", f"{n} concurrent RETR of one {med} file (s)", LOW, "{:.3f}"),
        ("stor50_s", f"{n} concurrent STOR of {med}, own file each (s)", LOW, "{:.3f}"),
        ("list_ms", f"LIST of {e} entries (ms)", LOW, "{:.1f}"),
        ("nlst_ms", f"NLST of {e} entries (ms)", LOW, "{:.1f}"),
        ("noop_p50", f"NOOP round trip p50 over {sizes.noops:,} (µs)", LOW, "{:.1f}"),
        ("noop_p99", f"NOOP round trip p99 over {sizes.noops:,} (µs)", LOW, "{:.1f}"),
        ("pss_idle", "PSS idle, all processes (MiB)", LOW, "{:.1f}"),
        ("pss_50", f"PSS with {n} sessions logged in (MiB)", LOW, "{:.1f}"),
    ]


def ratio(drovn, best, better):
    if drovn is None or best is None:
        return None
    if better == HIGH:
        return drovn / best if best else None
    if drovn == 0:
        return float("inf") if best else 1.0
    return best / drovn


def best_of(values, better, names):
    """(best value, its servers' names joined); ties name every server that shares the value."""
    cands = [(values[n], n) for n in names if values.get(n) is not None]
    if not cands:
        return None, None
    best = max(v for v, _ in cands) if better == HIGH else min(v for v, _ in cands)
    return best, ", ".join(n for v, n in cands if v == best)


def summarize(samples, servers):
    """samples[server][figure] -> list of per-round values; returns medians the same way."""
    return {s: {f: median(v) for f, v in samples.get(s, {}).items() if v} for s in servers}


def render(meta, sizes, samples, failures, servers, ceiling, process_per_session, shown=None):
    """SHOWN: the figure keys to give rows to (default every figure)."""
    peers = [s for s in servers if s != "drovn"]
    medians = summarize(samples, servers)
    rows = [r for r in figure_rows(sizes) if shown is None or r[0] in shown]
    lines = []
    lines.append(f"drovn benchmark, {meta['date']}")
    lines.append("")
    lines.append(f"- machine: {meta['machine']}")
    lines.append(f"- drovn: {meta['drovn']}")
    lines.append(f"- peers: {meta['peers']}")
    lines.append(f"- rounds: {meta['rounds']} (servers alternate each round; every cell is the "
                 f"median over the rounds){' — QUICK RUN, small sizes' if meta['quick'] else ''}")
    lines.append(f"- run time: {meta['elapsed']}")
    lines.append("")
    head = ["figure"] + servers + ["best peer", "drovn vs best"]
    lines.append("| " + " | ".join(head) + " |")
    lines.append("|" + "|".join(["---"] + ["---:"] * (len(servers)) + ["---", "---:"]) + "|")
    for key, label, better, fmt in rows:
        cells = [label + (" ↑" if better == HIGH else " ↓")]
        for s in servers:
            v = medians.get(s, {}).get(key)
            got = len(samples.get(s, {}).get(key, []))
            if v is None:
                cells.append("FAIL" if failures.get(s, {}).get(key) else "—")
            elif got < meta["rounds_run"]:
                cells.append(f"{fmt.format(v)} ({got}/{meta['rounds_run']})")
            else:
                cells.append(fmt.format(v))
        bv, bn = best_of({s: medians.get(s, {}).get(key) for s in peers}, better, peers)
        r = ratio(medians.get("drovn", {}).get(key), bv, better)
        cells.append(bn or "—")
        cells.append("—" if r is None else f"{r:.2f}")
        lines.append("| " + " | ".join(cells) + " |")
    ceil_cell = "—" if ceiling is None else f"{ceiling:.0f}"
    lines.append(f"| iperf3 one stream over loopback, the ceiling (MB/s) | {ceil_cell} |"
                 + " |" * (len(servers) + 1))
    lines.append("")
    lines.append("↑ higher is better, ↓ lower is better; \"drovn vs best\" is drovn / best peer "
                 "for ↑ rows and best peer / drovn for ↓ rows, so 1.00 or more means drovn "
                 "wins or ties. MB/s is 10^6 bytes per second, over the time from the RETR or "
                 "STOR command to its final reply. A server using sendfile can pass iperf3 "
                 "(which copies through user space), so the best RETR is a ceiling too. "
                 "(k/n): the median of the k rounds out of n in which that figure was measured "
                 "(see Problems).")
    if meta["rounds_run"] > 1:
        lines.append("")
        lines.append("Spread over the rounds (lowest – highest sample):")
        lines.append("")
        lines.append("| figure | " + " | ".join(servers) + " |")
        lines.append("|" + "|".join(["---"] + ["---:"] * len(servers)) + "|")
        for key, label, better, fmt in rows:
            cells = [label.strip()]
            for s in servers:
                v = samples.get(s, {}).get(key, [])
                cells.append(f"{fmt.format(min(v))} – {fmt.format(max(v))}" if v else "—")
            lines.append("| " + " | ".join(cells) + " |")
    # Memory against the servers that, like drovn's threads, hold one unit per session.
    pps = [s for s in peers if s in process_per_session]
    for key in ("pss_idle", "pss_50"):
        bv, bn = best_of({s: medians.get(s, {}).get(key) for s in pps}, LOW, pps)
        r = ratio(medians.get("drovn", {}).get(key), bv, LOW)
        if r is not None:
            lines.append(f"- {key.replace('_', ' ')}: drovn vs the best process-per-session "
                         f"peer ({bn}): {r:.2f}")
    lines.append("")
    lines.append("Servers:")
    for s in servers:
        lines.append(f"- {s}: {meta['models'][s]}; {meta['configs'][s]}")
    tls = meta.get("tls") or {}
    if tls:
        lines.append("")
        lines.append("TLS (explicit FTPS with `curl --ssl-reqd --insecure`, one self-signed "
                     "RSA 2048 certificate for every server):")
        for s in servers:
            t = tls.get(s, {})
            if not t.get("capable"):
                lines.append(f"- {s}: not measured with TLS"
                             + (f": {t['config']}" if t.get("config") else ""))
                continue
            lines.append(f"- {s}: {t['config']}; negotiated: {t.get('seen') or 'not seen'}")
    problems = [(s, f, m) for s in servers for f, ms in failures.get(s, {}).items() for m in ms]
    if problems:
        lines.append("")
        lines.append("Problems:")
        for s, f, m in problems:
            lines.append(f"- {s} {f}: {m}")
    return "\n".join(lines) + "\n"
