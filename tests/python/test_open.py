# SPDX-License-Identifier: Apache-2.0
"""Opening: arguments that cannot work, a front end that is not there, the plug-in search."""

import socket

import koraven_cse as kc
import pytest


@pytest.mark.parametrize("arguments, error, message", [
    ({"node": "no-such-host.invalid"}, kc.LinkError, "cannot resolve host no-such-host.invalid"),
    ({"port": 70000}, kc.UsageError, "port must be 1..65535"),
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
