# SPDX-License-Identifier: Apache-2.0
"""diagnose on healthy and faulty boards; SVF from a path and from file objects, against cse-host."""

import io

import koraven_cse as kc
import pytest

from conftest import cse_host

BOARD_SVF = """TRST OFF;
ENDIR IDLE;
ENDDR IDLE;
STATE RESET;
STATE IDLE;
SDR 65 TDI(0) TDO(02A381DFE4F463DFE) MASK(1FFFFFFFFFFFFFFFF);
HIR 4 TDI(F);
TIR 6 TDI(3F);
HDR 1 TDI(0);
TDR 1 TDI(0);
SIR 8 TDI(22) TDO(01) MASK(03);
SDR 24 TDI(C0FFEE);
SDR 24 TDI(000000) TDO(C0FFEF) MASK(FFFFFF);
SDR 24 TDI(000000) TDO(000000) MASK(FFFFFF);
SDR 24 TDI(000000) TDO(000001) MASK(000001);
"""


@pytest.mark.parametrize("fault, check, verdict", [
    (None, "tdo", "ok"),
    ("tdo-stuck-0", "tdo", "fault"),
    ("tdo-stuck-1", "tdo", "fault"),
    ("tdo-echoes-tdi", "tdo", "fault"),
    ("open-after=1", "tdo", "fault"),
    ("ir-capture=1:0x00", "ir-length", "fault"),
])
def test_diagnose_finds_the_board_fault(fault, check, verdict):
    with kc.Session(sim_board_fault=fault) as session:
        checks = {c.name: c for c in session.diagnose()}
    expected = {c["name"]: c for c in cse_host(*(["--sim-board-fault", fault] if fault else []),
                                               "diagnose", check=False)["results"][0]["checks"]}
    assert checks[check].verdict == verdict, checks[check].reason
    verdicts = lambda pairs: {n: v for n, v in pairs if n != "link"}  # link: timing, not the board
    assert verdicts((n, c.verdict) for n, c in checks.items()) == \
        verdicts((n, c["verdict"]) for n, c in expected.items())
    assert all(c.reason for c in checks.values())
    # Counts are ints and measurements floats, in Python as in cse-host's JSON.
    for name, c in checks.items():
        for figure, value in c.figures.items():
            assert type(value) is type(expected[name]["figures"][figure]), (name, figure)
    if fault is None:
        assert type(checks["ir-length"].figures["irPathBits"]) is int
        assert checks["ir-length"].figures["irPathBits"] == 18
        assert type(checks["link"].figures["roundTripMs"]) is float


def test_a_faulty_board_opens_but_its_device_list_raises():
    with kc.Session(sim_board_fault="tdo-stuck-1") as session:
        assert session.scan_problem
        with pytest.raises(kc.CseError):
            session.devices


@pytest.mark.parametrize("source", ["path", "text file", "binary file"])
def test_svf_keep_going_lists_every_mismatch_as_cse_host(source, tmp_path):
    path = tmp_path / "board.svf"
    path.write_text(BOARD_SVF)
    host = cse_host("svf", "--keep-going", str(path), check=False)
    progress = []
    with kc.Session() as session:
        played = {"path": lambda: session.svf(path, keep_going=True, progress=lambda d, t: progress.append(d)),
                  "text file": lambda: session.svf(io.StringIO(BOARD_SVF), keep_going=True),
                  "binary file": lambda: session.svf(io.BytesIO(BOARD_SVF.encode()), keep_going=True)}
        result = played[source]()
    assert not result.ok and result.outcome == "mismatch"
    assert (result.scans, result.checks, result.mismatch_count) == (6, 5, 2)
    assert [(m.line, m.command, m.expected, m.read, m.first_bit) for m in result.mismatches] == \
        [(13, "SDR 24", "C0FFEF", "C0FFEE", 0), (15, "SDR 24", "000001", "000000", 0)]
    assert host["exitStatus"] == 1
    assert "%d scans, %d TDO checks, %d mismatches" % (result.scans, result.checks, 2) in str(host)
    if source == "path":
        assert progress and progress[-1] == len(BOARD_SVF)


def test_svf_malformed_is_a_usage_error_with_file_and_line():
    with kc.Session() as session:
        with pytest.raises(kc.UsageError, match=r"board\.svf:2"):
            session.svf(NamedStringIO("STATE RESET;\nSDR 8 TDX(00);\n", "board.svf"))


class NamedStringIO(io.StringIO):
    def __init__(self, text, name):
        super().__init__(text)
        self.name = name
