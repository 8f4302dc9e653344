# SPDX-License-Identifier: Apache-2.0
"""Shared fixtures: the build tree's programs, a quorbit-sim started as its own process, and
cse-host's JSON results for the same commands (the oracle)."""

import json
import os
import pathlib
import re
import subprocess

import pytest

BIN = pathlib.Path(os.environ["KRV_BIN_DIR"])
CHAINS = pathlib.Path(os.environ["KRV_SOURCE_DIR"]) / "sim" / "chains"


class QuorbitSim:
    """quorbit-sim in its own process on a free port; its stdout stays readable (--verbose)."""

    def __init__(self, chain, verbose=False, port=0):
        command = [str(BIN / "quorbit-sim"), "--port", str(port), "--chain", str(chain)]
        self.process = subprocess.Popen(command + (["--verbose"] if verbose else []),
                                        stdout=subprocess.PIPE, text=True)
        first = self.process.stdout.readline()
        match = re.match(r"listening on (\S+):(\d+)$", first.strip())
        assert match, "quorbit-sim did not start: %r" % first
        self.port = int(match.group(2))

    def read_until(self, text):
        """Lines of its output up to and including the first that contains text."""
        lines = []
        for line in self.process.stdout:
            lines.append(line.rstrip("\n"))
            if text in line:
                return lines
        raise AssertionError("quorbit-sim ended without %r: %s" % (text, lines))

    def stop(self):
        if self.process.poll() is None:
            self.process.terminate()
            self.process.wait(timeout=30)


@pytest.fixture
def quorbit_sim():
    started = []

    def start(chain=CHAINS / "demo.chain", verbose=False, port=0):
        started.append(QuorbitSim(chain, verbose, port))
        return started[-1]

    yield start
    for sim in started:
        sim.stop()


def cse_host(*arguments, check=True):
    """cse-host's JSON document for the arguments."""
    done = subprocess.run([str(BIN / "cse-host"), "--json", "--quiet", *arguments],
                          capture_output=True, text=True, timeout=120)
    document = json.loads(done.stdout)
    assert not check or document["ok"], done.stderr
    return document
