"""The C interface of libostrel-c, declared for ctypes.

ctypes releases the GIL for the duration of every foreign call, so
exchanges on different buses run in parallel from Python threads.
"""

from __future__ import annotations

import ctypes
import os
import struct
from ctypes import (CFUNCTYPE, POINTER, Structure, c_char, c_char_p, c_int, c_int32, c_size_t, c_ubyte,
                    c_void_p)

from . import _build

OK, NO_REPLY, ARGUMENT, ERROR, NOT_CLEARED = range(5)
LOCK_UNKNOWN, LOCK_OPEN, LOCK_CLOSED = range(3)


class Time(Structure):
    _fields_ = [("year", c_int), ("month", c_int), ("day", c_int),
                ("hour", c_int), ("minute", c_int), ("second", c_int)]


class CStatus(Structure):
    _fields_ = [("address", c_int), ("record_count", c_int), ("lock_delay_units", c_int * 2),
                ("clock_valid", c_int), ("clock", Time), ("weekday", c_int),
                ("version", c_char * 16), ("raw", c_ubyte * 15)]


class CRecord(Structure):
    _fields_ = [("raw", c_ubyte * 11), ("leading", c_int), ("card", c_char * 8), ("time_valid", c_int),
                ("time", Time), ("code_a", c_char * 4), ("code_b", c_char * 4), ("line", c_char * 48)]


class CCard(Structure):
    _fields_ = [("physical", c_char_p), ("logical", c_char_p),
                ("has_valid_from", c_int), ("from_year", c_int), ("from_month", c_int), ("from_day", c_int),
                ("has_valid_to", c_int), ("to_year", c_int), ("to_month", c_int), ("to_day", c_int),
                ("has_hours", c_int), ("from_hour", c_int), ("from_minute", c_int),
                ("to_hour", c_int), ("to_minute", c_int),
                ("has_days", c_int), ("first_day", c_int), ("last_day", c_int),
                ("lock1", c_int), ("lock2", c_int)]


# The same layouts for struct, to unpack a result (or a whole array of
# records) in one call; checked against ctypes' own below.
STATUS_LAYOUT = struct.Struct("@5i6ii16s15s")
RECORD_LAYOUT = struct.Struct("@11si8si6i4s4s48s")
assert STATUS_LAYOUT.size <= ctypes.sizeof(CStatus)
assert RECORD_LAYOUT.size == ctypes.sizeof(CRecord)

PROGRESS = CFUNCTYPE(None, c_void_p, c_size_t, c_size_t)
DURABLE = CFUNCTYPE(c_int, c_void_p, POINTER(CRecord), c_size_t)

_SONAME = "libostrel-c.so.1"


def _candidates() -> list[str]:
    found = []
    explicit = os.environ.get("OSTREL_C_LIBRARY")
    if explicit:
        found.append(explicit)
    here = os.path.dirname(os.path.abspath(__file__))
    found.append(os.path.normpath(os.path.join(here, _build.LIBRARY_DIR, _SONAME)))
    found.append(_SONAME)  # the dynamic linker's own search
    return found


def _load() -> ctypes.CDLL:
    errors = []
    for path in _candidates():
        if os.sep in path and not os.path.exists(path):
            errors.append(f"{path}: not found")
            continue
        try:
            return ctypes.CDLL(path)
        except OSError as e:
            errors.append(str(e))
    raise ImportError("ostrel: cannot load the C library " + _SONAME + " (" + "; ".join(errors) + ")")


lib = _load()


def _declare(name: str, restype, *argtypes) -> None:
    f = getattr(lib, name)
    f.restype = restype
    f.argtypes = list(argtypes)


_bus = c_void_p
_declare("ostrel_version", c_char_p)
_declare("ostrel_open", c_int, c_char_p, c_char_p, POINTER(c_void_p))
_declare("ostrel_close", None, _bus)
_declare("ostrel_connect", c_int, _bus)
_declare("ostrel_get_status", c_int, _bus, c_int, POINTER(CStatus))
_declare("ostrel_open_lock", c_int, _bus, c_int, c_int)
_declare("ostrel_lock_states", c_int, _bus, c_int, POINTER(c_int), POINTER(c_int))
_declare("ostrel_set_lock_delay", c_int, _bus, c_int, c_int, c_int)
_declare("ostrel_set_clock", c_int, _bus, c_int, POINTER(Time))
_declare("ostrel_enrol", c_int, _bus, c_int, POINTER(CCard))
_declare("ostrel_remove_card", c_int, _bus, c_int, c_char_p)
_declare("ostrel_remove_all_cards", c_int, _bus, c_int)
_declare("ostrel_last_card", c_int, _bus, c_int, c_char_p)
_declare("ostrel_clear_last_card", c_int, _bus, c_int)
_declare("ostrel_records", c_int, _bus, c_int, PROGRESS, c_void_p, POINTER(POINTER(CRecord)), POINTER(c_size_t))
_declare("ostrel_collect", c_int, _bus, c_int, PROGRESS, c_void_p, DURABLE, c_void_p,
         POINTER(POINTER(CRecord)), POINTER(c_size_t))
_declare("ostrel_clear_records", c_int, _bus, c_int)
_declare("ostrel_free_records", None, POINTER(CRecord))
_declare("ostrel_message", c_char_p, _bus)
_declare("ostrel_last_reason", c_int, _bus)
_declare("ostrel_reason_name", c_char_p, c_int)
_declare("ostrel_error_number", c_int32, _bus)
_declare("ostrel_argument", c_char_p, _bus)
