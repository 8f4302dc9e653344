# SPDX-License-Identifier: Apache-2.0
"""The GIL is let go during plug-in calls, Ctrl-C ends a session cleanly, log lines reach logging."""

import logging
import os
import selectors
import signal
import socket
import subprocess
import sys
import threading

import koraven_cse as kc

CHILD = """
import sys, koraven_cse as kc
session = kc.Session(node="127.0.0.1", port=int(sys.argv[1]))
def progress(done, total):
    print("playing", flush=True)
    sys.stdin.readline()  # the parent's SIGINT arrives while the file plays
session.svf(sys.argv[2], progress=progress)
print("finished", flush=True)
"""


class Relay(threading.Thread):
    """A Python thread between the plug-in and quorbit-sim: no datagram passes unless it runs."""

    def __init__(self, sim_port):
        super().__init__(daemon=True)
        self.sim = ("127.0.0.1", sim_port)
        self.socket = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.socket.bind(("127.0.0.1", 0))
        self.port = self.socket.getsockname()[1]
        self.forwarded = 0
        self.stopping = threading.Event()

    def run(self):
        client = None
        with selectors.DefaultSelector() as selector:
            selector.register(self.socket, selectors.EVENT_READ)
            while not self.stopping.is_set():
                if not selector.select(timeout=0.1):
                    continue
                data, sender = self.socket.recvfrom(65536)
                if sender != self.sim:
                    client = sender
                self.socket.sendto(data, self.sim if sender != self.sim else client)
                self.forwarded += 1


def test_other_threads_run_while_a_long_shift_is_in_progress(quorbit_sim):
    relay = Relay(quorbit_sim().port)
    relay.start()
    bits = 1 << 20
    tdi = os.urandom(bits // 8)
    with kc.Session(node="127.0.0.1", port=relay.port) as session:
        session.irscan_chain((1 << 18) - 1, 18)  # every device in BYPASS: three bits of delay
        before = relay.forwarded
        tdo = session.drscan_chain(tdi, bits)
        during = relay.forwarded - before
    relay.stopping.set()
    relay.join()
    assert int.from_bytes(tdo, "little") == (int.from_bytes(tdi, "little") << 3) % (1 << bits)
    assert during >= 2 * 11  # the shift's requests and replies all went through the other thread


def test_ctrl_c_during_an_svf_file_releases_and_disconnects(quorbit_sim, tmp_path):
    sim = quorbit_sim(verbose=True)
    svf = tmp_path / "long.svf"
    svf.write_text("STATE RESET;\nSIR 18 TDI(3FFFF);\n" +
                   "SDR 100000 TDI(%s);\n" % ("5" * 25000) * 200)
    child = subprocess.Popen([sys.executable, "-c", CHILD, str(sim.port), str(svf)],
                             stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                             text=True)
    assert child.stdout.readline() == "playing\n"
    child.send_signal(signal.SIGINT)
    out, err = child.communicate(timeout=60)
    assert child.returncode in (-signal.SIGINT, 130) and "KeyboardInterrupt" in err, err
    assert "finished" not in out
    lines = sim.read_until("disconnect from")
    assert any("release TAP" in line for line in lines)
    with kc.Session(node="127.0.0.1", port=sim.port) as session:  # the emulator is free again
        assert session.idcode(1) == 0x27A31EFF


def test_plugin_lines_go_to_the_koraven_cse_logger(caplog):
    caplog.set_level(logging.DEBUG, logger="koraven_cse")
    with kc.Session() as session:
        session.idcode(0)
    debug = [r for r in caplog.records if r.name == "koraven_cse" and r.levelno == logging.DEBUG]
    assert any(">>Enter>>" in r.getMessage() for r in debug)
    caplog.clear()
    caplog.set_level(logging.WARNING, logger="koraven_cse")
    with kc.Session() as session:
        session.idcode(0)
    assert not [r for r in caplog.records if r.name == "koraven_cse"]
