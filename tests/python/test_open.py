# SPDX-License-Identifier: Apache-2.0
"""Opening: arguments that cannot work, a front end that is not there, the plug-in search."""

import os
import shutil
import socket
import subprocess
import sys

import koraven_cse as kc
import pytest


@pytest.mark.parametrize("arguments, error, message", [
    ({"port": 70000}, kc.UsageError, "port must be 1..65535"),
    ({"port": -1}, kc.UsageError, "port must be 1..65535, not -1"),
    ({"hostport": 70000}, kc.UsageError, "hostport must be 0..65535, not 70000"),
    ({"timeout": -5}, kc.UsageError, "timeout must be 0..4294967295, not -5"),
    ({"irlen": [6, -8, 4]}, kc.UsageError, "an IR length must be 0..4294967295, not -8"),
    ({"irlen": "6,x,4"}, kc.UsageError, 'irlen "6,x,4" is not a list of numbers'),
    ({"packlen": 8}, kc.UsageError, "the packet length must be 16..1472 bytes"),
    ({"timeout": 0}, kc.UsageError, "the reply time-out must be 1..3600 seconds"),
    ({"node": "127.0.0.1", "sim_chain": "x.chain"}, kc.UsageError,
     "sim_chain goes only with the embedded emulator"),
    ({"sim_chain": "/nonexistent.chain"}, kc.UsageError, "/nonexistent.chain"),
    ({"sim_board_fault": "tdo-sideways"}, kc.UsageError, "tdo-sideways"),
    ({"lib": "/nonexistent/KoravenCsePlugin_14.so"}, kc.CseError, "cannot load the plug-in"),
    ({"irlen": [5, 8, 5]}, kc.UsageError, "irlen 5,8,5 does not fit the chain"),
    ({"irlen": "6,8"}, kc.UsageError, "irlen gives 2 lengths, but the chain has 3 devices"),
])
def test_open_refused_with_the_reason(arguments, error, message):
    with pytest.raises(error) as raised:
        kc.Session(**arguments)
    assert message in raised.value.reason


def test_a_front_end_that_is_not_there_is_a_link_error():
    silent = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)  # bound, never answers
    silent.bind(("127.0.0.1", 0))
    port = silent.getsockname()[1]
    with pytest.raises(kc.LinkError) as raised:
        kc.Session(node="127.0.0.1", port=port)
    assert "cannot open the target through the front end at 127.0.0.1:%d" % port in raised.value.reason
    assert "Failed to set up connection to KORAVEN debugger hardware" in raised.value.reason
    silent.close()
    with kc.Session(irlen="6,8,4") as session:  # the failed open left nothing behind
        assert [d.irlen for d in session.devices] == [6, 8, 4]


def test_the_module_describes_itself():
    assert kc.__version__ and kc.Session.__module__ == "koraven_cse"
    for name in ["Session", "Device", "Check", "Mismatch", "SvfResult", "CseError"]:
        assert getattr(kc, name).__doc__, name
    assert "irscan" in kc.Session.__doc__ or kc.Session.irscan.__doc__


def test_a_closed_session_refuses_every_call():
    with kc.Session() as opened:
        pass
    assert opened.closed and repr(opened) == "<koraven_cse.Session closed>"
    opened.close()  # again: nothing
    with pytest.raises(kc.UsageError, match="the Session is closed"):
        opened.idcode(0)


def test_a_name_that_does_not_resolve_is_a_link_error():
    # Looked up in a network namespace of the test's own (a loopback and nothing else): the
    # machine's resolver is out of reach, so no query leaves the machine.
    unshare = ["unshare", "--net", "--map-root-user"]
    if not shutil.which("unshare") or subprocess.run(unshare + ["true"]).returncode != 0:
        pytest.skip("no network namespace of its own can be made here (unshare --net)")
    script = ("import koraven_cse as kc\n"
              "try:\n    kc.Session(node='bench-pc.invalid')\n"
              "except kc.LinkError as error:\n    print(error.reason)\n")
    run = subprocess.run(unshare + [sys.executable, "-c", script], capture_output=True, text=True,
                         env=os.environ, timeout=60)
    assert run.stdout == "cannot resolve host bench-pc.invalid\n", run.stderr


def test_the_local_port_is_taken_from_hostport():
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as probe:  # a port free just now
        probe.bind(("127.0.0.1", 0))
        port = probe.getsockname()[1]
    with kc.Session(hostport=port) as session:
        assert [d.irlen for d in session.devices] == [6, 8, 4]
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as taken:
        taken.bind(("127.0.0.1", port))
        with pytest.raises(kc.LinkError) as raised:
            kc.Session(hostport=port)
    assert "The local UDP port of the link cannot be used" in raised.value.reason


@pytest.mark.parametrize("first_call", [lambda s: s.drscan(1, 0, 24),
                                        lambda s: s.drscan_chain(0, 26)], ids=["device", "chain"])
def test_after_a_failed_call_dr_scans_are_refused_until_an_irscan(quorbit_sim, first_call):
    """The front end restarts: the plug-in connects again and resets the TAP, so the selected
    register is gone; no DR scan may answer from another one until the instructions are loaded."""
    sim = quorbit_sim()
    with kc.Session(node="127.0.0.1", port=sim.port) as s:
        s.irscan(1, 0x22)  # the 24-bit user register, the others in BYPASS
        s.drscan(1, 0xC0FFEE, 24)
        sim.stop()
        quorbit_sim(port=sim.port)
        with pytest.raises(kc.CseError, match="shift the instructions again"):
            first_call(s)
        with pytest.raises(kc.CseError, match="after a failed call is refused"):
            s.drscan(1, 0, 24)
        s.irscan(1, 0x22)
        assert s.drscan(1, 0x123456, 24) == 0  # the restarted emulator's register starts empty
        assert s.drscan(1, 0, 24) == 0x123456


@pytest.mark.parametrize("arguments, message", [
    ({"chain": "long20"}, "Session() got an unexpected keyword argument 'chain'; the valid ones: "
     "node, port, lib, irlen, timeout, packlen, hostport, sim_chain, sim_board_fault, shifts"),
    ({"node": 5}, "node must be a str, not int"),
])
def test_a_wrong_keyword_is_named_with_the_valid_ones(arguments, message):
    with pytest.raises(TypeError) as raised:
        kc.Session(**arguments)
    assert message in str(raised.value) and "_core" not in str(raised.value)


def test_chain_names_are_found_beside_the_moved_tree_whichever_python_runs_it(tmp_path):
    """An installed tree moved elsewhere, run with PYTHONPATH: sim_chain names come from its own
    share/quorbit-sim, and a missing name lists every folder looked in and the chains there."""
    site = tmp_path / "lib" / "python3" / "dist-packages"
    shutil.copytree(os.path.dirname(kc.__file__), site / "koraven_cse")
    chains = tmp_path / "share" / "quorbit-sim"
    chains.mkdir(parents=True)
    shutil.copy(os.path.join(os.environ["KRV_SOURCE_DIR"], "sim", "chains", "demo.chain"),
                chains / "moved-only.chain")
    plugin = os.path.join(os.environ["KRV_BIN_DIR"], "KoravenCsePlugin_14.so")
    script = ("import koraven_cse as kc\n"
              "with kc.Session(sim_chain='moved-only', lib=%r) as s: print(len(s.devices))\n"
              "try: kc.Session(sim_chain='nosuch', lib=%r)\n"
              "except kc.UsageError as e: print(e.reason)\n") % (plugin, plugin)
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                          timeout=60, cwd=tmp_path, env=dict(os.environ, PYTHONPATH=str(site)))
    assert done.returncode == 0, done.stderr
    found, missing = done.stdout.splitlines()
    assert found == "3"
    assert missing.startswith("no chain file nosuch here, nor nosuch.chain in %s, "
                              % os.path.realpath(chains)), missing
    assert "/usr/share/quorbit-sim" in missing and "moved-only" in missing
