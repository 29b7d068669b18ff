"""Door-access controllers on a serial bus, from Python.

A :class:`Bus` is one serial line (a device path, ``socket://host:port`` or
``rfc2217://host:port``) with its controllers, each answering to a bus
address 0-255::

    import ostrel

    with ostrel.Bus("/dev/ttyUSB0") as bus:
        status = bus.status(20)
        print(status.record_count, status.clock)
        bus.open_lock(20, 1)
        for record in bus.collect(20):
            print(record.line)

Every method performs its exchanges at once and returns when they are done.
Methods that are only acknowledged return ``None``; every method raises
:class:`NoReply` when the controller's reply was not accepted,
:class:`DriverError` for a port or file failure, and :class:`ValueError`
for an argument refused before anything was sent.

Threads: exchanges release the GIL, so threads using different buses run in
parallel; threads sharing one bus take turns. From asyncio, run a call in a
worker thread: ``await asyncio.to_thread(bus.status, 20)``.
"""

from __future__ import annotations

import ctypes
import datetime as _dt
import threading
from typing import Callable, NamedTuple, Optional, Sequence, Tuple, Union

from . import _build, _native
from ._native import lib as _lib

__version__: str = _build.VERSION
__all__ = ["Bus", "Status", "Record", "OstrelError", "NoReply", "DriverError", "CollectError", "LOCK_TYPES",
           "__version__"]

#: Lock types by name; the controller also takes the numbers 0-7.
LOCK_TYPES = {"in-out": 0, "in": 1, "out": 2, "none": 3}

Progress = Callable[[int, int], None]


class OstrelError(Exception):
    """The base of the errors this package raises (ValueError aside)."""


class NoReply(OstrelError):
    """The controller's reply was not accepted.

    ``reason`` is one of "silent", "short", "another address", "echo"; the
    message says which controller, on which device, within what time.
    """

    def __init__(self, reason: str, message: str) -> None:
        super().__init__(message)
        self.reason = reason


class DriverError(OstrelError):
    """A failure raised by the driver: ``number`` and ``description``
    (a port that cannot be opened, a line setting that is not valid, ...)."""

    def __init__(self, number: int, description: str) -> None:
        super().__init__(f"error {number}: {description}")
        self.number = number
        self.description = description


class CollectError(OstrelError):
    """A download that failed its checks on every attempt, or a collection
    that would not clear the controller; every record is still on the
    controller. ``records`` holds only records that passed every check and
    were already kept by the ``durable`` step (empty otherwise)."""

    def __init__(self, message: str, records: list) -> None:
        super().__init__(message)
        self.records = records


class Status:
    """A controller's status block."""

    __slots__ = ("address", "record_count", "lock_delays", "lock_delay_units", "clock", "weekday", "version")

    def __init__(self, c: _native.CStatus) -> None:
        # One unpack of the C struct instead of a ctypes lookup per field.
        (address, count, units1, units2, clock_valid, year, month, day, hour, minute, second, weekday,
         version, _raw) = _native.STATUS_LAYOUT.unpack_from(c)
        #: The controller's bus address.
        self.address: int = address
        #: Swipe records the controller holds.
        self.record_count: int = count
        #: Open delay of lock 1 and lock 2 in whole seconds.
        self.lock_delays: Tuple[int, int] = (round(units1 / 14), round(units2 / 14))
        #: The same in the controller's 1/14 s units.
        self.lock_delay_units: Tuple[int, int] = (units1, units2)
        #: The controller's clock; None when it holds no valid date and time.
        self.clock: Optional[_dt.datetime] = (_dt.datetime(year, month, day, hour, minute, second)
                                              if clock_valid else None)
        #: Weekday 0 (Sunday) to 6 (Saturday); -1 when unknown.
        self.weekday: int = weekday
        #: Firmware version, e.g. "1.02".
        self.version: str = _text(version)

    def __repr__(self) -> str:
        return (f"Status(address={self.address}, record_count={self.record_count}, "
                f"lock_delays={self.lock_delays}, clock={self.clock!r}, weekday={self.weekday}, "
                f"version={self.version!r})")


class Record(NamedTuple):
    """One swipe record.

    A tuple underneath, so that a download of many records is cheap to hand
    over; two records are equal when their 11 bytes are.
    """

    #: Byte 0 of the record: the controller's address.
    address: int
    #: The card's logical number, six characters.
    card: str
    #: When the card was presented (to the minute); None when the record holds no valid date and time.
    time: Optional[_dt.datetime]
    code_a: str
    code_b: str
    #: The swipe-record line: address|card|YYYY-MM-DD|hh:mm|code_a|code_b.
    line: str
    #: The record's 11 bytes as received.
    raw: bytes

    def __repr__(self) -> str:
        return f"Record({self.line!r})"

    def to_dict(self) -> dict:
        """The record as JSON-ready values, as the command line and the site
        service give them: ``{"address": 20, "card": "000123", "time":
        "2026-12-07T08:00", "code_a": "01", "code_b": "1A", "line": ...}``,
        the codes as the line writes them, absent fields None."""
        fields = (self.line.split("|") + [""] * 6)[:6]
        return {"address": self.address, "card": self.card or None,
                "time": f"{fields[2]}T{fields[3]}" if fields[2] else None,
                "code_a": self.code_a or None, "code_b": self.code_b or None, "line": self.line}

    def __eq__(self, other: object) -> bool:
        return isinstance(other, Record) and self.raw == other.raw

    def __ne__(self, other: object) -> bool:
        return not self == other

    def __hash__(self) -> int:
        return hash(self.raw)


def _text(field: bytes) -> str:
    """A NUL-terminated C text field."""
    end = field.find(b"\0")
    return (field if end < 0 else field[:end]).decode("ascii", "replace")


def _records(array, count: int) -> list:
    if not count:
        return []
    # The whole array is copied out once and unpacked in C; the card and
    # codes are the line's fields, so one text per record is decoded.
    data = ctypes.string_at(array, count * _native.RECORD_LAYOUT.size)
    out = []
    append = out.append
    make = tuple.__new__
    dt = _dt.datetime
    for raw, leading, _card, time_valid, year, month, day, hour, minute, _second, _a, _b, line in \
            _native.RECORD_LAYOUT.iter_unpack(data):
        end = line.find(b"\0")
        text = (line if end < 0 else line[:end]).decode("ascii", "replace")
        fields = text.split("|")
        append(make(Record, (leading, fields[1], dt(year, month, day, hour, minute) if time_valid else None,
                             fields[4], fields[5], text, raw)))
    return out


_INT_MIN, _INT_MAX = -(2 ** 31), 2 ** 31 - 1


def _int(value: object, name: str) -> int:
    if isinstance(value, bool) or not isinstance(value, int):
        raise ValueError(f"{name}: must be an integer, not {type(value).__name__}")
    if not _INT_MIN <= value <= _INT_MAX:
        raise ValueError(f"{name}: {value} is out of range")
    return value


def _text_argument(value: object, name: str) -> None:
    # Checked before the text reaches C, where a NUL byte would cut it short.
    if not isinstance(value, str):
        raise TypeError(f"{name}: must be a str, not {type(value).__name__}")
    if "\0" in value:
        raise ValueError(f"{name}: contains a NUL byte")


def _callback(value: object, name: str) -> None:
    if value is not None and not callable(value):
        raise TypeError(f"{name}: must be callable or None, not {type(value).__name__}")


def _lock_type(value: Union[str, int], name: str) -> int:
    if isinstance(value, str):
        if value not in LOCK_TYPES:
            raise ValueError(f"{name}: use in-out, in, out, none or 0-7, not {value!r}")
        return LOCK_TYPES[value]
    return _int(value, name)


def _digits(value: Union[str, int], name: str) -> bytes:
    if isinstance(value, int) and not isinstance(value, bool) and value >= 0:
        value = str(value)
    if not isinstance(value, str) or not value.isascii():
        raise ValueError(f"{name}: must be a string of digits")
    return value.encode("ascii")


class Bus:
    """One serial bus of controllers.

    ``device`` is a path ("/dev/ttyUSB0") or a URL ("socket://host:port",
    "rfc2217://host:port"); ``settings`` the line settings
    "baud,parity,data,stop", with ",echo" added for adapters that hear their
    own transmission. A local device is opened here (:class:`DriverError`
    when it does not exist or cannot be opened); a URL connects on the first
    exchange. The port stays open until :meth:`close` (or the end of a
    ``with`` block). A device or settings that are not text raise
    :class:`TypeError`; an empty device or a NUL byte :class:`ValueError`.
    """

    def __init__(self, device: str, settings: str = "9600,n,8,1") -> None:
        self._handle: Optional[int] = None
        self._calls = 0
        self._closing = False
        self._lock = threading.Lock()
        self._idle = threading.Condition(self._lock)
        _text_argument(device, "device")
        _text_argument(settings, "settings")
        if not device:
            raise ValueError("device: is empty: name a device path or a socket:// or rfc2217:// URL")
        handle = ctypes.c_void_p()
        rc = _lib.ostrel_open(device.encode(), settings.encode(), ctypes.byref(handle))
        if rc != _native.OK:
            raise self._error(rc, None)
        self._handle = handle.value
        self.device = device
        self.settings = settings

    def __enter__(self) -> "Bus":
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def __del__(self) -> None:
        if getattr(self, "_handle", None):
            _lib.ostrel_close(self._handle)
            self._handle = None

    def __repr__(self) -> str:
        return f"ostrel.Bus({self.device!r}, {self.settings!r})"

    def close(self) -> None:
        """Closes the port, once calls in other threads have returned. Later calls raise ValueError."""
        with self._idle:
            self._closing = True
            self._idle.wait_for(lambda: self._calls == 0)
            handle, self._handle = self._handle, None
        if handle:
            _lib.ostrel_close(handle)

    # --- the calling machinery -------------------------------------------

    def _enter(self) -> int:
        with self._lock:
            if self._closing or not self._handle:
                raise ValueError("the bus is closed")
            self._calls += 1
            return self._handle

    def _leave(self) -> None:
        with self._lock:
            self._calls -= 1
            if self._closing and not self._calls:
                self._idle.notify_all()

    def _call(self, function, *args: object) -> None:
        handle = self._enter()
        try:
            rc = function(handle, *args)
            if rc:
                raise self._error(rc, handle)
        finally:
            self._leave()

    @staticmethod
    def _error(rc: int, handle: Optional[int]) -> Exception:
        message = (_lib.ostrel_message(handle) or b"").decode("utf-8", "replace")
        if rc == _native.NO_REPLY:
            reason = _lib.ostrel_reason_name(_lib.ostrel_last_reason(handle)).decode()
            return NoReply(reason, message)
        if rc == _native.ARGUMENT:
            return ValueError(message)
        return DriverError(_lib.ostrel_error_number(handle), message)

    @staticmethod
    def _progress(progress: Optional[Progress], failures: list):
        if progress is None:
            return _native.PROGRESS()

        def call(_user, done, total):
            if failures:
                return
            try:
                progress(done, total)
            except BaseException as e:  # handed back to the caller after the call
                failures.append(e)

        return _native.PROGRESS(call)

    # --- operations ------------------------------------------------------

    def status(self, address: int) -> Status:
        """Reads the controller's status block: record count, lock delays, clock, weekday, version."""
        out = _native.CStatus()
        address = _int(address, "address")
        handle = self._enter()
        try:
            rc = _lib.ostrel_get_status(handle, address, ctypes.byref(out))
            if rc:
                raise self._error(rc, handle)
        finally:
            self._leave()
        return Status(out)

    def open_lock(self, address: int, lock: int) -> None:
        """Opens lock 1 or 2 for its delay."""
        self._call(_lib.ostrel_open_lock, _int(address, "address"), _int(lock, "lock"))

    def lock_states(self, address: int) -> Tuple[Optional[bool], Optional[bool]]:
        """The states of lock 1 and lock 2: True open, False closed, None unknown
        (in JSON and on the command line: "open", "closed", "unknown")."""
        l1, l2 = ctypes.c_int(), ctypes.c_int()
        self._call(_lib.ostrel_lock_states, _int(address, "address"), ctypes.byref(l1), ctypes.byref(l2))
        of = {_native.LOCK_OPEN: True, _native.LOCK_CLOSED: False}
        return of.get(l1.value), of.get(l2.value)

    def set_lock_delay(self, address: int, lock: int, seconds: int) -> None:
        """Sets how long lock 1 or 2 stays open, 0-18 whole seconds."""
        self._call(_lib.ostrel_set_lock_delay, _int(address, "address"), _int(lock, "lock"),
                   _int(seconds, "seconds"))

    def set_clock(self, address: int, when: Optional[_dt.datetime] = None) -> None:
        """Sets the controller's date and time to ``when`` (a datetime of 2000-2099), or to now."""
        if when is None:
            when = _dt.datetime.now()
        if not isinstance(when, _dt.datetime):
            raise ValueError("when: must be a datetime.datetime")
        t = _native.Time(when.year, when.month, when.day, when.hour, when.minute, when.second)
        self._call(_lib.ostrel_set_clock, _int(address, "address"), ctypes.byref(t))

    def enrol(self, address: int, physical: str, logical: Union[str, int],
              valid_from: Optional[_dt.date] = None, valid_to: Optional[_dt.date] = None,
              hours: Optional[Tuple[_dt.time, _dt.time]] = None, days: Optional[Tuple[int, int]] = None,
              lock1: Union[str, int] = "in-out", lock2: Union[str, int] = "in-out") -> None:
        """Enrols one card in the controller's list of issued cards.

        ``physical``: the 10 digits the card carries; ``logical``: the
        controller's number for it, up to 6 digits. The card is valid from
        ``valid_from`` (which needs ``valid_to``) to ``valid_to``, daily within
        ``hours`` (first, last), on weekdays ``days`` (first, last; 0 Sunday);
        each left out is no limit. ``lock1``/``lock2``: "in-out", "in", "out",
        "none" or a lock type 0-7.
        """
        if not isinstance(physical, str):
            raise ValueError("physical: must be a string of 10 digits")
        card = _native.CCard()
        card.physical = _digits(physical, "physical")
        card.logical = _digits(logical, "logical")
        for prefix, value, name in (("from", valid_from, "valid_from"), ("to", valid_to, "valid_to")):
            if value is None:
                continue
            if not isinstance(value, _dt.date):
                raise ValueError(f"{name}: must be a datetime.date")
            setattr(card, f"has_valid_{prefix}", 1)
            setattr(card, f"{prefix}_year", value.year)
            setattr(card, f"{prefix}_month", value.month)
            setattr(card, f"{prefix}_day", value.day)
        if hours is not None:
            first, last = _pair(hours, "hours")
            if not isinstance(first, _dt.time) or not isinstance(last, _dt.time):
                raise ValueError("hours: must be two datetime.time values")
            card.has_hours = 1
            card.from_hour, card.from_minute, card.to_hour, card.to_minute = (first.hour, first.minute,
                                                                              last.hour, last.minute)
        if days is not None:
            first, last = _pair(days, "days")
            card.has_days = 1
            card.first_day, card.last_day = _int(first, "days"), _int(last, "days")
        card.lock1 = _lock_type(lock1, "lock1")
        card.lock2 = _lock_type(lock2, "lock2")
        self._call(_lib.ostrel_enrol, _int(address, "address"), ctypes.byref(card))

    def remove_card(self, address: int, logical: Union[str, int]) -> None:
        """Removes the card with this logical number (up to 6 digits) from the controller's list."""
        self._call(_lib.ostrel_remove_card, _int(address, "address"), _digits(logical, "logical"))

    def remove_all_cards(self, address: int) -> None:
        """Empties the controller's list of issued cards."""
        self._call(_lib.ostrel_remove_all_cards, _int(address, "address"))

    def last_card(self, address: int) -> str:
        """The physical number of the card presented last, 10 characters."""
        out = ctypes.create_string_buffer(11)
        self._call(_lib.ostrel_last_card, _int(address, "address"), out)
        return out.value.decode("ascii", "replace")

    def clear_last_card(self, address: int) -> None:
        """Clears the controller's last-card flag."""
        self._call(_lib.ostrel_clear_last_card, _int(address, "address"))

    def records(self, address: int, progress: Optional[Progress] = None) -> list:
        """Downloads the swipe records (the controller keeps them).

        The download is checked as :meth:`collect` checks it, and downloaded
        again when a check fails; when every attempt fails,
        :class:`CollectError` is raised with no records.
        ``progress(done, total)`` is called after each record, on this thread.
        """
        return self._download("ostrel_records", address, progress, None)

    def collect(self, address: int, progress: Optional[Progress] = None,
                durable: Optional[Callable[[list], None]] = None) -> list:
        """Downloads the swipe records, verifies them, then clears the controller.

        The controller is cleared only when the download is its whole,
        unchanged set and every record is well formed, after a bounded number
        of downloads; otherwise :class:`CollectError` is raised, every record
        still on the controller, with the records ``durable`` already kept
        (none when the download itself failed its checks). ``durable(records)``, when given, runs before the clear
        (store the records there); if it raises, nothing is cleared and its
        exception propagates.
        """
        return self._download("ostrel_collect", address, progress, durable)

    def clear_records(self, address: int) -> None:
        """Deletes the controller's swipe records without downloading them."""
        self._call(_lib.ostrel_clear_records, _int(address, "address"))

    def _download(self, name: str, address: int, progress: Optional[Progress],
                  durable: Optional[Callable[[list], None]]) -> list:
        address = _int(address, "address")
        _callback(progress, "progress")
        _callback(durable, "durable")
        failures: list = []
        progress_fn = self._progress(progress, failures)
        array = ctypes.POINTER(_native.CRecord)()
        count = ctypes.c_size_t()
        handle = self._enter()
        try:
            if name == "ostrel_records":
                rc = _lib.ostrel_records(handle, address, progress_fn, None, ctypes.byref(array),
                                         ctypes.byref(count))
            else:
                def make_durable(_user, records, n):
                    if failures:
                        return 1  # a progress callback failed: keep everything on the controller
                    try:
                        if durable is not None:
                            durable(_records(records, n))
                        return 0
                    except BaseException as e:
                        failures.append(e)
                        return 1

                rc = _lib.ostrel_collect(handle, address, progress_fn, None, _native.DURABLE(make_durable), None,
                                         ctypes.byref(array), ctypes.byref(count))
            try:
                got = _records(array, count.value)
            finally:
                _lib.ostrel_free_records(array)
            if failures:
                raise failures[0]
            if rc == _native.NOT_CLEARED:
                raise CollectError(_lib.ostrel_message(handle).decode("utf-8", "replace"), got)
            if rc != _native.OK:
                raise self._error(rc, handle)
            return got
        finally:
            self._leave()


def _pair(value: Sequence, name: str) -> tuple:
    try:
        first, last = value
    except (TypeError, ValueError):
        raise ValueError(f"{name}: must be a pair (first, last)") from None
    return first, last
