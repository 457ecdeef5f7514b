"""Loading libqzcsif.so, its exports from one table, statuses as QzError,
and blocks the library allocates (freed with RDMemFree exactly once).

Which library: the path given to Library(), else $QZCSIF_LIBRARY, else the
path configured at installation (qzcsif._config), else the soname
libqzcsif.so.1 through the dynamic loader's search.

Thread-safety: a Library may be used from any thread (the C library's own
rules apply: creating and ending the session must not overlap other calls).
A RecordBlock is not meant to be shared between threads while it is being
closed.
"""
import ctypes
import os
import threading
import weakref
from ctypes import POINTER, byref, c_char, c_char_p, c_uint32, c_void_p

from . import records as R

QZ_OK = 1
QZ_E_TRACEFAILED = 0xC1FF0001
QZ_E_BADPARAM = 0xC1FF0005
QZ_E_OUTOFMEMORY = 0xC1FF0007
QZ_E_INVALIDARG = 0xC1FF3001
QZ_E_BADSERVERID = 0xC1FF3002
QZ_E_ACCESSDENIED = 0xC1FF300C
QZ_E_FOLDERKIND = 0xC1FF300F
QZ_E_FOLDERCLASS = 0xC1FF3010
QZ_E_INFOCOLUMN = 0xC1FF3011
QZ_E_ACCESSMODE = 0xC1FF3012
QZ_E_BADOPTYPE = 0xC1FF3015
QZ_E_NOTLOGGEDIN = 0xC1FF3016
QZ_E_ACCESSVIOLATION = 0xC1FF3018
QZ_E_BUFFERTOOSMALL = 0xC1FF301A
QZ_E_ALREADYLOGGEDIN = 0xC1FF301E
E_NOTIMPL = 0x80004001

SONAME = "libqzcsif.so.1"
MESSAGE_MODULE = "libqzmsg.so"


class QzError(Exception):
    """A status other than success from an export of the library.

    status: the number as the export returned it (a library status
    QZ_E_*, a status of the fax server, an RPC/Win32 number or its HRESULT
    form); text: the library's own text for it ("" when it has none);
    function: the export that returned it."""

    def __init__(self, status, text="", function=None):
        self.status = status
        self.text = text
        self.function = function
        where = "%s: " % function if function else ""
        super().__init__("%sstatus 0x%08X%s" % (where, status, ": " + text if text else ""))

    def __reduce__(self):
        return (type(self), (self.status, self.text, self.function))


# ---- the exports ------------------------------------------------------

U, S, P = c_uint32, c_char_p, c_void_p
PU = POINTER(c_uint32)
OUT = POINTER(c_void_p)  # T** / void**: a block the caller frees with RDMemFree


def _r(name):
    return POINTER(getattr(R, name))


ONE, ZERO, NONE = 1, 0, None  # what success is: 1, 0, or not a status at all

# name, success, argument types (the result is uint32_t but for RDMemAlloc).
EXPORTS = [
    ("QZIfInitialize", ZERO, []),
    ("QZIfUninitialize", ZERO, []),
    ("IsServerIDValid", NONE, [U]),
    ("RDMemAlloc", NONE, [U]),
    ("RDMemFree", NONE, [P]),
    ("GetLastErrorInfo", NONE, [_r("QZERRORINFO")]),
    ("LogInServer", ONE, [PU]),
    ("GetServerInfo", ONE, [U, _r("SERVERINFO")]),
    ("RemoteChangePassword", ONE, [U, S, S]),
    ("RemoteSychronizeFromServer", ONE, [U]),
    ("RemoteSychronizeToServer", ONE, [U]),
    ("Advise", ONE, [U, R.ADVISEINFO]),
    ("Unadvise", ONE, [U, R.UNADVISEINFO]),
    ("RemoteQueryUserLog", ONE, [U, S, OUT, PU]),
    ("RemoteDelUserLog", ONE, [U, S]),
    ("RemoteSendFax", ONE, [U, P, U, _r("SENDRESULT_TABLE")]),
    ("RemoteTransmitFax", ONE, [U, P, U, _r("SENDRESULT_TABLE")]),
    ("SendFaxFromConn", ONE, [U, _r("CONNSENDINFO")]),
    ("SendFaxFromDraft", ONE, [U, U]),
    ("RemoteSendFaxStop", ONE, [U, PU, U]),
    ("RemoteViewSendTask", ONE, [U, U, U, OUT, PU]),
    ("RemoteAuthToFax", ONE, [U, U, U]),
    ("RemoteLockTask", ONE, [U, PU, U, U]),
    ("RemoteEditTaskPRI", ONE, [U, _r("TASKPRIORITY"), U]),
    ("RemoteDeleteTask", ONE, [U, PU, U, U]),
    ("RemoteGetTaskProgress", ONE, [U, PU, U, OUT, PU]),
    ("RemoteEditSendTask", ONE, [U, _r("SENDTASK_TABLE"), U]),
    ("RemoteGetAuthTasks", ONE, [U, OUT, PU]),
    ("ServerStart", ZERO, [S, S, S, U]),
    ("ServerStop", ZERO, [U, U]),
    ("ServerBackup", ZERO, [U, _r("BACKUPINFO"), U]),
    ("GetServerCaps", ZERO, [S, S, _r("SERVERCAPS")]),
    ("RemoteNewInformation", ONE, [U, _r("FOLDERINFO_TABLE"), U, P, U]),
    ("RemoteGetInformation", ONE, [U, _r("FOLDERINFO_TABLE"), U, OUT, PU]),
    ("RemoteGetInformationEx", ONE, [U, _r("FOLDERINFO_TABLE"), U, S, OUT, PU]),
    ("RemoteEditInformation", ONE, [U, _r("FOLDERINFO_TABLE"), U, P, U]),
    ("RemoteMoveInformation", ONE, [U, _r("FOLDERINFO_TABLE"), _r("FOLDERINFO_TABLE"), U, P, U]),
    ("RemoteDeleteInformation", ONE, [U, _r("FOLDERINFO_TABLE"), U, P, U]),
    ("RemoteGetFolders", ONE, [U, U, OUT, PU]),
    ("RemoteGetFaxViewRecord", ONE, [U, S, OUT, PU]),
    ("RemoteDelFaxViewRecord", ONE, [U, S]),
    ("RemoteSetFaxViewFlag", ONE, [U, U, U]),
    ("RemoteGetAddressBookEx", ONE, [U, U, OUT, PU]),
    ("RemoteGetAddressRelation", ONE, [U, U, U, OUT, PU]),
    ("RemoteGetNewReceivedMessages", ONE, [U, _r("FOLDERINFO_TABLE"), PU, U, OUT, PU]),
    ("RemoteDeptOP", ONE, [U, U, _r("DEPTINFO_TABLE"), U]),
    ("RemoteGetDeptData", ONE, [U, S, OUT, PU]),
    ("RemoteGetUserRecord", ONE, [U, U, S, OUT, PU]),
    ("RemoteUserOP", ONE, [U, U, P, U]),
    ("RemoteUserBaseOP", ONE, [U, U, _r("USERINFO_TABLE"), U]),
    ("RemoteUserDetailOP", ONE, [U, U, _r("USERDETAIL_TABLE"), U]),
    ("RemoteReceiveFileFromServer", ONE, [U, U, U, S, S, PU]),
    ("RemoteSendFileToServer", ONE, [U, U, U, S, S]),
    ("RemoteDeleteFileFromServer", ONE, [U, U, U, U, S]),
    ("RemoteGetOnePageFromServer", ONE, [U, U, S]),
    ("RemoteImportFaxInfo", ONE, [U, U, P, U]),
    ("NewDraftInformation", ONE, [U, P, U]),
    ("EditDraftInformation", ONE, [U, P, U]),
    ("GetDraftInformation", ONE, [U, OUT, PU]),
    ("DelDraftInformation", ONE, [U, U]),
    ("RemoteDeviceOP", ONE, [U, U, P, U]),
    ("RemoteGetDeviceInfo", ONE, [U, S, OUT, PU]),
    ("RemoteGetPortList", ONE, [U, S, OUT, PU]),
    ("RemoteGetPortLimited", ONE, [U, U, S, OUT, PU]),
    ("RemotePortLimitedOP", ONE, [U, U, _r("LINECHECK_TABLE"), U]),
    ("RemoteSetPortStatus", ONE, [U, _r("PORTINFO_TABLE"), U]),
    ("RemoteStopLine", ONE, [U, _r("PORTINFO_TABLE"), U]),
    ("RemoteScriptFileOP", ONE, [U, U, P, U]),
    ("RemoteGetScripts", ONE, [U, OUT, PU]),
    ("RemoteGetPortRealInfo", ONE, [U, OUT, PU]),
    ("RemoteDialRuleOP", ONE, [U, U, P, U]),
    ("RemoteGetDialRule", ONE, [U, S, OUT, PU]),
    ("RemoteCheckDialRule", ONE, [U, U, U]),
    ("RemoteGetAutoRecvInfo", ONE, [U, S, OUT, PU]),
    ("RemoteAutoRecvOP", ONE, [U, U, P, U]),
    ("RemoteAuthorizedOP", ONE, [U, U, _r("AUTHORIZEDINFO_TABLE"), U]),
    ("RemoteGetAuthorizedInfo", ONE, [U, S, OUT, PU]),
    ("RemoteRouterOP", ONE, [U, U, P, U]),
    ("RemoteGetRouterInfo", ONE, [U, S, OUT, PU]),
    ("RemoteGetPrefixTable", ONE, [U, S, OUT, PU]),
    ("RemotePrefixTableOP", ONE, [U, U, P, U]),
    ("RemoteQueryServerPrinters", ONE, [U, OUT, PU]),
    ("RemoteGetFaxAutoRecvHistory", ONE, [U, S, OUT, PU]),
    ("RemoteDelFaxAutoRecvHistor", ONE, [U, S]),
    ("RemoteAccessConfig", ONE, [U, U, S, U, P, PU]),
    ("RemoteGetSystemConfig", ONE, [U, U, P, PU]),
    ("RemoteSetSystemConfig", ONE, [U, U, P, U]),
    ("RemoteQuerySysLog", ONE, [U, S, OUT, PU]),
    ("RemoteDelSysLog", ONE, [U, S]),
    ("RemoteBackupSysLog", ONE, [U, S, OUT, PU]),
    ("RemoteGetReportTemplates", ONE, [U, _r("FOLDERINFO_TABLE"), OUT, PU]),
    ("RemoteGetReportTemplate", ONE, [U, _r("FOLDERINFO_TABLE"), U, OUT, PU]),
    ("RemoteNewReportTemplate", ONE, [U, _r("FOLDERINFO_TABLE"), _r("FAXREPORTMODEL"), U]),
    ("RemoteEditReportTemplate", ONE, [U, _r("FOLDERINFO_TABLE"), _r("FAXREPORTMODEL"), U]),
    ("RemoteDeleteReportTemplate", ONE, [U, _r("FOLDERINFO_TABLE"), U]),
    ("RemoteQueryReport", ONE, [U, S, OUT, PU]),
]


# ---- the message module's text table -------------------------------------
# libqzmsg.so holds one data symbol, "qzmsg_table": a magic number, a count
# and up to 64 entries of a 32-bit code and a 124-byte NUL-terminated text.

class _MsgEntry(ctypes.Structure):
    _fields_ = [("code", c_uint32), ("text", c_char * 124)]


class _MsgTable(ctypes.Structure):
    _fields_ = [("magic", c_uint32), ("count", c_uint32), ("entries", _MsgEntry * 64)]


_MSG_MAGIC = 0x51474D5A


class _DlInfo(ctypes.Structure):
    _fields_ = [("dli_fname", c_char_p), ("dli_fbase", c_void_p),
                ("dli_sname", c_char_p), ("dli_saddr", c_void_p)]


def _release(library, address):
    """Finalizer of a block: frees it through the library's free_memory
    (looked up now, so a test may wrap it)."""
    library.free_memory(address)


class RecordBlock:
    """A block of records the library allocated, owned until closed.

    len() and indexing give the count and copies of single records, so a
    record stays valid after the block is freed; iterating yields copies in
    order and may be repeated. The block is freed with RDMemFree exactly
    once: by close() or the end of a with block, or when the object is
    collected (an abandoned iterator keeps it alive only until it is
    collected itself)."""

    def __init__(self, library, address, count, record_type):
        self.record_type = record_type
        self.address = address or None
        self.count = count if self.address else 0
        self._finalizer = (weakref.finalize(self, _release, library, self.address)
                           if self.address else None)

    @property
    def closed(self):
        return self._finalizer is None or not self._finalizer.alive

    def close(self):
        if self._finalizer is not None:
            self._finalizer()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
        return False

    def __len__(self):
        return self.count

    def __getitem__(self, index):
        if not isinstance(index, int):
            raise TypeError("record index must be an int")
        if index < 0:
            index += self.count
        if not 0 <= index < self.count:
            raise IndexError("record index out of range")
        if self.closed:
            raise ValueError("the block has been freed")
        size = ctypes.sizeof(self.record_type)
        return self.record_type.from_buffer_copy(
            ctypes.string_at(self.address + index * size, size))

    def __iter__(self):
        for i in range(self.count):
            yield self[i]

    def __repr__(self):
        state = "freed" if self.closed else "0x%x" % (self.address or 0)
        return "<RecordBlock of %d %s at %s>" % (self.count, self.record_type.__name__, state)


class Library:
    """libqzcsif.so with every export declared from EXPORTS.

    call(name, *args) runs an export and raises QzError unless it succeeded;
    raw(name) is the ctypes function itself (the status comes back as a
    number). block(...) and data(...) run the exports that hand out a
    block."""

    def __init__(self, path=None):
        self.path = path or os.environ.get("QZCSIF_LIBRARY") or _configured_path() or SONAME
        self.dll = ctypes.CDLL(self.path)
        self._success = {}
        for name, success, argtypes in EXPORTS:
            fn = getattr(self.dll, name)
            fn.argtypes = argtypes
            fn.restype = c_void_p if name == "RDMemAlloc" else c_uint32
            self._success[name] = success
        self._messages = None
        self._lock = threading.Lock()

    def raw(self, name):
        return getattr(self.dll, name)

    def call(self, name, *args):
        status = getattr(self.dll, name)(*args)
        success = self._success[name]
        if success is not None and status != success:
            raise self.error(name, status)
        return status

    def error(self, name, status):
        return QzError(status, self.status_text(status), name)

    # -- texts --------------------------------------------------------

    def status_text(self, status):
        """The library's text of a status: this thread's error record when
        it holds that status, else the message module's entry, else ""."""
        info = R.QZERRORINFO()
        self.dll.GetLastErrorInfo(byref(info))
        if info.dwErrorCode == status and info.szErrorInfo:
            return info.szErrorInfo.decode(R.ENCODING, "replace")
        return self.message_texts().get(status, "")

    def message_texts(self):
        """Status -> text, read once from the message module beside the
        library (empty when it cannot be found)."""
        with self._lock:
            if self._messages is None:
                self._messages = self._read_message_module()
            return self._messages

    def library_file(self):
        """The file the loader mapped for this library."""
        info = _DlInfo()
        libc = ctypes.CDLL(None)
        libc.dladdr.argtypes = [c_void_p, POINTER(_DlInfo)]
        if libc.dladdr(ctypes.cast(self.dll.RDMemFree, c_void_p), byref(info)) and info.dli_fname:
            return os.fsdecode(info.dli_fname)
        return None

    def _read_message_module(self):
        where = self.library_file()
        if where is None:
            return {}
        try:
            module = ctypes.CDLL(os.path.join(os.path.dirname(where), MESSAGE_MODULE))
            table = _MsgTable.in_dll(module, "qzmsg_table")
        except (OSError, ValueError):
            return {}
        if table.magic != _MSG_MAGIC or table.count > len(table.entries):
            return {}
        return {e.code: e.text.decode(R.ENCODING, "replace")
                for e in table.entries[:table.count]}

    # -- memory ---------------------------------------------------------

    def free_memory(self, address):
        """RDMemFree of one block (the finalizer of every RecordBlock)."""
        return self.dll.RDMemFree(address)

    def block(self, name, args, record_type, count_is_bytes=False):
        """Runs an export whose last two arguments are a block pointer and
        its count (records, or bytes with count_is_bytes) and returns the
        block as a RecordBlock. The block is owned before the status is
        looked at, so a failed call that still handed one out frees it."""
        ptr, count = c_void_p(), c_uint32()
        status = getattr(self.dll, name)(*args, byref(ptr), byref(count))
        block = RecordBlock(self, ptr.value, 0, record_type)
        if status != QZ_OK:
            block.close()
            raise self.error(name, status)
        n = count.value
        if count_is_bytes:
            size = ctypes.sizeof(record_type)
            if n % size:
                block.close()
                raise ValueError("%s: %d bytes are not whole %s records"
                                 % (name, n, record_type.__name__))
            n //= size
        block.count = n if block.address else 0
        return block

    def data(self, name, args):
        """As block(), for an export that hands out a block of bytes: the
        bytes, copied; the block is freed before this returns."""
        ptr, size = c_void_p(), c_uint32()
        status = getattr(self.dll, name)(*args, byref(ptr), byref(size))
        try:
            if status != QZ_OK:
                raise self.error(name, status)
            return ctypes.string_at(ptr.value, size.value) if ptr.value else b""
        finally:
            if ptr.value:
                self.free_memory(ptr.value)


def _configured_path():
    try:
        from . import _config  # written when the package is installed
    except ImportError:
        return None
    return getattr(_config, "LIBRARY", None)


_default = None
_default_lock = threading.Lock()


def library():
    """The process's Library, loaded on first use."""
    global _default
    with _default_lock:
        if _default is None:
            _default = Library()
        return _default


def text_arg(value):
    """A str/bytes/None argument for a const char* parameter."""
    if value is None or isinstance(value, bytes):
        return value
    return str(value).encode(R.ENCODING)


def id_array(ids):
    ids = [int(i) for i in ids]
    return (c_uint32 * len(ids))(*ids), len(ids)
