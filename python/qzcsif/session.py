"""Session: the Pythonic layer over the most used exports.

    with qzcsif.Session() as s:
        result = s.send_fax("8002", "/home/me/letter.tif", subject="hello")
        for task in s.tasks():
            print(task.dwFaxID, task.text("szRecipientNumber"))
        for entry in s.user_log("proc=rpcSendFax"):
            print(entry.dwLogID, entry.text("szProcedure"), entry.lResult)

Entering the with block initialises the library and logs in (LogInServer);
leaving it ends the session (QZIfUninitialize logs out). A process has one
live session at a time. Lists come back as RecordBlocks (records copied out
on access, the block freed with RDMemFree when closed or collected); a
failure raises QzError with the status and the library's text.

Thread-safety: the methods may be called from several threads once the
session is open; opening and closing must not overlap other calls.
"""
import ctypes
from ctypes import byref, c_uint32

from . import _native
from . import records as R
from ._native import QZ_E_ALREADYLOGGEDIN, QZ_OK, QzError, id_array, text_arg


class Session:
    def __init__(self, library=None):
        self.lib = library or _native.library()
        self.server_id = None

    # ---- login and logout ------------------------------------------------

    def open(self):
        if self.server_id is not None:
            return self
        self.lib.call("QZIfInitialize")
        sid = c_uint32()
        status = self.lib.raw("LogInServer")(byref(sid))
        if status != QZ_OK:
            error = self.lib.error("LogInServer", status)
            # The live session belongs to someone else in this process:
            # ending the library here would log them out.
            if status != QZ_E_ALREADYLOGGEDIN:
                self.lib.raw("QZIfUninitialize")()
            raise error
        self.server_id = sid.value
        return self

    def close(self):
        """Ends the session (logs out). Nothing happens when it is closed."""
        if self.server_id is not None:
            self.server_id = None
            self.lib.call("QZIfUninitialize")

    def __enter__(self):
        return self.open()

    def __exit__(self, *exc):
        self.close()
        return False

    @property
    def id(self):
        if self.server_id is None:
            raise QzError(_native.QZ_E_NOTLOGGEDIN,
                          self.lib.status_text(_native.QZ_E_NOTLOGGEDIN), "Session")
        return self.server_id

    def _call(self, name, *args):
        return self.lib.call(name, self.id, *args)

    def _block(self, name, args, record_type, count_is_bytes=False):
        return self.lib.block(name, (self.id,) + tuple(args), record_type, count_is_bytes)

    def is_valid(self):
        return self.server_id is not None and self.lib.raw("IsServerIDValid")(self.server_id) == 1

    def info(self):
        info = R.SERVERINFO()
        self._call("GetServerInfo", byref(info))
        return info

    def synchronize(self):
        self._call("RemoteSychronizeFromServer")
        self._call("RemoteSychronizeToServer")

    def change_password(self, old, new):
        self._call("RemoteChangePassword", text_arg(old), text_arg(new))

    # ---- sending and the send queue ---------------------------------------

    def send_fax(self, number, document, name="", subject="", sender="", cover_page="",
                 priority=5, schedule_time=0, max_attempts=0, hold=False):
        """Submits one fax; returns its SENDRESULT_TABLE (dwFaxID, dwState)."""
        job = R.FAXJOB_TABLE.make(
            szRecipientNumber=number, szRecipientName=name, szSubject=subject, szSender=sender,
            szCoverPage=cover_page, szDocumentPath=str(document), dwPriority=priority,
            dwScheduleTime=schedule_time, dwMaxAttempts=max_attempts,
            dwFlags=R.QZ_FAXJOB_HOLD if hold else 0)
        return self.send_jobs([job])[0]

    def send_jobs(self, jobs):
        """Submits FAXJOB_TABLE records in one call (all queued or none);
        returns one SENDRESULT_TABLE per job. On a refusal the QzError
        carries the per-job results as .results."""
        jobs = list(jobs)
        if not jobs:
            raise ValueError("no fax job")
        buf = bytearray()
        for job in jobs:
            if job.dwSize == 0:
                job = job.copy()
                job.dwSize = ctypes.sizeof(job)
            buf += bytes(job)
        cbuf = (ctypes.c_uint8 * len(buf)).from_buffer(buf)
        results = (R.SENDRESULT_TABLE * len(jobs))()
        status = self.lib.raw("RemoteSendFax")(self.id, cbuf, len(jobs), results)
        out = [r.copy() for r in results]
        if status != QZ_OK:
            error = self.lib.error("RemoteSendFax", status)
            error.results = out
            raise error
        return out

    def tasks(self, fax_id=0, everyone=True):
        """Send tasks (all of them, or the one fax_id names): everyone's or
        only one's own."""
        return self._block("RemoteViewSendTask", (0 if everyone else 1, fax_id),
                           R.SENDTASK_TABLE)

    def task(self, fax_id):
        with self.tasks(fax_id) as block:
            return block[0]

    def progress(self, fax_ids):
        arr, n = id_array(fax_ids)
        return self._block("RemoteGetTaskProgress", (arr, n), R.TASKINFO)

    def stop(self, fax_ids):
        arr, n = id_array(fax_ids)
        self._call("RemoteSendFaxStop", arr, n)

    def lock(self, fax_ids):
        arr, n = id_array(fax_ids)
        self._call("RemoteLockTask", arr, n, 1)

    def set_priority(self, priorities):
        """priorities: {fax_id: priority} or (fax_id, priority) pairs."""
        pairs = list(priorities.items() if hasattr(priorities, "items") else priorities)
        recs = (R.TASKPRIORITY * len(pairs))(*[R.TASKPRIORITY(f, p, 0) for f, p in pairs])
        self._call("RemoteEditTaskPRI", recs, len(pairs))

    def delete(self, fax_ids, any_state=True):
        """Deletes send tasks: any task, or only finished ones."""
        arr, n = id_array(fax_ids)
        self._call("RemoteDeleteTask", arr, n, 1 if any_state else 0)

    def authorize(self, fax_id, allow=True):
        self._call("RemoteAuthToFax", fax_id, 1 if allow else 0)

    def held_tasks(self):
        return self._block("RemoteGetAuthTasks", (), R.SENDTASK_TABLE)

    def edit_tasks(self, tasks):
        tasks = list(tasks)
        arr = (R.SENDTASK_TABLE * len(tasks))(*tasks)
        self._call("RemoteEditSendTask", arr, len(tasks))

    # ---- folders and messages -------------------------------------------

    def folders(self, kind):
        return self._block("RemoteGetFolders", (kind,), R.FOLDERINFO_TABLE)

    def folder(self, kind):
        """The first folder of a kind (one's personal folder when there is one)."""
        with self.folders(kind) as block:
            if not len(block):
                raise LookupError("no folder of kind %d" % kind)
            return block[0]

    def items(self, folder, info_type, where=None):
        """The items of a kind (dwInfoType 0..7) in a folder, as records of
        R.INFO_TYPE_RECORDS[info_type]."""
        record = R.INFO_TYPE_RECORDS[info_type]
        return self._block("RemoteGetInformationEx", (byref(folder), info_type, text_arg(where)),
                           record, count_is_bytes=True)

    def messages(self, folder, where=None):
        return self.items(folder, R.INFO_MESSAGE, where)

    def new_item(self, folder, info_type, record):
        """Creates an item; the record comes back as the server stored it."""
        self._call("RemoteNewInformation", byref(folder), info_type, byref(record),
                   ctypes.sizeof(record))
        return record

    def edit_item(self, folder, info_type, record):
        self._call("RemoteEditInformation", byref(folder), info_type, byref(record),
                   ctypes.sizeof(record))

    def delete_items(self, folder, info_type, records):
        buf = _records_buffer(records)
        self._call("RemoteDeleteInformation", byref(folder), info_type, buf, len(buf))

    def move_items(self, source, target, info_type, records):
        buf = _records_buffer(records)
        self._call("RemoteMoveInformation", byref(source), byref(target), info_type, buf,
                   len(buf))

    def fax_views(self, condition=None):
        return self._block("RemoteGetFaxViewRecord", (text_arg(condition),), R.FAXVIEW_TABLE)

    def set_message_flags(self, fax_id, flags):
        self._call("RemoteSetFaxViewFlag", fax_id, flags)

    def new_messages(self, folder, fax_ids):
        arr, n = id_array(fax_ids)
        return self._block("RemoteGetNewReceivedMessages", (byref(folder), arr, n),
                           R.RECVTASK_TABLE)

    def fetch_page(self, page_id, filename):
        self._call("RemoteGetOnePageFromServer", page_id, text_arg(str(filename)))

    # ---- logs ---------------------------------------------------------------

    def user_log(self, condition=""):
        return self._block("RemoteQueryUserLog", (text_arg(condition),), R.USERLOG_TABLE)

    def delete_user_log(self, condition):
        self._call("RemoteDelUserLog", text_arg(condition))

    def system_log(self, condition=""):
        return self._block("RemoteQuerySysLog", (text_arg(condition),), R.SYSLOG_TABLE)

    def delete_system_log(self, condition):
        self._call("RemoteDelSysLog", text_arg(condition))

    # ---- users and departments ------------------------------------------

    def users(self):
        """Every user's USERINFO_TABLE."""
        return self._block("RemoteGetUserRecord", (2, b""), R.USERINFO_TABLE,
                           count_is_bytes=True)

    def user(self, user_id=None):
        """One user's USERINFO_TABLE (one's own without an identifier)."""
        data = self.lib.data("RemoteGetUserRecord", (self.id, 0, text_arg(user_id)))
        size = ctypes.sizeof(R.USERINFO_TABLE)
        if len(data) < size:
            raise ValueError("RemoteGetUserRecord: %d bytes, not a user record" % len(data))
        return R.USERINFO_TABLE.from_buffer_copy(data[:size])

    def add_user(self, user_id, password, name="", administrator=False, rights=(0, 0, 0, 0),
                 department="", description=""):
        self._user_op(1, user_id, password, name, administrator, rights, department,
                      description)

    def delete_user(self, user_id):
        self._user_op(3, user_id)

    def _user_op(self, op, user_id, password="", name="", administrator=False,
                 rights=(0, 0, 0, 0), department="", description=""):
        rec = R.USEROP_RECORD.make(szUserID=user_id, szDeptID=department, szUserName=name,
                                   szPassword=password, dwUserType=1 if administrator else 0)
        rec.dwRights[:] = list(rights)
        tail = description.encode(R.ENCODING) + b"\0"
        if len(tail) > 256:
            raise ValueError("a user's description holds at most 255 bytes")
        rec.dwLength = ctypes.sizeof(rec) + len(tail)
        buf = bytes(rec) + tail
        self._call("RemoteUserOP", op, buf, 1)

    def departments(self, condition=None):
        return self._block("RemoteGetDeptData", (text_arg(condition),), R.DEPTINFO_TABLE)

    # ---- lines ---------------------------------------------------------------

    def lines(self, condition=None):
        return self._block("RemoteGetPortList", (text_arg(condition),), R.PORTINFO_TABLE)

    def line_status(self):
        return self._block("RemoteGetPortRealInfo", (), R.PORT_CURRENT_STATUS)

    def set_lines(self, lines):
        """Sends PORTINFO_TABLE records: dwState 0 out of service, 1 in
        service, 2 remove; dwPortID 0 adds a line."""
        lines = list(lines)
        arr = (R.PORTINFO_TABLE * len(lines))(*lines)
        self._call("RemoteSetPortStatus", arr, len(lines))

    def devices(self, condition=None):
        return self._block("RemoteGetDeviceInfo", (text_arg(condition),), R.DEVICEINFO_TABLE)

    def printers(self):
        return self._block("RemoteQueryServerPrinters", (), R.PRINTERINFO)


def _records_buffer(records):
    return b"".join(bytes(r) for r in records)
