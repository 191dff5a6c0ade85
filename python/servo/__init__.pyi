import os
from types import TracebackType
from typing import Optional, Type, TypeVar, Union

_Path = Union[str, bytes, os.PathLike[str], os.PathLike[bytes]]
_S = TypeVar("_S", bound="BaseServo")
_T = TypeVar("_T", bound="Servo")

COMMAND_DEVICE: str
STATUS_DEVICE: str

def width(position: int) -> int:
    """Pulse width in ns of a position: position * 1000000 / 256 + 1000000, truncated."""

class BaseServo:
    """A servo commanded by position, without ramps or done notices."""
    def __init__(self, initial: int = 0, *, command: Optional[_Path] = None) -> None:
        """Open the command device and send initial as an 'N' record.
        Raises OSError (FileNotFoundError, ...) naming the device."""
    def set(self, position: int) -> None:
        """Send an 'N' record with the width of position; position is left alone."""
    step_width: int
    """Positions moved by move_left/move_right, 1..19 (ValueError otherwise)."""
    @property
    def position(self) -> int:
        """The stepping position, 0 at first."""
    def move_left(self) -> int:
        """Step down by step_width if the result is >= 0; send it ('N'); return it."""
    def move_right(self) -> int:
        """Step up by step_width if the result is <= 255; send it ('N'); return it."""
    def close(self) -> None:
        """Close the devices; closing twice is harmless. Later calls raise ValueError."""
    @property
    def closed(self) -> bool: ...
    def __enter__(self: _S) -> _S: ...
    def __exit__(self, exc_type: Optional[Type[BaseException]], exc: Optional[BaseException],
                 tb: Optional[TracebackType]) -> bool: ...

class Servo:
    """A servo that can also ramp and report when a ramp is done."""
    def __init__(self, initial: int = 0, *, command: Optional[_Path] = None,
                 status: Optional[_Path] = None) -> None:
        """Open both devices and send position 0 twice, as a new timed servo does;
        initial is accepted and not sent."""
    def set(self, position: int) -> None:
        """Send an 'N' record with the width of position; position is left alone."""
    step_width: int
    """Positions moved by move_left/move_right, 1..19 (ValueError otherwise)."""
    @property
    def position(self) -> int:
        """The stepping position, 0 at first."""
    def move_left(self) -> int:
        """Step down by step_width if the result is >= 0; send it ('N'); return it."""
    def move_right(self) -> int:
        """Step up by step_width if the result is <= 255; send it ('N'); return it."""
    def move(self, start: int, end: int, duration: int) -> None:
        """Send a 'T' record: ramp from start to end; duration 0 is one step.
        With 50 Hz frames, a duration of 10 is about one second."""
    def is_done(self) -> bool:
        """Read one status byte without blocking: True if it was 'D'."""
    def wait_done(self, timeout_ms: Optional[int] = None) -> bool:
        """Wait for 'D': True once read, False after timeout_ms (None: no limit).
        Releases the GIL; Ctrl-C raises KeyboardInterrupt."""
    def close(self) -> None:
        """Close the devices; closing twice is harmless. Later calls raise ValueError."""
    @property
    def closed(self) -> bool: ...
    def __enter__(self: _T) -> _T: ...
    def __exit__(self, exc_type: Optional[Type[BaseException]], exc: Optional[BaseException],
                 tb: Optional[TracebackType]) -> bool: ...
