"""The records of the qzcsif public headers as ctypes structures.

Every record type that qzcsif.h and qzrecords_{send,store,admin}.h define
appears here under the same name with the same field names, in the same
order, so a record read from a block the library hands out is the C record
field by field. Text fields are fixed-width byte arrays (reading one gives
the bytes before the first NUL); Record.to_dict() and Record.text() give
them as str, Record.make() fills a record from keyword arguments.

The tests compare sizeof() of these classes with the header's QZ_SIZEOF_*
constants and every field's offset with the C compiler's layout.

Importing this module does not load the library.
Thread-safety: plain data; a record object is not shared state.
"""
import ctypes
from ctypes import c_char, c_double, c_int32, c_uint8, c_uint16, c_uint32, c_void_p

ENCODING = "utf-8"


def _text(n):
    return c_char * n


def _raw(n):
    return c_uint8 * n


def _u32s(n):
    return c_uint32 * n


class Record(ctypes.Structure):
    """Base of every record: ctypes fields plus a few conveniences."""

    @classmethod
    def make(cls, **values):
        """A zeroed record with the named fields set. A str for a text field
        is encoded; a text that leaves no room for its NUL is refused."""
        rec = cls()
        for name, value in values.items():
            rec.set(name, value)
        return rec

    def set(self, name, value):
        ftype = self._field_type(name)
        if _is_text(ftype):
            raw = value.encode(ENCODING) if isinstance(value, str) else bytes(value)
            if len(raw) >= ctypes.sizeof(ftype):
                raise ValueError("%s.%s holds at most %d bytes of text"
                                 % (type(self).__name__, name, ctypes.sizeof(ftype) - 1))
            value = raw
        setattr(self, name, value)

    def text(self, name):
        """A text field as str."""
        return getattr(self, name).decode(ENCODING, "replace")

    def to_dict(self):
        """Field name -> value: texts as str, arrays as lists, nested
        records as dicts; reserved byte arrays are left out."""
        out = {}
        for name, ftype in self._fields_:
            if name.startswith(("reserved", "abReserved", "bReserved", "szReserved")):
                continue
            value = getattr(self, name)
            if _is_text(ftype):
                value = value.decode(ENCODING, "replace")
            elif isinstance(value, Record):
                value = value.to_dict()
            elif isinstance(value, ctypes.Array):
                value = list(value)
            out[name] = value
        return out

    def copy(self):
        return type(self).from_buffer_copy(self)

    def __eq__(self, other):
        return type(self) is type(other) and bytes(self) == bytes(other)

    def __repr__(self):
        shown = ", ".join("%s=%r" % kv for kv in self.to_dict().items())
        return "%s(%s)" % (type(self).__name__, shown)

    @classmethod
    def _field_type(cls, name):
        for fname, ftype in cls._fields_:
            if fname == name:
                return ftype
        raise AttributeError("%s has no field %r" % (cls.__name__, name))


def _is_text(ftype):
    return isinstance(ftype, type) and issubclass(ftype, ctypes.Array) and ftype._type_ is c_char


def _record(name, fields, pack=None):
    attrs = {"_fields_": fields, "__qualname__": name}
    if pack is not None:
        attrs["_pack_"] = pack
    return type(name, (Record,), attrs)


U32, I32 = c_uint32, c_int32

# ---- qzcsif.h -------------------------------------------------------

QZERRORINFO = _record("QZERRORINFO", [("dwErrorCode", U32), ("szErrorInfo", _text(128))])
SESSIONKEY = _record("SESSIONKEY", [("szUserID", _text(20)), ("dwSessionNo", I32)])
USERINFO_TABLE = _record("USERINFO_TABLE", [
    ("bUserType", c_uint8), ("szUserID", _text(20)), ("szUserName", _text(32)),
    ("reserved", _raw(903)), ("dwRights", _u32s(4))])
SERVERINFO = _record("SERVERINFO", [
    ("dwVersion", U32), ("szHostName", _text(31)), ("szText35", _text(20)),
    ("szText55", _text(31)), ("szText86", _text(20)), ("szText106", _text(65)),
    ("bReserved171", c_uint8), ("abValue172", _raw(16)), ("abReserved188", _raw(496)),
    ("dwSessionNo", I32), ("dwReserved688", U32), ("abValue692", _raw(16)),
    ("UserInfo", USERINFO_TABLE)])
USERLOG_TABLE = _record("USERLOG_TABLE", [
    ("dwLogID", U32), ("dwTime", U32), ("szUserID", _text(20)), ("dwSessionNo", I32),
    ("dwOpnum", U32), ("lResult", I32), ("szProcedure", _text(64)), ("szDetail", _text(404))])
ADVISEINFO = _record("ADVISEINFO", [("dwValues", _u32s(15))])
UNADVISEINFO = _record("UNADVISEINFO", [("dwValues", _u32s(4))])

_CONNSENDINFO_FIELDS = [
    ("nValue1", I32), ("nValue2", I32), ("nValue3", I32), ("szText1", _text(256)),
    ("nItemCount", I32), ("pItems", c_void_p), ("szText2", _text(256)),
    ("nValue4", I32), ("nValue5", I32), ("nValue6", I32), ("nValue7", I32),
    ("szText3", _text(30)), ("nValue8", I32), ("dReal1", c_double), ("dReal2", c_double),
    ("szText4", _text(32)), ("szText5", _text(128)), ("szText6", _text(128)),
    ("nValue9", I32), ("nDataLength", I32), ("pData", c_void_p)]
if ctypes.sizeof(c_void_p) == 4:
    _CONNSENDINFO_FIELDS.append(("dwReserved", U32))
CONNSENDINFO = _record("CONNSENDINFO", _CONNSENDINFO_FIELDS)
PRINTTOTIFFINFO = _record("PRINTTOTIFFINFO", [
    ("szText1", _text(256)), ("szText2", _text(256)), ("nValue1", I32), ("nValue2", I32)])

# ---- qzrecords_send.h ------------------------------------------------

FAXJOB_TABLE = _record("FAXJOB_TABLE", [
    ("dwSize", U32), ("dwPriority", U32), ("dwScheduleTime", U32), ("dwFlags", U32),
    ("dwMaxAttempts", U32), ("szRecipientNumber", _text(64)), ("szRecipientName", _text(64)),
    ("szSubject", _text(128)), ("szSender", _text(64)), ("szCoverPage", _text(64)),
    ("szDocumentPath", _text(256))])
SENDRESULT_TABLE = _record("SENDRESULT_TABLE", [
    ("dwFaxID", U32), ("lStatus", I32), ("dwState", U32), ("dwPages", U32),
    ("szDetail", _text(28))])
TRANSFERFAX_TABLE = _record("TRANSFERFAX_TABLE", [
    ("dwSourceID", U32), ("dwItemCount", U32), ("dwSourceKind", U32)])
TRANSFERFAX_ITEM = _record("TRANSFERFAX_ITEM", [
    ("szRecipientNumber", _text(64)), ("szRecipientName", _text(64)), ("dwPriority", U32),
    ("dwScheduleTime", U32), ("abReserved", _raw(28))])
CONNSENDITEM = _record("CONNSENDITEM", [
    ("szRecipientNumber", _text(64)), ("szRecipientName", _text(64)), ("abReserved", _raw(40))])
SENDTASK_TABLE = _record("SENDTASK_TABLE", [
    ("dwFaxID", U32), ("dwState", U32), ("dwPriority", U32), ("dwAttempts", U32),
    ("dwMaxAttempts", U32), ("dwPagesDone", U32), ("dwPagesTotal", U32), ("dwSubmitTime", U32),
    ("dwScheduleTime", U32), ("dwNextTryTime", U32), ("dwStartTime", U32), ("dwEndTime", U32),
    ("dwLineID", U32), ("lLastResult", I32), ("dwFlags", U32), ("dwRecvID", U32),
    ("szUserID", _text(20)), ("szRecipientNumber", _text(64)), ("szRecipientName", _text(64)),
    ("szSubject", _text(128)), ("szSender", _text(64)), ("szCoverPage", _text(64)),
    ("szDocument", _text(256)), ("szLastError", _text(64)), ("abReserved", _raw(236))])
RECVTASK_TABLE = _record("RECVTASK_TABLE", [
    ("dwRecvID", U32), ("dwState", U32), ("dwLineID", U32), ("dwPages", U32),
    ("dwStartTime", U32), ("dwEndTime", U32), ("dwSendTaskID", U32), ("dwReserved", U32),
    ("szUserID", _text(20)), ("szLineNumber", _text(64)), ("szSenderNumber", _text(64)),
    ("szSenderUser", _text(20)), ("szRecipientName", _text(64)), ("szSubject", _text(128)),
    ("szDestination", _text(64)), ("szDocument", _text(256)), ("abReserved", _raw(84))])
TASKPRIORITY = _record("TASKPRIORITY", [("dwFaxID", U32), ("dwPriority", U32), ("dwReserved", U32)])
TASKINFO = _record("TASKINFO", [
    ("dwFaxID", U32), ("dwState", U32), ("dwPagesDone", U32), ("dwPagesTotal", U32)])
COVERPAGEFIELD_TABLE = _record("COVERPAGEFIELD_TABLE", [
    ("dwFieldID", U32), ("dwType", U32), ("szName", _text(32)), ("szValue", _text(56))])
SERVERCAPS = _record("SERVERCAPS", [
    ("dwSize", U32), ("dwVersion", U32), ("dwFlags", U32), ("dwActiveSessions", U32),
    ("dwStartTime", U32), ("dwNow", U32), ("szServerName", _text(32)), ("szVersion", _text(32)),
    ("szHostName", _text(64)), ("abReserved", _raw(288))])
BACKUPINFO = _record("BACKUPINFO", [
    ("dwType", U32), ("dwFlags", U32), ("szLabel", _text(22)), ("szName", _text(270))])

# ---- qzrecords_store.h -----------------------------------------------

FOLDERINFO_TABLE = _record("FOLDERINFO_TABLE", [
    ("dwFolderID", U32), ("dwClass", U32), ("szOwner", _text(20)), ("szName", _text(40)),
    ("dwKind", U32), ("dwParentID", U32), ("dwItemCount", U32), ("dwUnread", U32),
    ("dwFlags", U32), ("abReserved", _raw(16))])
ADDRRELATION_TABLE = _record("ADDRRELATION_TABLE", [("dwAddressID", U32), ("dwGroupID", U32)])
FAXVIEW_TABLE = _record("FAXVIEW_TABLE", [
    ("dwFaxID", U32), ("dwFolderID", U32), ("dwFlags", U32), ("dwDirection", U32),
    ("dwPages", U32), ("dwTime", U32), ("szRemote", _text(32)), ("szSubject", _text(28))])
ADDRESS_ITEM = _record("ADDRESS_ITEM", [
    ("dwItemID", U32), ("dwFolderID", U32), ("szName", _text(40)), ("szFaxNumber", _text(32)),
    ("szCompany", _text(40)), ("szPhone", _text(32)), ("szEmail", _text(40))])
GROUP_ITEM = _record("GROUP_ITEM", [
    ("dwItemID", U32), ("dwFolderID", U32), ("szName", _text(40)), ("szNote", _text(80))])
NOTE_ITEM = _record("NOTE_ITEM", [
    ("dwItemID", U32), ("dwFolderID", U32), ("dwTime", U32), ("szTitle", _text(52)),
    ("szText", _text(192))])
COVERPAGE_ITEM = _record("COVERPAGE_ITEM", [
    ("dwItemID", U32), ("dwFolderID", U32), ("dwFileID", U32), ("szName", _text(52))])
DOCUMENT_ITEM = _record("DOCUMENT_ITEM", [
    ("dwItemID", U32), ("dwFolderID", U32), ("dwFaxID", U32), ("dwPages", U32),
    ("szName", _text(48))])
SCHEDULE_ITEM = _record("SCHEDULE_ITEM", [
    ("dwItemID", U32), ("dwFolderID", U32), ("dwTime", U32), ("dwFlags", U32),
    ("szText", _text(112))])
ADDRESSBOOK_HEADER = _record("ADDRESSBOOK_HEADER", [
    ("dwAddressCount", U32), ("dwGroupCount", U32), ("dwRelationCount", U32), ("dwReserved", U32)])
DEPTINFO_TABLE = _record("DEPTINFO_TABLE", [
    ("szDeptID", _text(20)), ("szName", _text(64)), ("szManager", _text(20)),
    ("szFaxNumber", _text(32)), ("dwFlags", U32), ("dwMemberCount", U32),
    ("abReserved", _raw(32))])
USERDETAIL_TABLE = _record("USERDETAIL_TABLE", [
    ("szUserID", _text(20)), ("dwField", U32), ("szValue", _text(28))])
USEROP_RECORD = _record("USEROP_RECORD", [
    ("dwLength", U32), ("szUserID", _text(20)), ("szDeptID", _text(20)), ("dwUserType", U32),
    ("dwRights", _u32s(4)), ("szUserName", _text(32)), ("szPassword", _text(64))])
DRAFT_HEADER = _record("DRAFT_HEADER", [
    ("dwLength", U32), ("dwDraftID", U32), ("dwTime", U32), ("dwFlags", U32)])

# ---- qzrecords_admin.h -----------------------------------------------

DEVICEINFO_TABLE = _record("DEVICEINFO_TABLE", [
    ("dwDeviceID", U32), ("dwLines", U32), ("dwFlags", U32), ("szName", _text(32)),
    ("szModel", _text(20))])
PORTINFO_TABLE = _record("PORTINFO_TABLE", [
    ("dwPortID", U32), ("dwDeviceID", U32), ("dwState", U32), ("dwBitsPerSecond", U32),
    ("dwFlags", U32), ("szNumber", _text(32)), ("szName", _text(32)), ("dwReserved", U32)])
LINECHECK_TABLE = _record("LINECHECK_TABLE", [
    ("dwRuleID", U32), ("dwPortID", U32), ("dwAction", U32), ("dwFromMinute", U32),
    ("dwToMinute", U32), ("szPrefix", _text(28))])
PORT_CURRENT_STATUS = _record("PORT_CURRENT_STATUS", [
    ("dwPortID", U32), ("dwState", U32), ("dwSince", U32), ("szNumber", _text(32)),
    ("szActivity", _text(48)), ("dwReserved", U32)])
SCRIPTINFO = _record("SCRIPTINFO", [
    ("dwLength", U32), ("dwScriptID", U32), ("dwFlags", U32), ("szName", _text(64)),
    ("dwSize", U32), ("dwModified", U32), ("szDescription", _text(20))])
DIALRULE_TABLE = _record("DIALRULE_TABLE", [
    ("dwLength", U32), ("dwRuleID", U32), ("dwPortID", U32), ("dwPriority", U32),
    ("szMatch", _text(32)), ("dwStrip", U32), ("szPrepend", _text(32)),
    ("szDescription", _text(64))])
PREFIXINFO_TABLE = _record("PREFIXINFO_TABLE", [
    ("dwLength", U32), ("dwPrefixID", U32), ("dwKind", U32), ("szPrefix", _text(32)),
    ("szDescription", _text(64))])
FAXAUTORECVINFO_TABLE = _record("FAXAUTORECVINFO_TABLE", [
    ("dwID", U32), ("dwPortID", U32), ("dwEnabled", U32), ("dwRings", U32),
    ("dwKeepDays", U32), ("szNumber", _text(32)), ("szName", _text(64)),
    ("szDescription", _text(52))])
AUTORECVHISTORY_TABLE = _record("AUTORECVHISTORY_TABLE", [
    ("dwID", U32), ("dwTime", U32), ("dwPortID", U32), ("dwRecvTaskID", U32),
    ("dwPages", U32), ("dwRouteCount", U32), ("szLineNumber", _text(32)),
    ("szSenderNumber", _text(32)), ("szDestination", _text(112))])
# Packed in the header: records follow each other every 34 bytes.
AUTHORIZEDINFO_TABLE = _record("AUTHORIZEDINFO_TABLE", [
    ("szUserID", _text(20)), ("dwFlags", U32), ("dwEntryID", U32), ("dwPageLimit", U32),
    ("wReserved", c_uint16)], pack=1)
ROUTERCONFIG_TABLE = _record("ROUTERCONFIG_TABLE", [
    ("dwRouteID", U32), ("dwPortID", U32), ("dwTargetKind", U32), ("dwPriority", U32),
    ("dwEnabled", U32), ("szNumber", _text(32)), ("szSender", _text(32)),
    ("szTarget", _text(64)), ("szDescription", _text(56))])
PRINTERINFO = _record("PRINTERINFO", [
    ("dwPrinterID", U32), ("dwFlags", U32), ("dwState", U32), ("szName", _text(128)),
    ("szLocation", _text(64)), ("szDescription", _text(76))])
SYSLOG_TABLE = _record("SYSLOG_TABLE", [
    ("dwLogID", U32), ("dwTime", U32), ("dwLevel", U32), ("szSource", _text(32)),
    ("szUserID", _text(20)), ("szText", _text(376))])
QZCONFIG_GENERAL = _record("QZCONFIG_GENERAL", [
    ("szServerName", _text(64)), ("szStationID", _text(32)), ("szCountryCode", _text(8)),
    ("szAreaCode", _text(8)), ("szOrganization", _text(128)), ("szAdminMail", _text(128)),
    ("dwFlags", U32), ("abReserved", _raw(1188))])
QZCONFIG_SENDQUEUE = _record("QZCONFIG_SENDQUEUE", [
    ("dwRetries", U32), ("dwRetryInterval", U32), ("dwMaxPages", U32), ("dwDialTimeout", U32),
    ("dwDefaultPriority", U32), ("dwFlags", U32)])
QZCONFIG_PATHS = _record("QZCONFIG_PATHS", [
    ("dwFlags", U32), ("szArchiveDir", _text(260)), ("szScriptDir", _text(260)),
    ("szCoverPageDir", _text(260)), ("szBackupDir", _text(260))])
QZCONFIG_NOTIFY = _record("QZCONFIG_NOTIFY", [
    ("wFlags", c_uint16), ("wReserved", c_uint16), ("szMailHost", _text(64)),
    ("wMailPort", c_uint16), ("szSender", _text(40))])
QZCONFIG_RECEIVE = _record("QZCONFIG_RECEIVE", [
    ("dwFlags", U32), ("dwDefaultKind", U32), ("dwKeepDays", U32),
    ("szDefaultTarget", _text(64)), ("szReserved", _text(88))])
QZCONFIG_LOGS = _record("QZCONFIG_LOGS", [
    ("dwSysLogMaxRecords", U32), ("dwHistoryMaxRecords", U32), ("dwMinLevel", U32),
    ("dwFlags", U32), ("abReserved", _raw(272))])
QZCONFIG_ALL = _record("QZCONFIG_ALL", [
    ("General", QZCONFIG_GENERAL), ("SendQueue", QZCONFIG_SENDQUEUE), ("Paths", QZCONFIG_PATHS),
    ("Notify", QZCONFIG_NOTIFY), ("wPad", c_uint16), ("Receive", QZCONFIG_RECEIVE),
    ("Logs", QZCONFIG_LOGS), ("abReserved", _raw(820))])
QZCONFIG_STRINGPAIR = _record("QZCONFIG_STRINGPAIR", [
    ("szFirst", _text(120)), ("szSecond", _text(136))])
FAXREPORTMODEL = _record("FAXREPORTMODEL", [
    ("dwTemplateID", U32), ("dwFolderID", U32), ("dwGroupBy", U32), ("dwDirection", U32),
    ("dwFlags", U32), ("dwCreated", U32), ("dwModified", U32), ("szOwner", _text(20)),
    ("szName", _text(64)), ("szCondition", _text(1024)), ("szDescription", _text(3096))])
FAXREPORTHEADER = _record("FAXREPORTHEADER", [
    ("dwSize", U32), ("dwRows", U32), ("dwGroupBy", U32), ("dwTemplateID", U32)])
FAXREPORTROW = _record("FAXREPORTROW", [
    ("szKey", _text(32)), ("dwFaxes", U32), ("dwSent", U32), ("dwReceived", U32),
    ("dwFailed", U32), ("dwPages", U32), ("dwSeconds", U32), ("dwReserved", _u32s(2))])

# Every record class, by name.
RECORDS = {name: obj for name, obj in list(globals().items())
           if isinstance(obj, type) and issubclass(obj, Record) and obj is not Record}

# Constants of the headers that callers of the Python layer use.
QZ_FAXJOB_HOLD = 0x1
TASK_STATES = {1: "queued", 2: "held", 3: "locked", 4: "sending", 5: "done", 6: "failed",
               7: "stopped"}
QZ_TASK_QUEUED, QZ_TASK_HELD, QZ_TASK_LOCKED, QZ_TASK_SENDING = 1, 2, 3, 4
QZ_TASK_DONE, QZ_TASK_FAILED, QZ_TASK_STOPPED = 5, 6, 7
QZ_KIND_INBOX, QZ_KIND_SENT, QZ_KIND_DRAFTS, QZ_KIND_ARCHIVE = 1, 2, 3, 4
QZ_KIND_ADDRESSBOOK, QZ_KIND_NOTES, QZ_KIND_TEMPLATES, QZ_KIND_SCHEDULE = 5, 6, 7, 8
QZ_FAXVIEW_READ, QZ_FAXVIEW_IMPORTANT, QZ_FAXVIEW_PRINTED, QZ_FAXVIEW_FORWARDED = 1, 2, 4, 8

# dwInfoType of the information exports (0..7) -> the record of its items.
INFO_TYPE_RECORDS = (DOCUMENT_ITEM, COVERPAGE_ITEM, ADDRESS_ITEM, FAXVIEW_TABLE,
                     ADDRRELATION_TABLE, GROUP_ITEM, NOTE_ITEM, SCHEDULE_ITEM)
INFO_MESSAGE = 3
