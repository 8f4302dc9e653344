#!/usr/bin/env python3
"""Turns one run of scripts/bench.sh into one table.

Inputs: the Google Benchmark JSON of krv-bench (medians of its repetitions), the OpenOCD shift
times, and callgrind's instruction count of the client-cost run. Output: the table on stdout, the
same rows as JSON, and a Markdown copy with the machine and the command that reproduces it.
"""

import argparse
import json
import statistics
import sys

LARGE_SHIFT_BITS = 122816
THROUGHPUT_TARGET = 0.85  # of the floor's throughput, for large shifts
SMALL_REQUEST_TARGET = 0.10  # added to the floor's round trip
OPENOCD_TARGET = 50.0  # times faster
CHAIN_TARGET = 10.0  # times faster than the link


def load_benchmarks(path):
    """Median of each benchmark, keyed by its name without Google Benchmark's suffixes."""
    with open(path) as handle:
        data = json.load(handle)
    medians, singles = {}, {}
    for entry in data["benchmarks"]:
        name = entry.get("run_name", entry["name"])
        name = name.replace("/real_time", "").split("/iterations:")[0]
        if entry.get("error_occurred"):
            continue
        if entry.get("aggregate_name") == "median":
            medians[name] = entry
        elif entry.get("run_type", "iteration") == "iteration":
            singles.setdefault(name, entry)
    return {**singles, **medians}, data.get("context", {})


def micros(entry):
    factor = {"ns": 1e-3, "us": 1.0, "ms": 1e3, "s": 1e6}[entry["time_unit"]]
    return entry["real_time"] * factor


def time_text(us):
    if us >= 10000:
        return f"{us / 1000:.1f} ms"
    if us >= 100:
        return f"{us:.0f} µs"
    return f"{us:.1f} µs"


def rate_text(bits_per_second):
    if bits_per_second >= 1e9:
        return f"{bits_per_second / 1e9:.2f} Gbit/s"
    if bits_per_second >= 1e6:
        return f"{bits_per_second / 1e6:.0f} Mbit/s"
    return f"{bits_per_second / 1e3:.0f} kbit/s"


def bits_text(bits):
    return {1024: "1 Kbit", 1048576: "1 Mbit"}.get(bits, f"{bits:,} bits")


def verdict(met):
    return "met" if met else "MISSED"


class Table:
    def __init__(self):
        self.rows = []

    def add(self, part, what, library, reference="", ratio="", trips="", target="", polled="",
            pinned="", same_cpu=""):
        self.rows.append({"part": part, "measurement": what, "library": library,
                          "reference": reference, "ratio": ratio, "round_trips": trips,
                          "target": target, "floor_polled": polled, "pinned": pinned,
                          "same_cpu": same_cpu})

    def markdown(self, pinned_label):
        head = ["#", "Measurement", "Library", "Floor / reference", "Library vs reference",
                "Round trips", "Target", "On one CPU: library / floor", "Floor with polled waits",
                pinned_label]
        keys = ["part", "measurement", "library", "reference", "ratio", "round_trips", "target",
                "same_cpu", "floor_polled", "pinned"]
        lines = ["| " + " | ".join(head) + " |", "|" + "---|" * len(head)]
        for row in self.rows:
            lines.append("| " + " | ".join(str(row[k]) for k in keys) + " |")
        return "\n".join(lines)


def pair(results, what, bits, packlen, side="library"):
    key = f"e2e/{what}/{{}}/bits:{bits}/packlen:{packlen}"
    return results.get(key.format(side)), results.get(key.format("floor"))


class Context:
    """The main (unpinned) results, and those of the optional run pinned apart."""

    def __init__(self, results, pinned):
        self.results = results
        self.pinned = pinned

    def same_cpu(self, what, bits, packlen):
        library, floor = pair(self.results, what, bits, packlen)
        if not library or not floor or "same_cpu" not in library or "same_cpu" not in floor:
            return ""
        return f"{library['same_cpu']:.0%} / {floor['same_cpu']:.0%}"

    def polled(self, what, bits, packlen):
        entry = self.results.get(f"e2e/{what}/floor_polled/bits:{bits}/packlen:{packlen}")
        return time_text(micros(entry)) if entry else ""

    def pinned_text(self, what, bits, packlen, side="library", small=False):
        library, floor = pair(self.pinned, what, bits, packlen, side)
        if not library or not floor:
            return ""
        if small:
            ratio = f"{micros(library) / micros(floor) - 1:+.0%}"
        else:
            ratio = f"{library['bits_per_second'] / floor['bits_per_second']:.0%} of floor"
        return f"{time_text(micros(library))} / {time_text(micros(floor))} ({ratio})"


def small_request_row(table, context, part, label, what, bits, packlen):
    library, floor = pair(context.results, what, bits, packlen)
    extra = micros(library) / micros(floor) - 1
    table.add(part, label, time_text(micros(library)), time_text(micros(floor)),
              f"{extra:+.0%}", f"{library['round_trips']:.0f}",
              f"≤ +10%: {verdict(extra <= SMALL_REQUEST_TARGET)}",
              context.polled(what, bits, packlen),
              context.pinned_text(what, bits, packlen, small=True),
              context.same_cpu(what, bits, packlen))


def chain_shift_rows(table, context, packlens, sizes):
    best_floor = 0.0
    best_library = 0.0
    for packlen in packlens:
        for bits in sizes:
            library, floor = pair(context.results, "chain_dr", bits, packlen)
            if not library or not floor:
                continue
            best_floor = max(best_floor, floor["bits_per_second"])
            best_library = max(best_library, library["bits_per_second"])
            label = f"DR shift {bits_text(bits)}, packet {packlen}"
            if bits == 32:
                small_request_row(table, context, "1, 3", label, "chain_dr", bits, packlen)
                continue
            share = library["bits_per_second"] / floor["bits_per_second"]
            target = ""
            if bits >= LARGE_SHIFT_BITS:
                target = f"≥ 85% of floor: {verdict(share >= THROUGHPUT_TARGET)}"
            table.add("1, 3", label,
                      f"{time_text(micros(library))}, {rate_text(library['bits_per_second'])}",
                      f"{time_text(micros(floor))}, {rate_text(floor['bits_per_second'])}",
                      f"{share:.0%} of floor throughput", f"{library['round_trips']:.0f}", target,
                      context.polled("chain_dr", bits, packlen),
                      context.pinned_text("chain_dr", bits, packlen),
                      context.same_cpu("chain_dr", bits, packlen))
    return best_floor, best_library


def latency_rows(table, context, packlen):
    for what, label in (("navigate", "TAP navigation"), ("idcode", "Device IDCODE read, 32 bits")):
        bits = 32 if what == "idcode" else 0
        library, floor = pair(context.results, what, bits, packlen)
        if library and floor:
            small_request_row(table, context, 2, label, what, bits, packlen)
    for what, bits, label in (("navigate", 0, "TAP navigation"),
                              ("chain_dr", 1024, "DR shift 1 Kbit")):
        listened, floor = pair(context.results, what, bits, packlen, "library_callbacks")
        if listened and floor:
            table.add(2, f"{label}, host callbacks registered", time_text(micros(listened)),
                      time_text(micros(floor)), f"{micros(listened) / micros(floor) - 1:+.0%}",
                      f"{listened['round_trips']:.0f}", "(every message formatted)")


def openocd_row(table, results, openocd_us, packlen):
    library, floor = pair(results, "device_dr", 100000, packlen)
    if not library:
        return
    floor_text = f" (floor {time_text(micros(floor))})" if floor else ""
    if not openocd_us:
        table.add(4, "DR shift 100,000 bits, one device", time_text(micros(library)) + floor_text,
                  "OpenOCD: not measured", "", f"{library['round_trips']:.0f}", "≥ 50×: not measured")
        return
    openocd = statistics.median(openocd_us)
    speedup = openocd / micros(library)
    table.add(4, "DR shift 100,000 bits, one device, others BYPASS",
              time_text(micros(library)) + floor_text,
              f"OpenOCD remote_bitbang: {time_text(openocd)}, {rate_text(1e5 / openocd * 1e6)}",
              f"{speedup:.0f}× faster", f"{library['round_trips']:.0f}",
              f"≥ 50×: {verdict(speedup >= OPENOCD_TARGET)}")


def client_cost_rows(table, results, callgrind_ir, cost_results):
    allocations = [e["allocations"] for name, e in results.items()
                   if name.startswith("e2e/chain_dr/library/")]
    if allocations:
        table.add(5, "Allocations per chain DR shift (any length)", f"{max(allocations):g}", "",
                  "", "", f"none per fragment: {verdict(max(allocations) == 0)}")
    if callgrind_ir and cost_results:
        entry = next(iter(cost_results.values()))
        calls = entry["calls_made"]
        bits = int(entry["run_name"].split("bits:")[1].split("/")[0])
        per_call = callgrind_ir / calls
        table.add(5, f"Client instructions per shifted bit ({bits_text(bits)} chain DR, callgrind)",
                  f"{per_call / bits:.2f} instr/bit", f"{per_call:,.0f} instr per call", "", "",
                  "TDI and TDO copied once each")
    for name, label in (("framework/device_dr/null_target/bits:32", "device DR 32 bits"),
                        ("framework/device_dr/null_target/bits:100000", "device DR 100,000 bits"),
                        ("framework/navigate/null_target", "TAP navigation")):
        entry = results.get(name)
        if entry:
            table.add(5, f"Framework overhead, null target: {label}",
                      f"{micros(entry) * 1000:,.0f} ns per operation")


def chain_row(table, results, best_floor, best_library):
    entry = results.get("sim/chain_dr/virtual_chain/bits:1048576")
    if not entry or not best_floor:
        return
    factor = entry["bits_per_second"] / best_floor
    table.add(6, "quorbit-sim virtual chain alone: DR through 3 devices",
              rate_text(entry["bits_per_second"]),
              f"link: fastest floor {rate_text(best_floor)}, fastest library "
              f"{rate_text(best_library)}",
              f"{factor:.1f}× the floor, {entry['bits_per_second'] / best_library:.1f}× the library",
              "", f"≥ 10×: {verdict(factor >= CHAIN_TARGET)}")


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--gbench", required=True)
    parser.add_argument("--gbench-pinned", help="the end-to-end run pinned apart")
    parser.add_argument("--openocd", help="file with one 'drscan_us N' line per OpenOCD shift")
    parser.add_argument("--callgrind-ir", type=float, default=0.0)
    parser.add_argument("--client-cost", help="Google Benchmark JSON of the callgrind run")
    parser.add_argument("--machine", default="")
    parser.add_argument("--command", default="scripts/bench.sh")
    parser.add_argument("--load", default="")
    parser.add_argument("--out-json", required=True)
    parser.add_argument("--out-md", required=True)
    args = parser.parse_args()

    results, context = load_benchmarks(args.gbench)
    openocd_us = []
    if args.openocd:
        with open(args.openocd) as handle:
            openocd_us = [float(line.split()[1]) for line in handle if line.startswith("drscan_us")]
    cost_results = load_benchmarks(args.client_cost)[0] if args.client_cost else {}

    pinned, pinned_context = load_benchmarks(args.gbench_pinned) if args.gbench_pinned else ({}, {})
    both = Context(results, pinned)
    table = Table()
    best_floor, best_library = chain_shift_rows(table, both, (1024, 1472),
                                                (32, 1024, 122816, 1048576))
    latency_rows(table, both, 1024)
    openocd_row(table, results, openocd_us, 1024)
    client_cost_rows(table, results, args.callgrind_ir, cost_results)
    chain_row(table, results, best_floor, best_library)

    placement = context.get("placement", "unpinned")
    pinned_placement = pinned_context.get("placement", "")
    pinned_label = f"Pinned: {pinned_placement}" if pinned else "Pinned (not run)"
    header = (f"Machine: {args.machine}; load before the run: {args.load}; "
              f"placement: {placement}; {context.get('date', '')}")
    markdown = table.markdown(pinned_label)
    print(header)
    print(markdown)
    with open(args.out_json, "w") as handle:
        json.dump({"machine": args.machine, "load": args.load, "placement": placement,
                   "pinned_placement": pinned_placement,
                   "date": context.get("date", ""), "command": args.command,
                   "rows": table.rows, "openocd_us": openocd_us,
                   "callgrind_ir": args.callgrind_ir}, handle, indent=2)
    with open(args.out_md, "w") as handle:
        handle.write("# Latest benchmark results\n\n")
        handle.write(f"Written by `{args.command}`. {header}.\n\n")
        handle.write("Library: the plug-in's code through the UDP link to a quorbit-sim process. "
                     "Floor: the very same datagram sequence between a minimal client and peer "
                     "process with no logic; with polled waits, the same with a poll before "
                     "every receive at both ends, as the link and quorbit-sim wait. Times are "
                     "medians per host call; the pinned column gives library / floor. \"On one "
                     "CPU\" is how often, sampled, the benchmark and its peer process had last "
                     "run on the same processor: on two cores that alone moves a round trip "
                     "several-fold.\n\n")
        handle.write(markdown + "\n")
    return 0


if __name__ == "__main__":
    sys.exit(main())
