# SPDX-License-Identifier: Apache-2.0
"""Exceptions and their messages: the caller's mistakes on an open session, a closed session."""

import koraven_cse as kc
import pytest


@pytest.fixture(scope="module")
def session():
    with kc.Session() as opened:  # the demo chain: devices 0 (IR 6), 1 (IR 8), 2 (no IDCODE)
        yield opened


@pytest.mark.parametrize("call, error, message", [
    (lambda s: s.state("NOWHERE"), kc.UsageError, "unknown TAP state 'NOWHERE'"),
    (lambda s: s.idcode(7), kc.UsageError, "device 7 is out of range: the chain has 3 devices (0..2)"),
    (lambda s: s.idcode(2), kc.CseError, "device 2 has no IDCODE register"),
    (lambda s: s.irscan(1, 0x100), kc.UsageError, "0x100 does not fit in 8 bits"),
    (lambda s: s.irscan(1, -1), kc.UsageError, "a negative value cannot be shifted: -1"),
    (lambda s: s.irscan(9, 0), kc.UsageError, "device 9 is out of range"),
    (lambda s: s.drscan(1, 0, 0), kc.UsageError, "the bit count must be at least 1"),
    (lambda s: s.drscan(1, 5), kc.UsageError, "drscan of an int needs bits"),
    (lambda s: s.drscan_chain(5), kc.UsageError, "a chain scan of an int needs bits"),
    (lambda s: s.drscan_chain(b"\x00", 9), kc.UsageError, "9 bits take 2 bytes, the value has 1"),
    (lambda s: s.drscan_chain(b"\x80", 7), kc.UsageError, "the value has bits set above bit 6"),
    (lambda s: s.irscan_chain(0, 122817), kc.UsageError, "122816"),
    (lambda s: s.drscan_chain("text", 8), TypeError, ""),
    (lambda s: s.svf("/nonexistent/board.svf"), FileNotFoundError, "/nonexistent/board.svf"),
    (lambda s: s.svf("/"), IsADirectoryError, "'/'"),
    (lambda s: s.idcode(-1), kc.UsageError, "dev must be 0..4294967295, not -1"),
    (lambda s: s.idcode("1"), TypeError, "dev must be an int, not str"),
    (lambda s: s.drscan(1, 0, -8), kc.UsageError, "bits must be 0..4294967295, not -8"),
    (lambda s: s.drscan_chain(0, -1), kc.UsageError, "bits must be 0..4294967295, not -1"),
    (lambda s: s.state("IDLE", -3), kc.UsageError, "clocks must be 0..4294967295, not -3"),
    (lambda s: s.state("IDLE", 0, -1), kc.UsageError, "wait_us must be 0..4294967295, not -1"),
])
def test_usage_errors_name_the_problem(session, call, error, message):
    with pytest.raises(error) as raised:
        call(session)
    assert message in str(raised.value)
    if issubclass(error, kc.CseError):
        assert raised.value.reason == str(raised.value)
    if error is kc.UsageError:
        assert isinstance(raised.value, ValueError)  # caught where Python's own would be


def test_drscan_is_refused_until_an_irscan_put_the_others_in_bypass(session):
    session.reset()
    with pytest.raises(kc.CseError, match="irscan"):
        session.drscan(1, 0, 32)
    assert session.irscan(1, 0x0E) == 0x01
    assert session.drscan(1, 0, 32) == 0x27A31EFF


def test_one_session_per_process(session):
    with pytest.raises(kc.UsageError, match="another koraven_cse.Session is open"):
        kc.Session()
