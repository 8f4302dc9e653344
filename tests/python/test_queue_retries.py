# SPDX-License-Identifier: Apache-2.0
"""retries= after a failed call, and Session.queue(): against quorbit-sim in its own process,
restarted in the middle of the work, and against the embedded one."""

import contextlib
import logging
import re

import pytest

import koraven_cse as kc


def restart(quorbit_sim, sim):
    """The front end restarts on its port: the next call fails and the plug-in resets the TAP."""
    sim.stop()
    return quorbit_sim(port=sim.port)


def test_scans_with_retries_load_the_instruction_again(quorbit_sim, caplog):
    sim = quorbit_sim()
    with kc.Session(node="127.0.0.1", port=sim.port, timeout=1) as s:
        s.irscan(1, 0x22)
        s.drscan(1, 0xC0FFEE, 24)
        restart(quorbit_sim, sim)
        with caplog.at_level(logging.WARNING, logger="koraven_cse"):
            assert s.drscan(1, 0x123456, 24, retries=1) == 0  # the new register starts empty
        assert s.drscan(1, 0, 24) == 0x123456
        repeated = [r.getMessage() for r in caplog.records if "played again" in r.getMessage()]
        assert repeated == ["drscan of device 1 (24 bits) failed (the DR shift of device 1 "
                            "failed); played again (1 of 1) after loading irscan of device 1 "
                            "(8 bits) again"]


HEAD = "HIR 4 TDI(F);\nTIR 6 TDI(3F);\nHDR 1 TDI(0);\nTDR 1 TDI(0);\nSIR 8 TDI(22);\n"
WRITE = "SDR 24 TDI(C0FFEE);\n"


@pytest.mark.parametrize("retries", [0, 1])
def test_svf_with_retries_plays_the_failed_statement_again(quorbit_sim, tmp_path, caplog,
                                                            retries):
    """The front end restarts at the first progress report (64 KiB into the file), so the
    statement after it is the first call that fails."""
    text = HEAD + WRITE * 4000 + "SDR 24 TDI(0) TDO(C0FFEE);\n"
    first_report = next(line for line in range(6, 4006)
                        if len(HEAD) + (line - 5) * len(WRITE) >= 65536)
    path = tmp_path / "board.svf"
    path.write_text(text)
    sims = [quorbit_sim()]

    def progress(done, total):
        if done < total and len(sims) == 1:
            sims.append(restart(quorbit_sim, sims[0]))

    with kc.Session(node="127.0.0.1", port=sims[0].port, timeout=1) as s:
        failing = "%s:%d: SDR 24: the DR shift failed" % (path, first_report + 1)
        if retries == 0:
            with pytest.raises(kc.CseError, match=re.escape(failing)):
                s.svf(path, progress=progress)
            return
        with caplog.at_level(logging.WARNING, logger="koraven_cse"):
            result = s.svf(path, progress=progress, retries=retries)
        assert result.ok and result.repetitions == 1 and result.checks == 1
        assert [r.getMessage() for r in caplog.records if "played again" in r.getMessage()] == [
            failing + "; played again (1 of 1) after loading the SIR of line 5 again"]


def test_queue_gives_what_the_calls_one_by_one_give():
    def calls(target):
        return [target.irscan(1, 0x22), target.drscan(1, 0xC0FFEE, 24),
                target.drscan(1, bytes([0x56, 0x34, 0x12]), 24), target.state("PAUSE_DR", 3),
                target.drscan(1, 0, 24), target.irscan_chain(0x3FFFF, 18),
                target.drscan_chain(b"\xff", 8)]

    with kc.Session() as s:
        expected = calls(s)
        s.reset()
        with s.queue() as q:
            queued = calls(q)
            with pytest.raises(kc.UsageError, match="no result yet"):
                queued[0].value
        assert [r.value for r in queued] == expected
        assert expected[2] == b"\xee\xff\xc0" and expected[4] == 0x123456
        assert all(r.done for r in queued) and len(q) == 7 and s.tap_state == "RUN_TEST_IDLE"


def test_queue_errors_name_the_item_and_what_was_done(quorbit_sim):
    sim = quorbit_sim()
    with kc.Session(node="127.0.0.1", port=sim.port, timeout=1) as s:
        with pytest.raises(RuntimeError):
            with s.queue() as q:
                dropped = q.irscan(1, 0x22)
                raise RuntimeError("the block raised")
        with pytest.raises(kc.UsageError, match="the with block raised"):
            dropped.value
        with pytest.raises(kc.UsageError, match="device 1 comes before any IR scan") as refused:
            with s.queue() as q:
                q.drscan(1, 0, 24)
        assert refused.value.item == 0
        with pytest.raises(kc.UsageError, match="device 7 is out of range"):
            s.queue().drscan(7, 0, 24)
        for retries in (0, 1):
            sim = restart(quorbit_sim, sim)  # the queue's raw shift is the first call to fail
            with pytest.raises(kc.CseError) if retries == 0 else contextlib.nullcontext():
                with s.queue(retries=retries) as q:
                    loaded = q.irscan(1, 0x22)
                    written = q.drscan(1, 0xC0FFEE, 24)
                    read = q.drscan(1, 0, 24)
            if retries == 0:
                with pytest.raises(kc.CseError, match="queue item 2 was not carried out: the "
                                                      "queue failed at item 0"):
                    read.value
                assert not loaded.done
                continue
            assert (loaded.value, written.value, read.value) == (1, 0, 0xC0FFEE)
