# SPDX-License-Identifier: Apache-2.0
"""The Python module's rows of scripts/bench.sh: a TAP navigation and a 1-Mbit drscan_chain with
bytes, through koraven_cse and through the host library's C++ API (krv-session-calls), in
alternating blocks of one run, each against its own embedded emulator; and 1,000 32-bit drscans in
one Session.queue() against the same calls one by one, in the same blocks. Prints a Markdown
section.
    python_vs_cpp.py BIN_DIR REPETITIONS WHEN"""

import json
import statistics
import subprocess
import sys
import time

import koraven_cse as kc

NAVIGATIONS, SHIFTS, BITS = 500, 10, 1 << 20
DRSCANS = 1000
IDCODE_OF_DEVICE_1 = 0x27A31EFF  # the demo chain's middle device; its IDCODE instruction is 0x0E
BLOCKS_PER_REPETITION = 4  # short blocks, many of them: a busy spell of the machine hits both sides


def python_block():
    tdi = bytes([0x5A]) * (BITS // 8)
    with kc.Session() as session:
        session.drscan_chain(tdi, BITS)
        start = time.perf_counter()
        for i in range(NAVIGATIONS):
            session.state("PAUSE_DR" if i % 2 == 0 else "IDLE")
        navigation = (time.perf_counter() - start) / NAVIGATIONS * 1e6
        start = time.perf_counter()
        for _ in range(SHIFTS):
            session.drscan_chain(tdi, BITS)
        shift = (time.perf_counter() - start) / SHIFTS * 1e6
    return {"navigation_us": navigation, "drscan_chain_us": shift}


def queue_block():
    """The same 32-bit drscans one by one and in one queue, on one session."""
    with kc.Session() as session:
        session.irscan(1, 0x0E)
        start = time.perf_counter()
        single = [session.drscan(1, i, 32) for i in range(DRSCANS)]
        one_by_one = (time.perf_counter() - start) * 1e3
        start = time.perf_counter()
        with session.queue() as queue:
            results = [queue.drscan(1, i, 32) for i in range(DRSCANS)]
        queued = (time.perf_counter() - start) * 1e3
        assert single == [r.value for r in results] == [IDCODE_OF_DEVICE_1] * DRSCANS
    return {"one_by_one_ms": one_by_one, "queued_ms": queued}


def cpp_block(bin_dir):
    done = subprocess.run(["%s/krv-session-calls" % bin_dir, str(NAVIGATIONS), str(SHIFTS), str(BITS)],
                          capture_output=True, text=True, check=True)
    return json.loads(done.stdout)


def main():
    bin_dir, repetitions, when = sys.argv[1], int(sys.argv[2]), sys.argv[3]
    blocks = {"python": [], "cpp": [], "queue": []}
    for _ in range(repetitions * BLOCKS_PER_REPETITION):
        blocks["cpp"].append(cpp_block(bin_dir))
        blocks["python"].append(python_block())
        blocks["queue"].append(queue_block())
    median = lambda side, key: statistics.median(b[key] for b in blocks[side])
    print("\n## Python module\n")
    print("koraven_cse against the host library's C++ API, the same calls on the embedded emulator, "
          "alternating blocks of one run; medians of %d blocks (%d navigations, %d shifts each); %s."
          % (repetitions * BLOCKS_PER_REPETITION, NAVIGATIONS, SHIFTS, when))
    print("\n| Measurement | Python | C++ | Python vs C++ | Target |")
    print("|---|---|---|---|---|")
    for key, name, limit in [("navigation_us", "TAP navigation (PAUSE_DR and IDLE in turn)", 1.2),
                             ("drscan_chain_us", "drscan_chain, 1 Mbit, bytes in and out", 1.05)]:
        python, cpp = median("python", key), median("cpp", key)
        ratio = python / cpp
        print("| %s | %.1f µs | %.1f µs | %.2fx | ≤ %.2fx: %s |"
              % (name, python, cpp, ratio, limit, "met" if ratio <= limit else "MISSED"))
    one, queued = median("queue", "one_by_one_ms"), median("queue", "queued_ms")
    print("\n| Measurement | One by one | In one queue | Queue faster by | Target |")
    print("|---|---|---|---|---|")
    print("| %d drscans of 32 bits (device 1's IDCODE register), Python | %.1f ms | %.2f ms | %.0fx "
          "| ≥ 20x: %s |" % (DRSCANS, one, queued, one / queued, "met" if one / queued >= 20 else "MISSED"))


if __name__ == "__main__":
    main()
