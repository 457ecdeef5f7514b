"""qzcsif: the fax client library libqzcsif.so from Python (ctypes).

- Session: log in, send faxes and steer the send queue, folders and
  messages, the user and system logs, users, lines (qzcsif.session).
- The records of the public headers as ctypes structures with the header's
  field names (qzcsif.records; also importable from here).
- QzError: every failure status, with .status, .text (the library's own
  text) and .function.
- library(): every export declared from one table; call() raises QzError,
  raw() returns the status; blocks the library allocates come back as
  RecordBlocks, freed with RDMemFree exactly once.

The library is $QZCSIF_LIBRARY when set, else the one configured when this
package was installed, else libqzcsif.so.1 from the loader's search path.
"""
from . import records
from ._native import (  # noqa: F401
    E_NOTIMPL, QZ_E_ACCESSDENIED, QZ_E_ACCESSVIOLATION, QZ_E_ALREADYLOGGEDIN, QZ_E_BADOPTYPE,
    QZ_E_BADPARAM, QZ_E_BADSERVERID, QZ_E_BUFFERTOOSMALL, QZ_E_INVALIDARG, QZ_E_NOTLOGGEDIN,
    QZ_OK, EXPORTS, Library, QzError, RecordBlock, library)
from .session import Session  # noqa: F401

globals().update(records.RECORDS)  # FAXJOB_TABLE, USERLOG_TABLE, ...
globals().update({k: v for k, v in vars(records).items() if k.startswith("QZ_")})

__all__ = ["Session", "QzError", "Library", "RecordBlock", "library", "records",
           "EXPORTS"] + sorted(records.RECORDS)
