# SPDX-License-Identifier: Apache-2.0
"""The values koraven_cse returns: plain, immutable records."""

from dataclasses import dataclass, field
from typing import Dict, List, Optional, Union


@dataclass(frozen=True)
class Device:
    """One device of the scan chain; device 0 is the one nearest TDI.

    ``idcode`` is None for a device that answered the scan with a BYPASS bit (it has no IDCODE),
    and so are its fields. ``irlen`` is None while the IR lengths are unknown (see
    ``Session.ir_length_problem``). ``manufacturer`` is the JEP106 code of IDCODE bits 11..1
    (``(bank - 1) << 7 | id``, as OpenOCD prints it); ``bank`` counts from 1. ``openocd_position``
    is where OpenOCD lists the same device (it counts from TDO).
    """

    index: int
    idcode: Optional[int]
    irlen: Optional[int]
    manufacturer: Optional[int]
    part: Optional[int]
    version: Optional[int]
    openocd_position: int
    bank: Optional[int] = None
    id: Optional[int] = None

    def __repr__(self) -> str:
        code = "None" if self.idcode is None else "0x%08X" % self.idcode
        return "Device(index=%d, idcode=%s, irlen=%s, openocd_position=%d)" % (
            self.index, code, self.irlen, self.openocd_position)


@dataclass(frozen=True)
class Mismatch:
    """A TDO check of an SVF file that failed.

    ``expected``, ``read`` and ``mask`` are hex as cse-host prints them (the statement's own bits,
    or the whole shift when a header or trailer bit failed; a 256-bit window for long scans);
    ``first_bit`` is the first differing bit, counted from the first bit shifted.
    ``played_after`` counts the statements after it that went to the cable in the same raw shift
    before its TDO was back (queued playback with shifts="merged"; 0 otherwise), the last of
    them at ``played_up_to_line``.
    """

    file: str
    line: int
    command: str
    expected: str
    read: str
    mask: str
    first_bit: int
    played_after: int = 0
    played_up_to_line: int = 0


@dataclass(frozen=True)
class SvfResult:
    """What playing an SVF file gave.

    ``outcome`` is "passed" or "mismatch" (a TDO check failed; with keep_going at least one).
    A malformed file raises UsageError, a plug-in failure CseError. ``ok`` is True exactly when
    every check passed; so is the result itself, in a condition.

    ``statements`` counts the statements that act on the cable: SIR, SDR, RUNTEST, STATE and
    TRST. Those that only set what later ones use (HIR, HDR, TIR, TDR, ENDIR, ENDDR, FREQUENCY)
    are not counted, so a file of 15 statements may report 8. ``scans`` counts SIR and SDR,
    ``checks`` the scans that gave TDO, ``mismatch_count`` the checks that failed (all of them;
    ``mismatches`` keeps the first 1,000). ``repetitions`` counts the statements (or queues)
    played again after a failed call (``retries``).
    """

    outcome: str
    statements: int
    scans: int
    checks: int
    mismatch_count: int
    mismatches: List[Mismatch] = field(default_factory=list)
    repetitions: int = 0

    @property
    def ok(self) -> bool:
        return self.outcome == "passed"

    def __bool__(self) -> bool:
        return self.ok


@dataclass(frozen=True)
class Check:
    """One verdict of ``Session.diagnose()``: ``verdict`` is "ok", "warning" or "fault";
    ``figures`` holds its measured numbers by name: counts and lengths as int ("devices",
    "irPathBits", "irLength0", ...), times and rates as float ("roundTripMs",
    "throughputMbitPerSecond")."""

    name: str
    verdict: str
    reason: str
    figures: Dict[str, Union[int, float]] = field(default_factory=dict)
