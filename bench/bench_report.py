#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
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
# End to end (against quorbit-sim): share of the floor's throughput for large shifts, time added
# to the floor's for small requests.
THROUGHPUT_TARGET = 0.85
SMALL_REQUEST_TARGET = 0.15
# The client alone (against the floor's replaying peer).
ALONE_THROUGHPUT_TARGET = 0.90
ALONE_SMALL_REQUEST_TARGET = 0.10
# A typical host's callbacks registered, against the same call without.
CALLBACKS_TARGET = 0.25
# shifts=merged against split: small calls at most this share of split's time; large ones not
# slower, within the noise of a run.
MERGED_SMALL_TARGET = 0.45
MERGED_NAVIGATION_TARGET = 0.55
MERGED_LARGE_TARGET = 1.05
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
    def __init__(self, pinned_labels):
        self.pinned_labels = pinned_labels
        self.rows = []

    def add(self, part, what, library, reference="", ratio="", trips="", target="", polled="",
            pinned=(), same_cpu=""):
        self.rows.append({"part": part, "measurement": what, "library": library,
                          "reference": reference, "ratio": ratio, "round_trips": trips,
                          "target": target, "same_cpu": same_cpu, "floor_polled": polled,
                          "pinned": list(pinned)})

    def markdown(self):
        head = ["#", "Measurement", "Library", "Floor / reference", "Library vs reference",
                "Round trips", "Target", "On one CPU: library / floor", "Floor with polled waits"]
        head += [f"Pinned {label}: library / floor" for label in self.pinned_labels]
        keys = ["part", "measurement", "library", "reference", "ratio", "round_trips", "target",
                "same_cpu", "floor_polled"]
        lines = ["| " + " | ".join(head) + " |", "|" + "---|" * len(head)]
        for row in self.rows:
            cells = [str(row[k]) for k in keys]
            pinned = row["pinned"] + [""] * (len(self.pinned_labels) - len(row["pinned"]))
            lines.append("| " + " | ".join(cells + pinned) + " |")
        return "\n".join(lines)


def pair(results, what, bits, packlen, side="library", reference="floor"):
    key = f"e2e/{what}/{{}}/bits:{bits}/packlen:{packlen}"
    return results.get(key.format(side)), results.get(key.format(reference))


class Targets:
    """One comparison: which side against which reference, and its two targets."""

    def __init__(self, side, reference, share, extra):
        self.side, self.reference, self.share, self.extra = side, reference, share, extra


END_TO_END = Targets("library", "floor", THROUGHPUT_TARGET, SMALL_REQUEST_TARGET)
CLIENT_ALONE = Targets("library_replay", "floor", ALONE_THROUGHPUT_TARGET,
                       ALONE_SMALL_REQUEST_TARGET)
CALLBACKS = Targets("library_callbacks", "library", 0.0, CALLBACKS_TARGET)


def comparison(library, floor, small, targets):
    """The library against the floor: text, and whether the target is met."""
    if small:
        extra = micros(library) / micros(floor) - 1
        return f"{extra:+.0%}", extra <= targets.extra
    share = library["bits_per_second"] / floor["bits_per_second"]
    return f"{share:.0%} of floor throughput", share >= targets.share


def same_placement(library, floor):
    """Whether both ran mostly on one CPU, or both mostly apart: only then do they compare."""
    if "same_cpu" not in library or "same_cpu" not in floor:
        return True
    both_together = library["same_cpu"] >= 0.75 and floor["same_cpu"] >= 0.75
    both_apart = library["same_cpu"] <= 0.25 and floor["same_cpu"] <= 0.25
    return both_together or both_apart


class Context:
    """The main run (unpinned unless --pin) and the runs pinned for comparison."""

    def __init__(self, results, pinned_runs):
        self.results = results
        self.pinned_runs = pinned_runs  # [(label, results)]

    def e2e_row(self, table, part, label, what, bits, packlen, target_text, judged,
                targets=END_TO_END, times=False):
        """One end-to-end row; judged: whether a target applies, "small" a round-trip target;
        times: compare times even without a target."""
        small = judged == "small" or times
        library, floor = pair(self.results, what, bits, packlen, targets.side, targets.reference)
        if not library or not floor:
            return None
        ratio, met = comparison(library, floor, small, targets)
        verdicts = []
        if judged:
            verdicts.append("unpinned " + (verdict(met) if same_placement(library, floor)
                                            else "n/a (placements differed)"))
        pinned_cells = []
        for pinned_label, results in self.pinned_runs:
            pinned_library, pinned_floor = pair(results, what, bits, packlen, targets.side,
                                                targets.reference)
            if not pinned_library or not pinned_floor:
                pinned_cells.append("")
                continue
            pinned_ratio, pinned_met = comparison(pinned_library, pinned_floor, small, targets)
            pinned_cells.append(f"{time_text(micros(pinned_library))} / "
                                f"{time_text(micros(pinned_floor))} "
                                f"({pinned_ratio.replace(' throughput', '')})")
            if judged:
                verdicts.append(f"{pinned_label} {verdict(pinned_met)}")
        if small:
            library_text, floor_text = time_text(micros(library)), time_text(micros(floor))
        else:
            library_text = f"{time_text(micros(library))}, {rate_text(library['bits_per_second'])}"
            floor_text = f"{time_text(micros(floor))}, {rate_text(floor['bits_per_second'])}"
        same_cpu = ""
        if "same_cpu" in library and "same_cpu" in floor:
            same_cpu = f"{library['same_cpu']:.0%} / {floor['same_cpu']:.0%}"
        polled = None
        if targets.reference == "floor":
            polled = self.results.get(f"e2e/{what}/floor_polled/bits:{bits}/packlen:{packlen}")
        target = f"{target_text}: " + ", ".join(verdicts) if judged else ""
        table.add(part, label, library_text, floor_text, ratio, f"{library['round_trips']:.0f}",
                  target, time_text(micros(polled)) if polled else "", pinned_cells, same_cpu)
        return library, floor


def target_text(judged, targets):
    if judged == "small":
        return f"≤ {targets.extra:+.0%}"
    return f"≥ {targets.share:.0%} of floor" if judged else ""


def chain_shift_rows(table, context, packlens, sizes):
    best_floor = 0.0
    best_library = 0.0
    for packlen in packlens:
        for bits in sizes:
            label = f"DR shift {bits_text(bits)}, packet {packlen}"
            if bits == 32:
                judged = "small"
            elif bits >= LARGE_SHIFT_BITS:
                judged = "large"
            else:
                judged = ""
            found = context.e2e_row(table, "1, 3", label, "chain_dr", bits, packlen,
                                    target_text(judged, END_TO_END), judged)
            if found:
                best_library = max(best_library, found[0]["bits_per_second"])
                best_floor = max(best_floor, found[1]["bits_per_second"])
            context.e2e_row(table, "1, 3", label + ", client alone", "chain_dr", bits, packlen,
                            target_text(judged, CLIENT_ALONE), judged, CLIENT_ALONE)
    return best_floor, best_library


def latency_rows(table, context, packlen):
    for what, bits, label in (("navigate", 0, "TAP navigation"),
                              ("idcode", 32, "Device IDCODE read, 32 bits")):
        context.e2e_row(table, 2, label, what, bits, packlen, target_text("small", END_TO_END),
                        "small")
        context.e2e_row(table, 2, label + ", client alone", what, bits, packlen,
                        target_text("small", CLIENT_ALONE), "small", CLIENT_ALONE)
    # Against the same call without callbacks, run just before it; the reference column is
    # that call then, not the floor.
    for what, bits, label, judged in (("navigate", 0, "TAP navigation", "small"),
                                      ("chain_dr", 1024, "DR shift 1 Kbit", "")):
        context.e2e_row(table, 2, f"{label}, host callbacks registered (vs without)", what, bits,
                        packlen, f"≤ {CALLBACKS_TARGET:+.0%} of without", judged, CALLBACKS,
                        times=True)


def merged_rows(table, context, packlen):
    """shifts=merged against split, the same call back to back in one run."""
    for what, bits, label, small in (
            ("chain_dr", 32, "DR shift 32 bits", True),
            ("idcode", 32, "Device IDCODE read, 32 bits", True),
            ("navigate_clocks", 0, "TAP navigation with 10 clocks", True),
            ("chain_dr", LARGE_SHIFT_BITS, "DR shift 122,816 bits", False),
            ("chain_dr", 1048576, "DR shift 1 Mbit", False)):
        # Three requests to one gives a third of the time; a navigation goes from two to one.
        limit = MERGED_LARGE_TARGET if not small else (
            MERGED_NAVIGATION_TARGET if what == "navigate_clocks" else MERGED_SMALL_TARGET)
        merged, split = pair(context.results, what, bits, packlen, "library_merged", "library")
        if not merged or not split:
            continue
        share = micros(merged) / micros(split)
        verdicts = ["unpinned " + (verdict(share <= limit) if same_placement(merged, split)
                                   else "n/a (placements differed)")]
        cells = []
        for pinned_label, results in context.pinned_runs:
            pinned_merged, pinned_split = pair(results, what, bits, packlen, "library_merged",
                                               "library")
            if not pinned_merged or not pinned_split:
                cells.append("")
                continue
            pinned_share = micros(pinned_merged) / micros(pinned_split)
            cells.append(f"{time_text(micros(pinned_merged))} / "
                         f"{time_text(micros(pinned_split))} ({pinned_share:.2f}×)")
            verdicts.append(f"{pinned_label} {verdict(pinned_share <= limit)}")
        same_cpu = ""
        if "same_cpu" in merged and "same_cpu" in split:
            same_cpu = f"{merged['same_cpu']:.0%} / {split['same_cpu']:.0%}"
        table.add(8, f"{label}, packet {packlen}, shifts=merged (vs split)",
                  time_text(micros(merged)), time_text(micros(split)) + " (split)",
                  f"{share:.2f}× of split",
                  f"{merged['round_trips']:.0f} (split {split['round_trips']:.0f})",
                  f"≤ {limit:.2f}× of split: " + ", ".join(verdicts), "", cells, same_cpu)


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
    parser.add_argument("--gbench-pinned", action="append", default=[],
                        help="LABEL=FILE: an end-to-end run pinned for comparison")
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

    pinned_runs = []
    for item in args.gbench_pinned:
        label, path = item.split("=", 1)
        pinned_runs.append((label, load_benchmarks(path)[0]))
    both = Context(results, pinned_runs)
    table = Table([label for label, _ in pinned_runs])
    best_floor, best_library = chain_shift_rows(table, both, (1024, 1472),
                                                (32, 1024, 122816, 1048576))
    # The link at its fastest, whatever the placement that gave it.
    for _, pinned in pinned_runs:
        for name, entry in pinned.items():
            if name.startswith("e2e/chain_dr/floor/"):
                best_floor = max(best_floor, entry["bits_per_second"])
            elif name.startswith("e2e/chain_dr/library/"):
                best_library = max(best_library, entry["bits_per_second"])
    latency_rows(table, both, 1024)
    merged_rows(table, both, 1024)
    openocd_row(table, results, openocd_us, 1024)
    client_cost_rows(table, results, args.callgrind_ir, cost_results)
    chain_row(table, results, best_floor, best_library)

    placement = context.get("placement", "unpinned")
    header = (f"Machine: {args.machine}; load before the run: {args.load}; "
              f"placement: {placement}; {context.get('date', '')}")
    markdown = table.markdown()
    print(header)
    print(markdown)
    with open(args.out_json, "w") as handle:
        json.dump({"machine": args.machine, "load": args.load, "placement": placement,
                   "pinned_runs": [label for label, _ in pinned_runs],
                   "date": context.get("date", ""), "command": args.command,
                   "rows": table.rows, "openocd_us": openocd_us,
                   "callgrind_ir": args.callgrind_ir}, handle, indent=2)
    with open(args.out_md, "w") as handle:
        handle.write("# Latest benchmark results\n\n")
        handle.write(f"Written by `{args.command}`. {header}.\n\n")
        handle.write("Library: the plug-in's code through the UDP link to a quorbit-sim process "
                     "(end to end). Client alone: the plug-in's code against the floor's own "
                     "peer process replaying what quorbit-sim answered, so that only the "
                     "client's cost separates it from the floor. "
                     "Floor: the very same datagram sequence between a minimal client and peer "
                     "process with no logic; with polled waits, the same with a poll before "
                     "every receive at both ends, as the link and quorbit-sim wait. Host "
                     "callbacks registered: callbacks that format every line into a buffer, as "
                     "a typical host does, against the same call without callbacks run just "
                     "before it (the reference column then). Times are "
                     "medians per host call. \"On one CPU\" is how often, sampled, the "
                     "benchmark and its peer process had last run on the same processor: on two "
                     "cores that alone moves a round trip several-fold, so an unpinned row is "
                     "judged only when library and floor were placed alike. \"Pinned C,P\": "
                     "client on CPU C, peer process on CPU P.\n\n")
        handle.write(markdown + "\n")
    return 0


if __name__ == "__main__":
    sys.exit(main())
