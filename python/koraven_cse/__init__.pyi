# Type stub of koraven_cse for editors and type checkers, with the module's own docstrings so that
# an editor shows them on hover.
"""Drive a KORAVEN in-circuit debugger as a JTAG cable from Python.

    import koraven_cse as kc
    with kc.Session() as s:                 # embedded quorbit-sim with the demo chain
        for dev in s.devices:
            print(dev)
        print(hex(s.idcode(1)))

The plug-in's log lines go to the logger "koraven_cse" (its level 1 as WARNING, 2 as INFO, 3 as
DEBUG, 4 as level 5).
"""
import os
from types import TracebackType
from typing import IO, Callable, Dict, List, Optional, Sequence, Type, TypeVar, Union, overload

__version__: str
git_commit: str

_Bits = Union[bytes, bytearray, memoryview]
_Path = Union[str, os.PathLike[str]]
_S = TypeVar("_S", bound="Session")
_Q = TypeVar("_Q", bound="Queue")

class CseError(Exception):
    """An operation failed: the plug-in, the chain or the debugger refused it.

    ``reason`` holds the one-line reason, with the plug-in's own error lines after it; ``item``
    the index of the first item that failed when a Queue ran, else None.
    """

    reason: str
    item: Optional[int]
    def __init__(self, reason: str) -> None: ...

class UsageError(CseError, ValueError):
    """The caller's input was wrong: a device number, a bit count, a value, a state name, an
    option. Also a ValueError."""

class LinkError(CseError):
    """The debugger's front end did not answer, or the link to it failed."""

class Device:
    """One device of the scan chain; device 0 is the one nearest TDI.

    ``idcode`` is None for a device that answered the scan with a BYPASS bit (it has no IDCODE),
    and so are its fields. ``irlen`` is None while the IR lengths are unknown. ``manufacturer`` is
    the JEP106 code of IDCODE bits 11..1; ``bank`` counts from 1. ``openocd_position`` is where
    OpenOCD lists the same device (it counts from TDO).
    """

    index: int
    idcode: Optional[int]
    irlen: Optional[int]
    manufacturer: Optional[int]
    part: Optional[int]
    version: Optional[int]
    openocd_position: int
    bank: Optional[int]
    id: Optional[int]

class Mismatch:
    """A TDO check of an SVF file that failed: ``expected``, ``read`` and ``mask`` in hex as
    cse-host prints them; ``first_bit`` is the first differing bit, counted from the first bit
    shifted; ``played_after`` statements after it (up to ``played_up_to_line``) went to the cable
    in the same raw shift before its TDO was back."""

    file: str
    line: int
    command: str
    expected: str
    read: str
    mask: str
    first_bit: int
    played_after: int
    played_up_to_line: int

class SvfResult:
    """What playing an SVF file gave.

    ``outcome`` is "passed" or "mismatch"; ``ok`` (and the result in a condition) is True exactly
    when every check passed. ``statements`` counts the statements that act on the cable (SIR,
    SDR, RUNTEST, STATE, TRST; not HIR, HDR, TIR, TDR, ENDIR, ENDDR, FREQUENCY), ``scans`` the SIR
    and SDR, ``checks`` the scans that gave TDO, ``mismatch_count`` the failed checks
    (``mismatches`` keeps the first 1,000); ``repetitions`` the statements or queues played
    again after a failed call.
    """

    outcome: str
    statements: int
    scans: int
    checks: int
    mismatch_count: int
    mismatches: List[Mismatch]
    repetitions: int
    @property
    def ok(self) -> bool:
        """True exactly when every TDO check passed."""
    def __bool__(self) -> bool: ...

class Check:
    """One verdict of Session.diagnose(): ``verdict`` is "ok", "warning" or "fault";
    ``figures`` holds counts as int ("devices", "irPathBits", ...) and times and rates as float
    ("roundTripMs", "throughputMbitPerSecond")."""

    name: str
    verdict: str
    reason: str
    figures: Dict[str, Union[int, float]]

class Session:
    """One use of the JTAG cable: the plug-in loaded, the target opened, locked and its chain
    scanned, until close() (or the end of a ``with`` block).

    Without node and port it runs quorbit-sim inside the process (the demo chain or
    ``sim_chain``, board faults from ``sim_board_fault``); with ``node`` (port 20000 unless given)
    or ``port`` it opens the debugger's front end there. ``lib`` is the plug-in file (default:
    CSE_HOST_PLUGIN, else the plug-in installed beside the module). ``irlen`` gives the IR
    lengths, device 0 first. ``timeout`` (seconds, 1..3600), ``packlen`` (16..1472) and
    ``hostport`` (the local UDP port) set the link's argument keys of the same names.

    Raises UsageError (a ValueError) for wrong arguments, TypeError for one of the wrong type,
    LinkError when the front end does not answer, CseError when the plug-in fails.
    """

    def __init__(
        self,
        node: Optional[str] = None,
        port: Optional[int] = None,
        lib: Optional[_Path] = None,
        irlen: Union[Sequence[int], str, None] = None,
        timeout: Optional[int] = None,
        packlen: Optional[int] = None,
        hostport: Optional[int] = None,
        sim_chain: Optional[_Path] = None,
        sim_board_fault: Union[str, Sequence[str], None] = None,
        shifts: Optional[str] = None,
    ) -> None: ...
    def __enter__(self: _S) -> _S: ...
    def __exit__(
        self,
        exc_type: Optional[Type[BaseException]],
        exc: Optional[BaseException],
        tb: Optional[TracebackType],
    ) -> bool:
        """Closes the session (unlock, close, disconnect), also when the block raised."""
    def close(self) -> None:
        """Unlocks, closes and disconnects; calling it again does nothing. Raises CseError when
        releasing the TAP on the debugger failed."""
    @property
    def closed(self) -> bool:
        """True once closed."""
    @property
    def devices(self) -> List[Device]:
        """The devices of the chain, device 0 nearest TDI; CseError when the scan failed."""
    @property
    def front_end(self) -> str:
        """"HOST:PORT" of the front end (or the embedded emulator)."""
    @property
    def embedded(self) -> bool:
        """True when the session runs against its own quorbit-sim."""
    @property
    def scan_problem(self) -> Optional[str]:
        """Why the device list cannot be trusted, or None."""
    @property
    def ir_length_problem(self) -> Optional[str]:
        """Why the IR lengths are unknown, or None."""
    @property
    def tap_state(self) -> str:
        """The TAP state the plug-in records, e.g. "RUN_TEST_IDLE"."""
    def idcode(self, dev: int, *, retries: int = 0) -> int:
        """Resets the TAP and reads the IDCODE of device ``dev`` (0 = nearest TDI)."""
    @overload
    def irscan(self, dev: int, value: int, *, retries: int = 0) -> int:
        """Shifts ``value`` into the IR of device ``dev`` (its IR length in bits), every other
        device in BYPASS; returns the captured bits. Ends in Run-Test/Idle. ``retries``: after a
        failed call, load the instruction last loaded again (an irscan, or a TAP reset) and make
        the call again, at most that many times, each logged as a warning."""
    @overload
    def irscan(self, dev: int, value: _Bits, *, retries: int = 0) -> bytes: ...
    @overload
    def drscan(self, dev: int, value: int, bits: int, *, retries: int = 0) -> int:
        """Shifts ``bits`` bits of ``value`` through the DR of device ``dev``, one bypass bit for
        each other device; returns the captured bits. Refused until an irscan has put the others
        in BYPASS."""
    @overload
    def drscan(
        self, dev: int, value: _Bits, bits: Optional[int] = None, *, retries: int = 0
    ) -> bytes: ...
    @overload
    def irscan_chain(self, value: int, bits: int, *, retries: int = 0) -> int:
        """Shifts ``bits`` bits of ``value`` through the whole IR path (at most 122,816)."""
    @overload
    def irscan_chain(self, value: _Bits, bits: Optional[int] = None, *, retries: int = 0) -> bytes: ...
    @overload
    def drscan_chain(self, value: int, bits: int, *, retries: int = 0) -> int:
        """Shifts ``bits`` bits of ``value`` through the whole DR path; bytes are read and
        written in place."""
    @overload
    def drscan_chain(self, value: _Bits, bits: Optional[int] = None, *, retries: int = 0) -> bytes: ...
    def state(self, name: str, clocks: int = 0, wait_us: int = 0, *, retries: int = 0) -> str:
        """Moves the TAP to ``name`` ("PAUSE_DR", "CSEJTAG_PAUSE_DR", "Pause-DR", "DRPAUSE",
        ...), clocks ``clocks`` more cycles there and waits ``wait_us`` microseconds; returns the
        state reached as cse-host prints it, e.g. "PAUSE_DR"."""
    def reset(self) -> None:
        """TMS reset, then Run-Test/Idle: every device selects IDCODE (or BYPASS)."""
    def svf(
        self,
        path_or_file: Union[_Path, IO[str], IO[bytes]],
        keep_going: bool = False,
        progress: Optional[Callable[[int, int], object]] = None,
        *,
        check_each: bool = False,
        retries: int = 0,
    ) -> SvfResult:
        """Plays an SVF file (a path or a file object) through the whole chain and checks every
        TDO. FileNotFoundError (or another OSError) for a path that cannot be opened,
        UsageError for a malformed file, CseError when the plug-in fails. With shifts="merged"
        statements are queued into raw shifts; ``check_each`` checks each scan before the next
        statement; ``retries`` plays a failed statement or queue again after loading the last
        SIR again."""
    def queue(self, *, retries: int = 0) -> Queue:
        """A Queue of this session's scans and navigations, sent together as few raw shifts as
        their lengths allow when it runs (at the end of its ``with`` block)."""
    def diagnose(self) -> List[Check]:
        """Board bring-up checks (tdo, device-count, ir-length, idcode, link), each a Check."""


class Queued:
    """The result of one item of a Queue, filled when the queue has run."""

    index: int
    @property
    def value(self) -> Union[int, bytes, str]:
        """The captured bits (int or bytes, as the value given) or the state reached;
        UsageError before the queue has run, CseError when it failed before this item."""
    @property
    def done(self) -> bool:
        """True once the item was carried out."""


class Queue:
    """Scans and navigations of a Session sent together (Session.queue()). Its calls take the
    Session's arguments and return Queued results; the queue runs at the end of its ``with``
    block (nothing is sent when the block raises) or at run(). A failure raises CseError whose
    ``item`` is the index of the first item that failed; the items before it keep their results.
    """

    def __enter__(self: _Q) -> _Q: ...
    def __exit__(
        self,
        exc_type: Optional[Type[BaseException]],
        exc: Optional[BaseException],
        tb: Optional[TracebackType],
    ) -> bool: ...
    def run(self) -> None: ...
    def __len__(self) -> int: ...
    def irscan(self, dev: int, value: Union[int, _Bits]) -> Queued: ...
    def drscan(self, dev: int, value: Union[int, _Bits], bits: Optional[int] = None) -> Queued: ...
    def irscan_chain(self, value: Union[int, _Bits], bits: Optional[int] = None) -> Queued: ...
    def drscan_chain(self, value: Union[int, _Bits], bits: Optional[int] = None) -> Queued: ...
    def state(self, name: str, clocks: int = 0, wait_us: int = 0) -> Queued: ...
