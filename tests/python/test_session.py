"""The qzcsif package against a real qzfaxd (started on free ports with a
scratch database; the OS user running the test is its administrator
"admin"): login and logout, a fax sent and steered through the queue,
folders and messages, users and lines, the user log as records, failures
as QzError, and blocks freed with RDMemFree exactly once."""
import collections
import ctypes
import gc
import os
import re
import subprocess
import sys
import time

import pytest

import qzcsif
from qzcsif import QzError, Session

SOURCE = os.environ.get("QZ_SOURCE_DIR", os.path.join(os.path.dirname(__file__), "..", ".."))
sys.path.insert(0, os.path.join(SOURCE, "tests", "e2e"))
from qzfaxd_process import Qzfaxd  # noqa: E402

TASK_STATE, NO_SUCH_TASK, BAD_ARGUMENT, BAD_CONDITION = 0xC1FE0032, 0xC1FE0031, 0xC1FE0009, 0xC1FE0003


def library_texts():
    """The texts of the library's statuses, from the one list they are made of."""
    with open(os.path.join(SOURCE, "src", "msg", "statuses.inc")) as f:
        return {int(code, 16): text for code, text in
                re.findall(r'QZ_STATUS\(\w+, (0x[0-9A-Fa-f]+)u, "([^"]*)"\)', f.read())}


@pytest.fixture(scope="module")
def document(tmp_path_factory):
    """A qzfaxd on free ports, clients pointed at it, the working directory
    (where the library writes its trace log) a scratch one; a one-page fax."""
    work = tmp_path_factory.mktemp("client")
    old_cwd, old_env = os.getcwd(), dict(os.environ)
    with Qzfaxd(os.environ["QZFAXD"]) as server:
        os.environ["QZRPC_EPM_PORT"] = server.env["QZRPC_EPM_PORT"]
        os.environ["QZRPC_LRPC_DIR"] = server.env["QZRPC_LRPC_DIR"]
        os.chdir(work)
        path = str(work / "letter.tif")
        subprocess.run([os.environ["QZ_FAXDOC"], path, "A FAX FROM PYTHON"], check=True,
                       stdout=subprocess.DEVNULL)
        try:
            yield path
        finally:
            os.chdir(old_cwd)
            os.environ.clear()
            os.environ.update(old_env)


@pytest.fixture
def session(document):
    with Session() as s:
        yield s


@pytest.fixture
def frees(monkeypatch):
    """Every RDMemFree the package makes: (address, what RDMemFree answered)."""
    lib = qzcsif.library()
    real, freed = lib.free_memory, []

    def counting(address):
        answer = real(address)
        freed.append((address, answer))
        return answer
    monkeypatch.setattr(lib, "free_memory", counting)
    return freed


def test_login_logout_and_one_session_per_process(document):
    lib = qzcsif.library()
    with Session() as s:
        info = s.info()
        first_id, session_no = s.server_id, info.dwSessionNo
        assert info.UserInfo.text("szUserID") == "admin"
        assert info.UserInfo.dwRights[3] == 0xFFFFFFFF
        # A second login while this one is live is refused and ends nothing.
        with pytest.raises(QzError) as refused:
            Session().open()
        assert refused.value.status == qzcsif.QZ_E_ALREADYLOGGEDIN
        assert s.is_valid()
    assert lib.raw("IsServerIDValid")(first_id) == 0
    with pytest.raises(QzError) as closed:
        s.info()
    assert closed.value.status == qzcsif.QZ_E_NOTLOGGEDIN
    with Session() as again:
        assert again.server_id != first_id
        logout = list(again.user_log("proc=rpcLogoutServer"))
    assert [(e.dwSessionNo, e.lResult) for e in logout] == [(session_no, 1)]


def test_send_a_fax_and_steer_the_queue(session, document):
    later = int(time.time()) + 86400
    queued = session.send_fax("8002", document, name="Bob", subject="py queue",
                              schedule_time=later)
    # Both wait for tomorrow, so the engine leaves them where the steps put them.
    held = session.send_fax("8003", document, subject="py held", hold=True, schedule_time=later)
    assert (queued.lStatus, queued.dwState, queued.dwPages, queued.text("szDetail")) == \
        (1, qzcsif.QZ_TASK_QUEUED, 1, "queued")
    assert held.dwState == qzcsif.QZ_TASK_HELD
    task = session.task(queued.dwFaxID)
    assert (task.text("szRecipientNumber"), task.text("szRecipientName"), task.text("szSubject"),
            task.text("szUserID"), task.dwScheduleTime, task.dwPagesTotal) == \
        ("8002", "Bob", "py queue", "admin", later, 1)
    assert queued.dwFaxID in [t.dwFaxID for t in session.tasks()]
    assert [t.dwFaxID for t in session.held_tasks()] == [held.dwFaxID]

    q, h = queued.dwFaxID, held.dwFaxID
    steps = [  # (what, action, task, field, value or refusal status)
        ("priority 9, the highest", lambda: session.set_priority({q: 9}), q, "dwPriority", 9),
        ("priority 10, one above", lambda: session.set_priority({q: 10}), q, None, BAD_ARGUMENT),
        ("lock", lambda: session.lock([q]), q, "dwState", qzcsif.QZ_TASK_LOCKED),
        ("stop", lambda: session.stop([q]), q, "dwState", qzcsif.QZ_TASK_STOPPED),
        ("stop a stopped task", lambda: session.stop([q]), q, None, TASK_STATE),
        ("authorise", lambda: session.authorize(h), h, "dwState", qzcsif.QZ_TASK_QUEUED),
        ("authorise again", lambda: session.authorize(h), h, None, TASK_STATE),
    ]
    for what, action, fax, field, expected in steps:
        if field is None:
            with pytest.raises(QzError) as refused:
                action()
            assert refused.value.status == expected, what
        else:
            action()
            assert getattr(session.task(fax), field) == expected, what
    progress = [(p.dwFaxID, p.dwState, p.dwPagesTotal) for p in session.progress([q, 999999])]
    assert progress == [(q, qzcsif.QZ_TASK_STOPPED, 1), (999999, 0, 0)]

    session.delete([q, h])
    with pytest.raises(QzError) as gone:
        session.task(q)
    assert gone.value.status == NO_SUCH_TASK
    # The refused priority is in the user log with the server's status.
    refusals = list(session.user_log("proc=rpcEditTaskPRI; result=0x%08X" % BAD_ARGUMENT))
    assert len(refusals) == 1
    assert refusals[0].lResult & 0xFFFFFFFF == BAD_ARGUMENT


def test_user_log_as_records(session):
    session.synchronize()
    entries = list(session.user_log())
    assert all(isinstance(e, qzcsif.USERLOG_TABLE) for e in entries)
    ids = [e.dwLogID for e in entries]
    assert ids == sorted(set(ids))
    mine = [e for e in entries if e.dwSessionNo == session.info().dwSessionNo]
    assert [e.text("szProcedure") for e in mine] == \
        ["rpcLogInServer", "rpcSychronize", "rpcSychronize"]
    last = mine[-1].to_dict()
    assert (last["szUserID"], last["lResult"]) == ("admin", 1)
    assert last["dwTime"] >= int(time.time()) - 600
    # A condition selects on the server; "after=" pages through the log.
    page = [e.dwLogID for e in session.user_log("after=%d" % ids[-2])]
    assert page[0] == ids[-1] and page == sorted(page) and len(page) >= 2


def test_folders_messages_users_and_lines(session):
    inbox = session.folder(qzcsif.QZ_KIND_INBOX)
    assert (inbox.text("szName"), inbox.text("szOwner"), inbox.dwKind) == ("Inbox", "admin", 1)
    made = session.new_item(inbox, qzcsif.records.INFO_MESSAGE,
                            qzcsif.FAXVIEW_TABLE.make(szSubject="note to self", szRemote="555"))
    assert made.dwFaxID != 0 and made.dwFolderID == inbox.dwFolderID
    assert [(m.dwFaxID, m.text("szSubject")) for m in session.messages(inbox, "unread=1")] == \
        [(made.dwFaxID, "note to self")]
    session.set_message_flags(made.dwFaxID, qzcsif.QZ_FAXVIEW_READ)
    assert len(session.messages(inbox, "unread=1")) == 0
    session.delete_items(inbox, qzcsif.records.INFO_MESSAGE, [made])
    assert len(session.messages(inbox)) == 0

    session.add_user("pyuser", "s3cret", name="Py User", rights=(0, 0, 0x20, 0))
    users = {u.text("szUserID"): u for u in session.users()}
    assert users["pyuser"].text("szUserName") == "Py User"
    assert list(users["pyuser"].dwRights) == [0, 0, 0x20, 0]
    session.delete_user("pyuser")
    assert "pyuser" not in [u.text("szUserID") for u in session.users()]

    session.set_lines([qzcsif.PORTINFO_TABLE.make(dwState=1, szNumber="8101", szName="py line",
                                                  dwFlags=3)])
    lines = [(p.text("szNumber"), p.text("szName"), p.dwState) for p in session.lines()]
    assert ("8101", "py line", 1) in lines


def test_failures_raise_qzerror_with_number_and_text(session):
    lib, texts = qzcsif.library(), library_texts()
    cases = [  # (what, call, export, status, library text expected)
        ("a dead server ID", lambda: lib.call("GetServerInfo", session.id + 1000,
                                              qzcsif.SERVERINFO()),
         "GetServerInfo", qzcsif.QZ_E_BADSERVERID, True),
        ("folder kind 9, one above", lambda: session.folders(9), "RemoteGetFolders",
         qzcsif.QZ_E_INVALIDARG, True),
        ("folder kind 0, one below", lambda: session.folders(0), "RemoteGetFolders",
         qzcsif.QZ_E_INVALIDARG, True),
        ("a condition the server refuses", lambda: session.user_log("bogus=1"),
         "RemoteQueryUserLog", BAD_CONDITION, False),
        ("an export not offered", lambda: lib.call("RemoteCheckDialRule", session.id, 1, 0),
         "RemoteCheckDialRule", qzcsif.E_NOTIMPL, False),
    ]
    for what, call, export, status, has_text in cases:
        with pytest.raises(QzError) as caught:
            call()
        err = caught.value
        assert (err.function, err.status) == (export, status), what
        assert "0x%08X" % status in str(err), what
        if has_text:
            assert err.text == texts[status], what
            assert err.text in str(err), what
    assert len(session.folders(8)) >= 1  # the last kind in range is answered
    with pytest.raises(QzError) as refused:
        session.send_fax("8002", "/nonexistent/letter.tif")
    assert refused.value.results[0].dwFaxID == 0
    assert refused.value.results[0].lStatus & 0xFFFFFFFF == refused.value.status


def test_blocks_are_freed_once(session, frees):
    # Read twice, closed twice: one free, records identical.
    with session.user_log() as block:
        first, second = list(block), list(block)
        address = block.address
    block.close()
    assert first == second and len(first) > 0
    assert frees == [(address, frees[0][1])] and frees[0][1] != 0
    # Records are copies: they outlive the block, the block does not.
    assert first[0].text("szProcedure") == "rpcLogInServer"
    with pytest.raises(ValueError):
        block[0]

    # An iterator abandoned after one record; a block dropped unread; an
    # exception in a with block; a refused call (no block handed out).
    frees.clear()
    abandoned = iter(session.user_log())
    next(abandoned)
    dropped = session.folders(qzcsif.QZ_KIND_SENT)
    addresses = [abandoned.gi_frame.f_locals["self"].address, dropped.address]
    del abandoned, dropped
    gc.collect()
    with pytest.raises(RuntimeError):
        with session.folders(qzcsif.QZ_KIND_INBOX) as folders:
            addresses.append(folders.address)
            raise RuntimeError("interrupted")
    with pytest.raises(QzError):
        session.user_log("bogus=1")
    session.user()  # a byte block, copied and freed at once
    counts = collections.Counter(address for address, _ in frees)
    assert set(addresses) <= set(counts)
    assert max(counts.values()) == 1 and len(counts) == 4
    assert all(answer != 0 for _, answer in frees)
