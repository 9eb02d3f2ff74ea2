#!/usr/bin/env python3
"""Prints the benchmark table from the JSON files of Google Benchmark runs.

Each workload is shown as the library's figure, the raw dependency's figure from the same run,
and their ratio (library throughput / raw throughput), beside the target it should reach and,
for the HTTP workloads, the figures of the two peer clients. Where a run was repeated:

- HTTP workloads (wall clock) count their best repetition. Other work on a shared machine
  only ever slows a request down, so the least disturbed repetition is the closest to the
  cost of the code itself, and with repetitions in random interleaving each side gets the
  same chances at one.
- The other workloads (CPU time of the process) count their median. Their disturbances go
  both ways: a file system in a fresher state (the first pass over a new directory, less data
  waiting for writeback) does less work, so the best repetition would favour whichever side
  happened to run first.

The table reports; it never fails on a figure.
"""
import json
import re
import sys


def load(paths):
    """{(workload, implementation): [repetitions]} from the files; failed runs left out."""
    results = {}
    for path in paths:
        with open(path) as f:
            text = f.read()
        if not text.strip():
            continue  # a program none of whose benchmarks matched BENCH_FILTER
        data = json.loads(text)
        for b in data.get("benchmarks", []):
            if b.get("error_occurred") or b.get("run_type") == "aggregate":
                continue
            parts = b.get("run_name", b["name"]).split("/")
            if len(parts) >= 2:
                results.setdefault((parts[0], parts[1]), []).append(b)
    return results


def median(values):
    values = sorted(values)
    middle = len(values) // 2
    return values[middle] if len(values) % 2 else (values[middle - 1] + values[middle]) / 2


def by_wall_clock(runs):
    return runs[0].get("run_name", "").endswith("/real_time")


def rate(results, workload, impl):
    runs = results.get((workload, impl))
    if not runs:
        return None
    values = [b["items_per_second"] for b in runs]
    return max(values) if by_wall_clock(runs) else median(values)


def byte_rate(results, workload, impl):
    runs = results.get((workload, impl))
    return median([b["bytes_per_second"] for b in runs]) if runs else None


def seconds(results, workload, impl):
    runs = results.get((workload, impl))
    if not runs:
        return None
    scale = {"ns": 1e-9, "us": 1e-6, "ms": 1e-3, "s": 1.0}
    return median([b["cpu_time"] * scale[b.get("time_unit", "ns")] for b in runs])


def repetitions(results, wall_clock):
    # zlib's inflate runs in a request program, with the request programs' repetition count.
    return max((len(runs) for key, runs in results.items()
                if not key[0].startswith("memory") and key[0] != "vm_list_inflate"
                and by_wall_clock(runs) == wall_clock),
               default=0)


def human(value, unit):
    if value is None:
        return "-"
    for limit, suffix in ((1e6, "M"), (1e3, "k")):
        if value >= limit:
            return "%.2f%s %s" % (value / limit, suffix, unit)
    return ("%.0f %s" if value >= 100 else "%.1f %s") % (value, unit)


def session_cache_note(results, raw):
    """raw libcurl with a TLS session cache shared between its new handles, against raw."""
    shared = rate(results, "https_new_object", "raw_shared")
    if not shared:
        return ""
    runs = results[("https_new_object", "raw_shared")]
    resumed = all(b.get("tls_resumed", 0) == 1 for b in runs)
    return "raw+session cache %s (x%.2f of raw%s)" % (
        human(shared, "req/s"), shared / raw if raw else float("nan"),
        "" if resumed else "; session NOT resumed")


def sweep_work_row(results):
    """One sweep's user-space instructions (bench/sweep-profile.sh) at 100,000 against 10,000."""
    label = "5 cleanup user-space work 100,000 / 10,000"
    growth, per_entry = {}, {}
    for impl in ("lib", "raw"):
        runs = results.get(("sweep_instructions", impl))
        if not runs:
            return (label, "-", "-", "-", "<= 10.5x", "")
        b = runs[0]
        growth[impl] = b["instructions_large"] / b["instructions_small"]
        per_entry[impl] = "%s %d -> %d" % (impl, b["instructions_small"] / b["entries_small"],
                                          b["instructions_large"] / b["entries_large"])
    return (label, "%.2fx" % growth["lib"], "%.2fx" % growth["raw"], "-",
            "<= 10.5x %s" % ("ok" if growth["lib"] <= 10.5 else "SHORT"),
            "instructions per entry: " + "; ".join(per_entry.values()))


def shaped_vm_list_row(results, pair):
    """The VM list through the 50 Mbit/s relay: compressed against not, and what decoding costs."""
    gzip, identity = (rate(results, "vm_list_50Mbit", impl) for impl in ("gzip", "identity"))
    runs = results.get(("vm_list_50Mbit", "identity"))
    size = runs[0]["bytes_per_second"] / runs[0]["items_per_second"] if runs else 0
    wire = [median([b["wire_bytes"] for b in results.get(("vm_list_50Mbit", impl), [])] or [0])
            for impl in ("gzip", "identity")]
    inflate = byte_rate(results, "vm_list_inflate", "zlib")
    cpu = [seconds(results, "vm_list_50Mbit", impl) for impl in ("gzip", "identity")]
    notes = []
    if inflate:
        notes.append("decode CPU %.2f ms per MB (zlib inflate)" % (1e9 / inflate))
    if all(cpu):
        notes.append("client CPU per fetch %.2f ms gzip, %.2f ms identity" % (cpu[0] * 1e3,
                                                                             cpu[1] * 1e3))
    if all(wire):
        notes.append("on the wire %.0f KB, %.0f KB (%.2fx)" % (wire[0] / 1e3, wire[1] / 1e3,
                                                              wire[1] / wire[0]))
    pair("1 VM list %.0f KB at 50 Mbit/s, gzip (raw: no encoding)" % (size / 1e3), "fetches/s",
         gzip, identity, 5.0, notes=notes)


def main(paths):
    r = load(paths)
    rows = []

    def pair(label, unit, lib, raw, target, peers=None, notes=()):
        ratio = lib / raw if lib and raw else None
        status = "" if target is None or ratio is None else ("ok" if ratio >= target else "SHORT")
        texts = []
        for name, value in peers or ():
            if value:
                texts.append("%s %s (ours x%.2f)" % (name, human(value, unit), lib / value
                                                      if lib else float("nan")))
        peer_text = "; ".join(texts + [note for note in notes if note])
        rows.append((label, human(lib, unit), human(raw, unit),
                     "%.2f" % ratio if ratio else "-",
                     (">= %.2f %s" % (target, status)) if target is not None else "report",
                     peer_text))

    for workload, label, target in (("get_1KiB", "1 get 1 KiB", 0.90),
                                    ("get_64KiB", "1 get 64 KiB", 0.99),
                                    ("post_4KiB", "1 post 4 KiB", None)):
        pair(label, "req/s", rate(r, workload, "lib"), rate(r, workload, "raw"), target,
             [("httplib", rate(r, workload, "httplib")), ("curlpp", rate(r, workload, "curlpp"))])
    # The request an agent makes most, against the quickest peer client.
    pair("1 get 1 KiB (raw: cpp-httplib's client)", "req/s", rate(r, "get_1KiB", "lib"),
         rate(r, "get_1KiB", "httplib"), 1.00)
    pair("1 https get 1 KiB (CA verified)", "req/s", rate(r, "https_get_1KiB", "lib"),
         rate(r, "https_get_1KiB", "raw"), 0.95, [("httplib", rate(r, "https_get_1KiB", "httplib"))])
    raw_new = rate(r, "https_new_object", "raw")
    pair("1 https new object + get 1 KiB", "req/s", rate(r, "https_new_object", "lib"), raw_new,
         None, [("httplib", rate(r, "https_new_object", "httplib"))],
         [session_cache_note(r, raw_new)])
    # The connection pool: a new object per request should cost at most twice a request on a
    # kept connection, and win at least tenfold over a new object that connects anew.
    for scheme, kept, label in (("https", "https_get_1KiB", "1 https new object + get 1 KiB"),
                                ("http", "get_1KiB", "1 new object + get 1 KiB")):
        pooled = rate(r, scheme + "_new_object", "lib_pooled")
        unpooled = rate(r, scheme + "_new_object", "lib")
        if scheme == "http":
            pair(label + " (raw: kept connection)", "req/s", unpooled, rate(r, kept, "lib"), None)
        pair(label + ", pooled (raw: kept connection)", "req/s", pooled, rate(r, kept, "lib"),
             0.50)
        pair(label + ", pooled (raw: not pooled)", "req/s", pooled, unpooled, 10.0)
    shaped_vm_list_row(r, pair)
    pair("2 get 1 KiB, exchange log on (raw: log off)", "req/s",
         rate(r, "get_1KiB_exchange_log", "lib"), rate(r, "get_1KiB", "lib"), 0.95)
    pair("2 post 4 KiB, exchange log on (raw: log off)", "req/s",
         rate(r, "post_4KiB_exchange_log", "lib"), rate(r, "post_4KiB", "lib"), 0.90)
    pair("3 XML: read 100,000 values", "values/s", rate(r, "xml_read", "lib"),
         rate(r, "xml_read", "raw"), 0.90)
    # A parse costs time linear in the text whatever its shape: per byte, each shape that costs
    # Xerces the square of its length within 2x of the VM list's, at every size.
    vm_list = byte_rate(r, "xml_parse", "vm_list")
    rows.append(("3 XML: parse the VM list", human(vm_list, "B/s"), "-", "-", "report", ""))
    for shape in ("attributes", "depth", "prefixes", "long_uri", "attlist"):
        for size in ("64KiB", "256KiB", "1MiB"):
            pair("3 XML parse per byte, %s %s (raw: VM list)" % (shape, size), "B/s",
                 byte_rate(r, "xml_parse_" + shape, size), vm_list, 0.50)
    pair("4 cache + lookup 10,000 keys", "ops/s", rate(r, "cache_10k", "lib"),
         rate(r, "cache_10k", "raw"), 0.80)
    pair("5 cleanup 10,000 (half expired)", "entries/s", rate(r, "cleanup_10k", "lib"),
         rate(r, "cleanup_10k", "raw"), 0.80)
    pair("5 cleanup 100,000 (half expired)", "entries/s", rate(r, "cleanup_100k", "lib"),
         rate(r, "cleanup_100k", "raw"), 0.80)
    growth = []
    for impl in ("lib", "raw"):
        small, large = seconds(r, "cleanup_10k", impl), seconds(r, "cleanup_100k", impl)
        growth.append(large / small if small and large else None)
    rows.append(("5 cleanup wall clock 100,000 / 10,000",
                 "%.1fx" % growth[0] if growth[0] else "-",
                 "%.1fx" % growth[1] if growth[1] else "-", "-", "report", ""))
    rows.append(sweep_work_row(r))
    pair("6 UrlEncode", "calls/s", rate(r, "url_encode", "lib"), rate(r, "url_encode", "raw"),
         0.80)
    pair("6 appendQueryStringArgument", "args/s", rate(r, "query_argument", "lib"),
         rate(r, "query_argument", "raw"), 0.80)
    pair("6 log record, 4 KiB JSON: masked (raw: format only)", "records/s",
         rate(r, "log_mask", "lib"), rate(r, "log_mask", "raw"), None)
    pair("6 log record, 1 MiB hostile: masked (raw: format only)", "records/s",
         rate(r, "log_mask_hostile", "lib"), rate(r, "log_mask_hostile", "raw"), None)
    # The masker's cost must grow no faster than the text, whatever the text: per byte, the
    # hostile record within 2x of the realistic one.
    pair("6 masking per byte, 1 MiB hostile (raw: 4 KiB JSON)", "B/s",
         byte_rate(r, "log_mask_hostile", "lib"), byte_rate(r, "log_mask", "lib"), 0.50)
    for workload, label, count in (("memory_requests", "7 RSS growth, requests", "requests"),
                                   ("memory_cache_ops", "7 RSS growth, cache ops", "operations")):
        runs = r.get((workload, "lib"))
        b = runs[0] if runs else None
        if not b:
            rows.append((label, "-", "-", "-", "<= 1024 KiB", ""))
            continue
        grown = b["rss_growth_kib"]
        rows.append(("%s (1,000 -> %s)" % (label, format(int(b[count]), ",")),
                     "%+d KiB" % grown, "%d KiB at 1,000" % b["rss_first_kib"], "-",
                     "<= 1024 KiB %s" % ("ok" if grown <= 1024 else "SHORT"), ""))

    header = ("workload", "library", "raw", "ratio", "target", "peer clients")
    widths = [max(len(str(row[i])) for row in rows + [header]) for i in range(len(header))]
    line = lambda row: "| " + " | ".join(str(c).ljust(w) for c, w in zip(row, widths)) + " |"
    print("HTTP by wall clock, best of %d repetitions; the rest by CPU time, median of %d.\n"
          % (repetitions(r, True), repetitions(r, False)))
    print(line(header))
    print("|" + "|".join("-" * (w + 2) for w in widths) + "|")
    for row in rows:
        print(line(row))


if __name__ == "__main__":
    main(sys.argv[1:])
