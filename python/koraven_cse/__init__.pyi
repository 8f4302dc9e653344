# Type stub of koraven_cse for editors and type checkers; the docstrings are in the module itself.
import os
from types import TracebackType
from typing import IO, Callable, Dict, List, Optional, Sequence, Type, TypeVar, Union, overload

__version__: str
git_commit: str

_Bits = Union[bytes, bytearray, memoryview]
_Path = Union[str, os.PathLike[str]]
_S = TypeVar("_S", bound="Session")

class CseError(Exception):
    reason: str
    def __init__(self, reason: str) -> None: ...

class UsageError(CseError): ...
class LinkError(CseError): ...

class Device:
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
    file: str
    line: int
    command: str
    expected: str
    read: str
    mask: str
    first_bit: int

class SvfResult:
    outcome: str
    statements: int
    scans: int
    checks: int
    mismatch_count: int
    mismatches: List[Mismatch]
    @property
    def ok(self) -> bool: ...
    def __bool__(self) -> bool: ...

class Check:
    name: str
    verdict: str
    reason: str
    figures: Dict[str, float]

class Session:
    def __init__(
        self,
        node: Optional[str] = None,
        port: Optional[int] = None,
        lib: Optional[_Path] = None,
        irlen: Union[Sequence[int], str, None] = None,
        timeout: Optional[int] = None,
        packlen: Optional[int] = None,
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
    ) -> bool: ...
    def close(self) -> None: ...
    @property
    def closed(self) -> bool: ...
    @property
    def devices(self) -> List[Device]: ...
    @property
    def front_end(self) -> str: ...
    @property
    def embedded(self) -> bool: ...
    @property
    def scan_problem(self) -> Optional[str]: ...
    @property
    def ir_length_problem(self) -> Optional[str]: ...
    @property
    def tap_state(self) -> str: ...
    def idcode(self, dev: int) -> int: ...
    @overload
    def irscan(self, dev: int, value: int) -> int: ...
    @overload
    def irscan(self, dev: int, value: _Bits) -> bytes: ...
    @overload
    def drscan(self, dev: int, value: int, bits: int) -> int: ...
    @overload
    def drscan(self, dev: int, value: _Bits, bits: Optional[int] = None) -> bytes: ...
    @overload
    def irscan_chain(self, value: int, bits: int) -> int: ...
    @overload
    def irscan_chain(self, value: _Bits, bits: Optional[int] = None) -> bytes: ...
    @overload
    def drscan_chain(self, value: int, bits: int) -> int: ...
    @overload
    def drscan_chain(self, value: _Bits, bits: Optional[int] = None) -> bytes: ...
    def state(self, name: str, clocks: int = 0, wait_us: int = 0) -> str: ...
    def reset(self) -> None: ...
    def svf(
        self,
        path_or_file: Union[_Path, IO[str], IO[bytes]],
        keep_going: bool = False,
        progress: Optional[Callable[[int, int], object]] = None,
    ) -> SvfResult: ...
    def diagnose(self) -> List[Check]: ...
