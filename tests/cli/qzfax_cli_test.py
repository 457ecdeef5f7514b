"""qzfax against a real qzfaxd: each family's happy path with its --json
output read back, and the bad-input paths (exit status, message with the
status number and its text, nothing sent).

Run by ctest as: python3 -m pytest qzfax_cli_test.py, with QZFAX, QZFAXD and
QZ_FAXDOC naming the built programs.
"""
import json
import os
import shutil
import struct
import subprocess
import sys

import pytest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "e2e"))
from qzfaxd_process import Qzfaxd  # noqa: E402

QZFAX = os.environ.get("QZFAX", "qzfax")


@pytest.fixture(scope="module")
def server():
    # Fast simulated lines; a failed attempt is retried at once.
    with Qzfaxd(os.environ["QZFAXD"], ["--connect-ms", "20", "--page-ms", "20", "--retry-ms", "20"],
                spool=True) as s:
        work = os.path.join(s.tmp.name, "work")
        os.mkdir(work)
        s.work = work
        s.letter = os.path.join(work, "letter.tif")
        subprocess.run([os.environ["QZ_FAXDOC"], s.letter, "CLI TEST", "PAGE"], check=True,
                       stdout=subprocess.DEVNULL)
        shutil.copy(s.letter, os.path.join(s.spool, "letter.tif"))
        with open(os.path.join(work, "plain.txt"), "w") as f:
            f.write("not a fax\n")
        with open(os.path.join(work, "cut.tif"), "wb") as f:
            f.write(b"II*\0" + struct.pack("<I", 1000))  # the first page lies beyond the end
        # A TIFF whose one page is uncompressed (compression 1), 8 bits deep.
        ifd = struct.pack("<H", 3) + struct.pack("<HHII", 256, 3, 1, 1728) + \
            struct.pack("<HHII", 258, 3, 1, 8) + struct.pack("<HHII", 259, 3, 1, 1) + struct.pack("<I", 0)
        with open(os.path.join(work, "gray.tif"), "wb") as f:
            f.write(b"II*\0" + struct.pack("<I", 8) + ifd)
        yield s


def qzfax(server, *args, transport=None, stdin=None):
    cmd = [QZFAX] + (["--transport", transport] if transport else []) + list(args)
    return subprocess.run(cmd, env=server.env, cwd=server.work, capture_output=True, text=True,
                          input=stdin, timeout=60)


def qjson(server, *args, **kw):
    r = qzfax(server, "--json", *args, **kw)
    assert r.returncode == 0, (args, r.stdout, r.stderr)
    return json.loads(r.stdout)


def tasks(server):
    return qjson(server, "queue", "list", "--all")["tasks"]


def test_send_wait_follows_to_the_outcome_and_the_fax_arrives(server):
    ok = qzfax(server, "send", server.letter, "-t", "Own line <8002>", "-s", "hello", "--wait")
    assert ok.returncode == 0, ok.stderr
    assert "1/1 pages" in ok.stderr and "done" in ok.stdout
    # The number ending in 98 never answers: the fax fails after its one attempt.
    bad = qzfax(server, "--json", "send", server.letter, "-t", "5550198", "--attempts", "1", "--wait")
    assert bad.returncode == 8, bad.stderr
    outcome = json.loads(bad.stdout)["faxes"]
    assert [(f["recipient"], f["state"]) for f in outcome] == [("5550198", "failed")]
    by_number = {t["recipient"]: t for t in tasks(server)}
    assert by_number["8002"]["state"] == "done" and by_number["8002"]["subject"] == "hello"
    assert by_number["8002"]["recipient_name"] == "Own line"
    received = by_number["8002"]["received_as"]
    assert received != 0
    inbox = qjson(server, "inbox", "list")["messages"]
    assert any(m["subject"] == "hello" and m["direction"] == "received" for m in inbox), inbox


def test_send_to_several_recipients_queues_one_task_each(server):
    out = qjson(server, "send", server.letter, "-t", "111", "-t", "222", "-p", "9", "--hold")
    assert [(f["recipient"], f["state"]) for f in out["faxes"]] == [("111", "held"), ("222", "held")]
    ids = [f["fax_id"] for f in out["faxes"]]
    held = {t["fax_id"] for t in qjson(server, "queue", "held")["tasks"]}
    assert set(ids) <= held
    # The steering commands, each checked through the queue's own view.
    steps = [
        (("queue", "lock", str(ids[0])), ids[0], "state", "locked"),
        (("queue", "priority", str(ids[0]), "3"), ids[0], "priority", 3),
        (("queue", "authorise", "--refuse", str(ids[1])), ids[1], "state", "failed"),
        (("queue", "stop", str(ids[0])), ids[0], "state", "stopped"),
    ]
    for args, fax, field, want in steps:
        r = qzfax(server, *args)
        assert r.returncode == 0, (args, r.stderr)
        [task] = qjson(server, "queue", "list", "--id", str(fax))["tasks"]
        assert task[field] == want, args
    assert qzfax(server, "queue", "delete", *map(str, ids)).returncode == 0
    assert not {t["fax_id"] for t in tasks(server)} & set(ids)


def first_message(server, folder="inbox"):
    messages = qjson(server, "inbox", "list", "-f", folder)["messages"]
    assert messages, folder
    return messages[0]["id"]


def test_messages_read_mark_fetch_move_delete(server):
    qzfax(server, "send", server.letter, "-t", "8001", "--wait")
    new = qjson(server, "messages", "list", "--new")["messages"]
    assert new and all(m["pages"] == 1 for m in new)
    mid = new[0]["id"]
    assert qjson(server, "inbox", "read", str(mid))["read"] is True
    assert mid not in [m["id"] for m in qjson(server, "inbox", "list", "-w", "unread=1")["messages"]]
    assert qjson(server, "inbox", "mark", str(mid), "--set", "important", "--clear", "read")["flags"] == ["important"]
    page = os.path.join(server.work, "page1.tif")
    assert qzfax(server, "inbox", "page", str(mid), "-o", page).returncode == 0
    with open(page, "rb") as f:
        assert f.read(4) in (b"II*\0", b"MM\0*")
    # Page 2 of a one-page fax does not exist: the server's status, with its text.
    r = qzfax(server, "inbox", "page", str(mid), "-p", "2", "-o", page)
    assert r.returncode == 7 and "0xC1FE0033 (BAD_DOCUMENT" in r.stderr
    assert qzfax(server, "inbox", "move", str(mid), "--to", "archive").returncode == 0
    assert mid in [m["id"] for m in qjson(server, "inbox", "list", "-f", "archive")["messages"]]
    assert qzfax(server, "inbox", "delete", str(mid)).returncode == 0
    r = qzfax(server, "inbox", "read", str(mid))
    assert r.returncode == 6


# Administration: each row adds something and finds it in the family's list.
ADMIN = [
    (("users", "add", "bob", "-n", "Bob B", "--password", "-", "-r", "0,0,0x20,0"),
     ("users", "list"), "users", {"id": "bob", "name": "Bob B", "rights": ["0x00000000", "0x00000000", "0x00000020", "0x00000000"]}),
    (("departments", "add", "sales", "-n", "Sales"), ("departments", "list"), "departments", {"id": "sales", "name": "Sales"}),
    (("addressbook", "add", "-n", "Alice", "--fax", "+49 30 1234", "--email", "a@example.org"),
     ("addressbook", "list"), "entries", {"name": "Alice", "fax": "+49 30 1234"}),
    (("lines", "add", "8101", "-n", "extra", "--no-receive"), ("lines", "list"), "lines",
     {"number": "8101", "state": "in service", "send": True, "receive": False}),
    (("devices", "add", "modem1", "-m", "M1"), ("devices", "list"), "devices", {"name": "modem1", "model": "M1"}),
    (("dialrules", "add", "-m", "0049", "--strip", "4", "--prepend", "0"), ("dialrules", "list"), "dialrules",
     {"match": "0049", "strip": 4, "prepend": "0"}),
    (("routing", "add", "admin", "--number", "8001"), ("routing", "list"), "routes", {"kind": "user", "target": "admin", "number": "8001"}),
    (("authorization", "add", "bob"), ("authorization", "list"), "entries", {"user": "bob", "hold": True}),
    (("drafts", "add", "LETTER", "-t", "333"), ("drafts", "list"), "drafts", {"recipients": ["333"]}),
]


@pytest.mark.parametrize("add,listing,key,want", ADMIN, ids=[a[0][0] for a in ADMIN])
def test_admin_add_shows_in_list(server, add, listing, key, want):
    add = tuple(server.letter if a == "LETTER" else a for a in add)
    r = qzfax(server, *add, stdin="secret\n")
    assert r.returncode == 0, r.stderr
    rows = qjson(server, *listing)[key]
    assert any(all(row.get(k) == v for k, v in want.items()) for row in rows), rows


# Each row makes a record, finds its ID in the listing, deletes it with the
# family's delete command and checks that the listing no longer has it.
LIFECYCLE = [
    ("scripts", ("scripts", "add", "dial.scr", "SCRIPT", "--description", "d"), ("scripts", "list"), "scripts",
     "name", "dial.scr", ("scripts", "delete")),
    ("devices", ("devices", "add", "board2"), ("devices", "list"), "devices", "name", "board2", ("devices", "delete")),
    ("dialrules", ("dialrules", "add", "-m", "7777"), ("dialrules", "list"), "dialrules", "match", "7777",
     ("dialrules", "delete")),
    ("routing", ("routing", "add", "admin", "--sender", "0301"), ("routing", "list"), "routes", "sender", "0301",
     ("routing", "delete")),
    ("authorization", ("users", "add", "dora"), ("authorization", "list"), "entries", "user", "dora",
     ("authorization", "delete")),
    ("addressbook", ("addressbook", "add", "-n", "Temp", "--fax", "999"), ("addressbook", "list"), "entries",
     "name", "Temp", ("addressbook", "delete")),
    ("drafts", ("drafts", "add", "LETTER", "-t", "4711"), ("drafts", "list"), "drafts", "recipients", ["4711"],
     ("drafts", "delete")),
]


@pytest.mark.parametrize("add,listing,key,field,value,delete", [r[1:] for r in LIFECYCLE],
                         ids=[r[0] for r in LIFECYCLE])
def test_delete_removes_what_add_made(server, add, listing, key, field, value, delete):
    script = os.path.join(server.work, "dial.txt")
    with open(script, "w") as f:
        f.write("ATDT\n")
    add = tuple({"LETTER": server.letter, "SCRIPT": script}.get(a, a) for a in add)
    assert qzfax(server, *add).returncode == 0
    if add[0] == "users":  # the authorization entry of a fresh user
        assert qzfax(server, "authorization", "add", add[2]).returncode == 0

    def ids():
        return [r["id"] if "id" in r else r["draft_id"] for r in qjson(server, *listing)[key] if r[field] == value]
    found = ids()
    assert len(found) == 1
    r = qzfax(server, *delete, str(found[0]))
    assert r.returncode == 0, r.stderr
    assert ids() == []
    # Deleting it again names a record that does not exist.
    assert qzfax(server, *delete, str(found[0])).returncode in (6, 7)


def test_users_and_departments_change(server):
    assert qzfax(server, "departments", "add", "ops", "-n", "Ops").returncode == 0
    assert qzfax(server, "users", "add", "erin", "-n", "Erin", "-d", "ops").returncode == 0
    assert qjson(server, "users", "show", "erin")["department"] == "ops"
    assert qjson(server, "departments", "list", "-w", "id=ops")["departments"][0]["members"] == 1
    # A department with a member is not deleted.
    r = qzfax(server, "departments", "delete", "ops")
    assert r.returncode == 7 and "IN_USE" in r.stderr
    assert qzfax(server, "users", "set", "erin", "--admin", "-n", "Erin E").returncode == 0
    shown = qjson(server, "users", "show", "erin")
    assert shown["admin"] is True and shown["name"] == "Erin E" and shown["department"] == "ops"
    assert qzfax(server, "users", "passwd", "erin", "--password", "-", stdin="pw2\n").returncode == 0
    assert qzfax(server, "departments", "set", "ops", "-n", "Operations", "-m", "erin").returncode == 0
    assert qjson(server, "departments", "list", "-w", "id=ops")["departments"][0]["manager"] == "erin"
    assert qzfax(server, "users", "delete", "erin").returncode == 0
    assert "erin" not in [u["id"] for u in qjson(server, "users", "list")["users"]]
    assert qzfax(server, "departments", "delete", "ops").returncode == 0


def test_printer_pair_logs_delete_and_progress(server):
    assert qzfax(server, "config", "set", "--pair", "printer:front", "Hall|Laser").returncode == 0
    [printer] = qjson(server, "printers", "list")["printers"]
    del printer["state"]
    assert printer == {"id": 1, "name": "front", "location": "Hall", "description": "Laser", "default": True,
                       "cups": False}
    fax = qjson(server, "send", server.letter, "-t", "8001", "--wait")["faxes"][0]["fax_id"]
    [p] = qjson(server, "queue", "progress", str(fax))["progress"]
    assert (p["state"], p["pages_done"], p["pages_total"]) == ("done", 1, 1)
    assert qjson(server, "queue", "show", str(fax))["recipient"] == "8001"
    assert qzfax(server, "log", "system", "--delete", "-w", "source=lines").returncode == 0
    assert qjson(server, "log", "system", "-w", "source=lines")["entries"] == []
    assert qzfax(server, "log", "user", "--delete", "-w", "proc=rpcGetPortList").returncode == 0
    assert qjson(server, "log", "user", "-w", "proc=rpcGetPortList")["entries"] == []
    # The report over the history: the fax sent to our own line above counts
    # once as sent (one page) and once as received.
    report = qjson(server, "reports", "run", "-w", "group=user")["report"]
    assert report["group"] == "user"
    mine = [r for r in report["rows"] if r["key"] == "admin"]
    assert mine and mine[0]["sent"] >= 1 and mine[0]["pages"] >= 1
    assert sum(r["received"] for r in report["rows"]) >= 1
    r = qzfax(server, "reports", "run", "-w", "group=week")
    assert r.returncode == 7 and "0xC1FE0003 (BAD_CONDITION" in r.stderr


def fax_tiff(pages):
    """A TIFF of `pages` bilevel Group 4 pages (no image data: enough for the
    local check, which reads the page directory only)."""
    data = bytearray(b"II*\0" + struct.pack("<I", 8))
    for i in range(pages):
        nxt = len(data) + 2 + 2 * 12 + 4 if i + 1 < pages else 0
        data += struct.pack("<H", 2) + struct.pack("<HHII", 258, 3, 1, 1) + \
            struct.pack("<HHII", 259, 3, 1, 4) + struct.pack("<I", nxt)
    return bytes(data)


@pytest.mark.parametrize("pages,want_exit,want_text", [(1000, 7, "BAD_DOCUMENT"), (1001, 2, "more than 1000 pages")])
def test_page_count_bound_is_checked_locally(server, pages, want_exit, want_text):
    path = os.path.join(server.work, "pages%d.tif" % pages)
    with open(path, "wb") as f:
        f.write(fax_tiff(pages))
    r = qzfax(server, "send", path, "-t", "8002")
    assert r.returncode == want_exit and want_text in r.stderr, r.stderr


def test_no_server_reachable_exits_3_with_the_status_text(server):
    env = dict(server.env)
    env["QZRPC_EPM_PORT"] = "1"
    env["QZRPC_LRPC_DIR"] = os.path.join(server.work, "no-such-dir")
    env["XDG_RUNTIME_DIR"] = os.path.join(server.work, "no-such-dir")
    r = subprocess.run([QZFAX, "queue", "list"], env=env, cwd=server.work, capture_output=True, text=True,
                       timeout=60)
    assert r.returncode == 3, r.stderr
    assert "logging in to the fax server (LogInServer): status" in r.stderr
    assert "no text is known" not in r.stderr


def test_lines_config_logs_and_service(server):
    [line] = [l for l in qjson(server, "lines", "list")["lines"] if l["number"] == "8101"]
    assert qjson(server, "lines", "stop", str(line["id"]))["state"] == "out of service"
    assert any(e["source"] == "lines" for e in qjson(server, "log", "system", "-w", "source=lines")["entries"])
    # Values at their bounds: 20 retries is the last one taken, 21 the first refused.
    assert qzfax(server, "config", "set", "Retries", "20").returncode == 0
    assert qjson(server, "config", "get", "Retries") == {"Retries": 20}
    r = qzfax(server, "config", "set", "Retries", "21")
    assert r.returncode == 7 and "BAD_ARGUMENT" in r.stderr
    assert qjson(server, "config", "set", "StationID", "+49 30 99")["ok"] is True
    assert qjson(server, "config", "get")["StationID"] == "+49 30 99"
    logins = qjson(server, "log", "user", "-w", "proc=rpcLogInServer")["entries"]
    assert logins and {e["procedure"] for e in logins} == {"rpcLogInServer"}
    assert qjson(server, "server", "caps")["server"] == "qzfaxd"
    assert qzfax(server, "server", "backup", "cli-backup").returncode == 0
    assert os.path.exists(os.path.join(server.tmp.name, "qzfaxd.db.data", "backups", "cli-backup"))
    # A stopped service refuses new faxes; started again it takes them.
    assert qzfax(server, "server", "stop").returncode == 0
    r = qzfax(server, "send", server.letter, "-t", "444")
    assert r.returncode == 7 and "SERVICE_STOPPED" in r.stderr
    assert qzfax(server, "server", "start", "--password", "").returncode == 0
    assert qzfax(server, "send", server.letter, "-t", "444").returncode == 0


def test_rights_one_bit_present_one_missing(server):
    # Over TCP the server takes every caller as "guest": give it the right to
    # submit its own faxes (0x20) but not the right to view them (0x40).
    assert qjson(server, "users", "whoami", transport="tcp")["id"] == "guest"
    assert qzfax(server, "users", "set", "guest", "-r", "0,0,0x20,0").returncode == 0
    r = qzfax(server, "--json", "send", os.path.join(server.spool, "letter.tif"), "-t", "555", transport="tcp")
    assert r.returncode == 0, r.stderr
    # The library tests the bit itself, and its message has the library's text.
    r = qzfax(server, "queue", "list", transport="tcp")
    assert r.returncode == 5
    assert "0xC1FF300C (The user does not have the permission this operation requires.)" in r.stderr
    r = qzfax(server, "users", "list", transport="tcp")
    assert r.returncode == 5 and "0xC1FF300C" in r.stderr


BAD = [
    ("not a tiff", ("send", "plain.txt", "-t", "8002"), 2, "is not a TIFF file"),
    ("cut tiff", ("send", "cut.tif", "-t", "8002"), 2, "not a valid TIFF"),
    ("gray tiff", ("send", "gray.tif", "-t", "8002"), 2, "not bilevel CCITT Group 3 or 4"),
    ("missing file", ("send", "nothing.tif", "-t", "8002"), 2, "cannot read"),
    ("bad number", ("send", "LETTER", "-t", "80x2"), 2, "is not a fax number"),
    ("priority 10", ("send", "LETTER", "-t", "8002", "-p", "10"), 2, "priority"),
    ("no recipient", ("send", "LETTER"), 2, "--to is required"),
    ("unknown option", ("queue", "list", "--bogus"), 2, "--bogus"),
    ("unknown folder", ("inbox", "list", "-f", "nowhere"), 2, "unknown folder \"nowhere\""),
    ("unknown flag", ("inbox", "mark", "1", "--set", "shiny"), 2, "shiny"),
    ("config name", ("config", "get", "NoSuchName"), 2, "unknown configuration name"),
    ("config number", ("config", "set", "Retries", "many"), 2, "takes a number"),
    ("user id too long", ("users", "add", "u" * 20), 2, "at most 19 characters"),
    ("rights", ("users", "add", "carl", "-r", "1,2,3"), 2, "four masks"),
    ("no task", ("queue", "priority", "999999", "3"), 6, "0xC1FE0031 (NO_SUCH_TASK"),
    ("no user", ("users", "delete", "nobody"), 6, "(NOT_FOUND"),
    ("no folder number", ("inbox", "list", "-f", "99999"), 6, "no folder 99999"),
    ("backup name", ("server", "backup", ".hidden"), 7, "BAD_BACKUP_NAME"),
]


@pytest.mark.parametrize("args,want_exit,want_text", [b[1:] for b in BAD], ids=[b[0] for b in BAD])
def test_bad_input_exits_with_message_and_sends_nothing(server, args, want_exit, want_text):
    args = tuple(server.letter if a == "LETTER" else a for a in args)
    before = len(tasks(server))
    r = qzfax(server, *args)
    assert r.returncode == want_exit, r.stderr
    assert want_text in r.stderr
    assert len(tasks(server)) == before
    # --json gives an error document too, with the status and its text.
    if want_exit >= 3:
        doc = json.loads(qzfax(server, "--json", *args).stdout)["error"]
        assert doc["exit_status"] == want_exit
        if "status" in doc:
            assert doc["text"] and doc["status_hex"] in r.stderr


def test_completion_script_knows_the_command_tree(server):
    r = qzfax(server, "completion", "bash")
    assert r.returncode == 0
    assert subprocess.run(["bash", "-n"], input=r.stdout, text=True).returncode == 0
    probe = r.stdout + '\nCOMP_WORDS=(qzfax queue au); COMP_CWORD=2; _qzfax; echo "${COMPREPLY[*]}"\n' \
        'COMP_WORDS=(qzfax --json send x.tif --wa); COMP_CWORD=4; _qzfax; echo "${COMPREPLY[*]}"\n'
    out = subprocess.run(["bash"], input=probe, text=True, capture_output=True).stdout.splitlines()
    assert out == ["authorise authorize", "--wait"]


# Every listing is one JSON document under its stable key, each row with
# the fields scripts rely on.
LISTINGS = [
    (("queue", "list", "--all"), "tasks", {"fax_id", "state", "recipient", "pages_total", "user"}),
    (("queue", "held"), "tasks", set()),
    (("drafts", "list"), "drafts", {"draft_id", "recipients", "document"}),
    (("inbox", "list"), "messages", {"id", "time", "remote", "pages", "flags", "subject"}),
    (("inbox", "list", "-f", "sent"), "messages", set()),
    (("addressbook", "list"), "entries", {"id", "name", "fax"}),
    (("users", "list"), "users", {"id", "name", "admin", "department", "rights"}),
    (("departments", "list"), "departments", {"id", "name", "manager", "members"}),
    (("lines", "list"), "lines", {"id", "number", "state"}),
    (("lines", "status"), "lines", {"id", "state", "activity"}),
    (("devices", "list"), "devices", {"id", "name", "model"}),
    (("scripts", "list"), "scripts", set()),
    (("dialrules", "list"), "dialrules", {"id", "match", "strip", "prepend"}),
    (("routing", "list"), "routes", {"id", "kind", "target"}),
    (("authorization", "list"), "entries", {"id", "user", "hold"}),
    (("printers", "list"), "printers", {"id", "name"}),
    (("log", "user", "-w", "proc=rpcLogInServer"), "entries", {"id", "time", "user", "procedure", "result"}),
    (("log", "system"), "entries", {"id", "time", "level", "source", "text"}),
]


@pytest.mark.parametrize("args,key,fields", LISTINGS, ids=[" ".join(a[0][:2]) + str(i) for i, a in enumerate(LISTINGS)])
def test_every_listing_is_one_json_document(server, args, key, fields):
    doc = qjson(server, *args)
    assert list(doc) == ([key, "groups"] if args[0] == "addressbook" else [key])
    assert isinstance(doc[key], list)
    for row in doc[key]:
        assert fields <= set(row), row
    if fields:
        assert doc[key], "the earlier tests leave rows here"


@pytest.mark.parametrize("mode", ["now", "after", "drain"])
def test_each_stop_mode_stops_the_service(server, mode):
    assert qzfax(server, "server", "stop", "--mode", mode).returncode == 0
    r = qzfax(server, "send", server.letter, "-t", "666")
    assert r.returncode == 7 and "0xC1FE0030 (SERVICE_STOPPED" in r.stderr
    assert qzfax(server, "server", "start", "--password", "").returncode == 0
    assert qzfax(server, "send", server.letter, "-t", "666").returncode == 0


# The administration tables added later: each row changes something and
# reads the effect back through another command. Long values are exactly
# their field's maximum (one character more is refused in BAD_NEW below).
EFFECTS = [
    (("prefixes", "add", "88", "-k", "internal", "--description", "d" * 63), ("prefixes", "list"), "prefixes",
     {"kind": "internal", "prefix": "88", "description": "d" * 63}),
    (("limits", "add", "-p", "0900", "--from", "23:59", "--to", "24:00"), ("limits", "list"), "limits",
     {"prefix": "0900", "from": "23:59", "to": "24:00", "action": "deny"}),
    (("autorecv", "add", "--number", "8002", "-n", "main", "--rings", "20"), ("autorecv", "list"), "entries",
     {"number": "8002", "name": "main", "rings": 20, "enabled": True}),
    (("reports", "templates", "add", "t" * 63, "-g", "month", "-d", "sent", "-w", "ok=1"),
     ("reports", "templates", "list"), "templates", {"name": "t" * 63, "group": "month", "direction": "sent"}),
]


@pytest.mark.parametrize("change,listing,key,want", EFFECTS, ids=[e[0][0] for e in EFFECTS])
def test_new_admin_commands_take_effect(server, change, listing, key, want):
    assert qzfax(server, *change).returncode == 0
    rows = qjson(server, *listing)[key]
    assert any(all(row.get(k) == v for k, v in want.items()) for row in rows), rows


def only(rows, **match):
    found = [r for r in rows if all(r[k] == v for k, v in match.items())]
    assert len(found) == 1, (match, rows)
    return found[0]


def test_edit_forward_import_and_details_take_effect(server):
    # A held task changed field by field, then its document forwarded.
    fax = qjson(server, "send", server.letter, "-t", "111", "--hold")["faxes"][0]["fax_id"]
    assert qzfax(server, "queue", "edit", str(fax), "-t", "Bob <112>", "-s", "s" * 127, "-p", "7").returncode == 0
    shown = qjson(server, "queue", "show", str(fax))
    assert (shown["recipient"], shown["recipient_name"], shown["subject"], shown["priority"]) == \
        ("112", "Bob", "s" * 127, 7)
    assert qzfax(server, "queue", "forward", str(fax), "-t", "113", "-t", "114").returncode == 0
    assert {"113", "114"} <= {t["recipient"] for t in tasks(server)}
    # A draft replaced whole.
    assert qzfax(server, "drafts", "add", server.letter, "-t", "4712").returncode == 0
    draft = only(qjson(server, "drafts", "list")["drafts"], recipients=["4712"])["draft_id"]
    assert qzfax(server, "drafts", "edit", str(draft), server.letter, "-t", "4713", "-t", "4714").returncode == 0
    assert only(qjson(server, "drafts", "list")["drafts"], draft_id=draft)["recipients"] == ["4713", "4714"]
    # An address entry changed.
    assert qzfax(server, "addressbook", "add", "-n", "Temp2", "--fax", "1").returncode == 0
    entry = only(qjson(server, "addressbook", "list")["entries"], name="Temp2")["id"]
    assert qzfax(server, "addressbook", "set", str(entry), "-n", "n" * 39).returncode == 0
    assert only(qjson(server, "addressbook", "list")["entries"], id=entry)["name"] == "n" * 39
    # User details set and cleared.
    assert qzfax(server, "users", "details", "admin", "--phone", "p" * 27, "--title", "Boss").returncode == 0
    assert qzfax(server, "users", "details", "admin", "--clear", "title").returncode == 0
    assert qjson(server, "users", "show", "admin")["details"] == {"phone": "p" * 27}
    # A waiting file imported, its document dropped, replaced, then purged.
    imports = os.path.join(server.tmp.name, "qzfaxd.db.data", "import", "admin")
    os.makedirs(imports, exist_ok=True)
    shutil.copy(server.letter, os.path.join(imports, "imported.tif"))
    assert qzfax(server, "inbox", "import", "-n", "100").returncode == 0
    mid = only(qjson(server, "inbox", "list")["messages"], subject="imported")["id"]
    steps = [(("inbox", "delete", str(mid), "--document-only"), 0), (("inbox", "replace", str(mid), server.letter), 1)]
    for args, pages in steps:
        assert qzfax(server, *args).returncode == 0, args
        assert only(qjson(server, "inbox", "list")["messages"], id=mid)["pages"] == pages, args
    assert qzfax(server, "inbox", "purge", "-w", "name=imported").returncode == 0
    assert qzfax(server, "inbox", "read", str(mid)).returncode == 6
    # A fax to 8002 is answered by the automatic reception entry above.
    assert qzfax(server, "send", server.letter, "-t", "8002", "--wait").returncode == 0
    assert qjson(server, "autorecv", "history", "-w", "line_number=8002")["entries"]
    assert qzfax(server, "autorecv", "history", "--delete", "-w", "line_number=8002").returncode == 0
    assert qjson(server, "autorecv", "history", "-w", "line_number=8002")["entries"] == []


def test_change_password_and_service_start_runs(server):
    def change(old, new):
        return qzfax(server, "users", "change-password", stdin=old + "\n" + new + "\n")
    assert change("", "p" * 127).returncode == 0
    r = qzfax(server, "server", "start", "--password", "")
    assert r.returncode == 7 and "WRONG_PASSWORD" in r.stderr
    r = change("p" * 127, "q" * 128)
    assert r.returncode == 7 and "BAD_PASSWORD" in r.stderr
    assert change("p" * 127, "").returncode == 0
    # Stopped, then started without --paused, the service sends.
    assert qzfax(server, "server", "stop").returncode == 0
    assert qzfax(server, "server", "start", "--password", "").returncode == 0
    assert qjson(server, "send", server.letter, "-t", "8001", "--wait", "--timeout", "20")["faxes"][0]["state"] == "done"


BAD_NEW = [
    ("limit to 24:01", ("limits", "add", "--to", "24:01"), 2, "from 00:00 to 24:00"),
    ("limit from 24:00", ("limits", "add", "--from", "24:00"), 2, "from 00:00 to 23:59"),
    ("rings 21", ("autorecv", "add", "--rings", "21"), 2, "21"),
    ("prefix description", ("prefixes", "add", "7", "--description", "d" * 64), 2, "at most 63 characters"),
    ("template name", ("reports", "templates", "add", "t" * 64), 2, "at most 63 characters"),
    ("template condition", ("reports", "templates", "add", "x", "-w", "colour=red"), 7, "BAD_CONDITION"),
    ("edit subject", ("queue", "edit", "1", "-s", "s" * 128), 2, "at most 127 characters"),
    ("address name", ("addressbook", "set", "1", "-n", "n" * 40), 2, "at most 39 characters"),
    ("detail value", ("users", "details", "admin", "--phone", "p" * 28), 2, "at most 27 characters"),
    ("import 101", ("inbox", "import", "-n", "101"), 2, "101"),
    ("purge all", ("inbox", "purge", "-w", ""), 7, "BAD_CONDITION"),
    ("no template", ("reports", "templates", "delete", "999"), 6, "NO_SUCH_RECORD"),
    ("no draft", ("drafts", "edit", "999", "LETTER", "-t", "1"), 6, "NOT_FOUND"),
    ("inline wait", ("send", "--inline", "LETTER", "-t", "1", "--wait"), 2, "--wait cannot follow"),
    ("inline hold", ("send", "--inline", "LETTER", "-t", "1", "--hold"), 2, "--hold cannot"),
    ("inline sender", ("send", "--inline", "LETTER", "-t", "1", "--sender", "s" * 30), 2, "at most 29 characters"),
    ("relations of nothing", ("addressbook", "groups", "relations"), 2, "one of --group and --entry"),
    ("cover page name", ("coverpages", "delete", ".hidden"), 2, "not a stored file name"),
    ("SysLogBackup set", ("config", "set", "SysLogBackup", "x"), 2, "qzfax log backup"),
    ("no group", ("addressbook", "groups", "delete", "999999"), 6, "no group 999999"),
]


@pytest.mark.parametrize("args,want_exit,want_text", [b[1:] for b in BAD_NEW], ids=[b[0] for b in BAD_NEW])
def test_new_commands_refuse_bad_input(server, args, want_exit, want_text):
    args = tuple(server.letter if a == "LETTER" else a for a in args)
    r = qzfax(server, *args)
    assert r.returncode == want_exit and want_text in r.stderr, r.stderr
    if want_exit == 2:  # refused before any login: the same without a server
        env = dict(server.env, QZRPC_EPM_PORT="1", QZRPC_LRPC_DIR=os.path.join(server.work, "none"))
        r = subprocess.run([QZFAX] + list(args), env=env, cwd=server.work, capture_output=True, timeout=60)
        assert r.returncode == 2, r.stderr


# Over TCP as "guest": one rights bit of dwRights[3] present, the other
# missing. Automatic reception entries are checked by the server alone
# (its ACCESS_DENIED), the prefix table by the library first.
RIGHTS = [
    ("0x1000", ("autorecv", "add", "--number", "9001"), 0, ""),
    ("0x2000", ("autorecv", "add", "--number", "9002"), 5, "0xC1FE0007"),
    ("0x2000", ("prefixes", "list"), 0, ""),
    ("0x1000", ("prefixes", "list"), 5, "0xC1FF300C"),
]


@pytest.mark.parametrize("mask,args,want_exit,want_text", RIGHTS, ids=["%s %s" % (r[0], r[1][0]) for r in RIGHTS])
def test_new_commands_rights_one_bit(server, mask, args, want_exit, want_text):
    assert qzfax(server, "users", "set", "guest", "-r", "0,0,0," + mask).returncode == 0
    r = qzfax(server, *args, transport="tcp")
    assert r.returncode == want_exit and want_text in r.stderr, r.stderr


def put(server, name, data=b"", size=None):
    """A file in the work directory: `data`, then zeros up to `size` (sparse)."""
    path = os.path.join(server.work, name)
    with open(path, "wb") as f:
        f.write(data)
        if size is not None:
            f.truncate(size)
    return path


def test_cover_pages_and_script_files_read_back(server):
    # The server returns no ID for a new cover page; the first one it stores
    # gets 1 (no test before this one adds a cover page).
    got = os.path.join(server.work, "got")

    def fetch(*cmd):
        r = qzfax(server, *cmd, "-o", got)
        return open(got, "rb").read() if r.returncode == 0 else r.returncode
    front = put(server, "front.cov", b"cover one\n")
    assert qzfax(server, "coverpages", "add", front).returncode == 0
    assert fetch("coverpages", "fetch", "1") == b"cover one\n"
    assert qzfax(server, "coverpages", "replace", "1", put(server, "new.cov", b"cover two\n")).returncode == 0
    assert fetch("coverpages", "fetch", "1") == b"cover two\n"
    r = qzfax(server, "coverpages", "add", front)
    assert r.returncode == 7 and "EXISTS" in r.stderr
    assert qzfax(server, "coverpages", "delete", "front.cov").returncode == 0
    assert fetch("coverpages", "fetch", "1") == 6
    assert qzfax(server, "coverpages", "delete", "1").returncode == 6
    # A script's file replaced by name; a name no script has is not stored.
    assert qzfax(server, "scripts", "add", "rt.scr", front).returncode == 0
    assert qzfax(server, "scripts", "replace", "rt.scr", server.letter).returncode == 0
    assert fetch("scripts", "fetch", "rt.scr") == open(server.letter, "rb").read()
    assert qzfax(server, "scripts", "replace", "none.scr", front).returncode == 6
    assert fetch("scripts", "fetch", "none.scr") != b"cover one\n"


# Each bound from both sides; what is taken is read back (with --json) and
# must show `want`. Files: a name and a size (None: a few bytes of text).
INLINE_MAX = (4 << 20) - (64 << 10)
BOUNDS = [
    ("cover name 64", ("coverpages", "add", ("c" * 64, None)), 0, ("coverpages", "delete", "c" * 64), "c" * 64),
    ("cover name 65", ("coverpages", "add", ("c" * 65, None)), 2, "not a stored file name", None),
    ("cover 64 MiB", ("coverpages", "add", ("big.cov", 64 << 20)), 0, ("coverpages", "delete", "big.cov"), "big.cov"),
    ("cover 64 MiB + 1", ("coverpages", "add", ("big1.cov", (64 << 20) + 1)), 2, "larger than the server", None),
    ("group name 39", ("addressbook", "groups", "add", "g" * 39), 0, ("addressbook", "groups", "list"), "g" * 39),
    ("group name 40", ("addressbook", "groups", "add", "g" * 40), 2, "at most 39 characters", None),
    ("inline at its bound", ("send", "--inline", ("max.tif", INLINE_MAX), "-t", "5550100", "--sender", "s" * 29),
     0, ("queue", "list"), "s" * 29),
    ("inline one over", ("send", "--inline", ("over.tif", INLINE_MAX + 1), "-t", "5550100"), 2, "too large", None),
]


@pytest.mark.parametrize("args,want_exit,check,want", [b[1:] for b in BOUNDS], ids=[b[0] for b in BOUNDS])
def test_new_commands_bounds_from_both_sides(server, args, want_exit, check, want):
    letter = open(server.letter, "rb").read()
    args = [put(server, a[0], letter if a[0].endswith(".tif") else b"x\n", a[1]) if isinstance(a, tuple) else a
            for a in args]
    r = qzfax(server, *args)
    assert r.returncode == want_exit, r.stderr
    if want_exit != 0:
        assert check in r.stderr
        return
    r = qzfax(server, "--json", *check)
    assert r.returncode == 0 and want in r.stdout, r.stderr


def test_group_membership_read_back_through_relations(server):
    assert qzfax(server, "addressbook", "add", "-n", "Member", "--fax", "77").returncode == 0
    entry = only(qjson(server, "addressbook", "list")["entries"], name="Member")["id"]
    assert qzfax(server, "addressbook", "groups", "add", "team", "--note", "n" * 79).returncode == 0
    group = only(qjson(server, "addressbook", "groups", "list")["groups"], name="team")
    assert group["note"] == "n" * 79

    def relations(option, value):
        rows = qjson(server, "addressbook", "groups", "relations", option, str(value))["relations"]
        return [(r["group"], r["entry"]) for r in rows]
    join = ("addressbook", "groups", "join", str(group["id"]), str(entry))
    assert qzfax(server, *join).returncode == 0
    assert relations("--group", group["id"]) == [("team", "Member")] == relations("--entry", entry)
    r = qzfax(server, *join)
    assert r.returncode == 7 and "EXISTS" in r.stderr
    assert qzfax(server, "addressbook", "groups", "leave", str(group["id"]), str(entry)).returncode == 0
    assert relations("--group", group["id"]) == []
    # A deleted group takes its relations with it; the entry stays.
    assert qzfax(server, *join).returncode == 0
    assert qzfax(server, "addressbook", "groups", "delete", str(group["id"])).returncode == 0
    assert relations("--entry", entry) == []
    assert group["id"] not in [g["id"] for g in qjson(server, "addressbook", "groups", "list")["groups"]]
    assert only(qjson(server, "addressbook", "list")["entries"], id=entry)


def test_log_backup_writes_the_selected_entries_where_it_says(server):
    assert qzfax(server, "config", "set", "StationID", "backup probe").returncode == 0
    selected = qjson(server, "log", "system", "-w", "source=configuration")["entries"]
    out = qjson(server, "log", "backup", "-w", "source=configuration")
    assert out["entries"] == len(selected) > 0
    assert os.path.dirname(out["file"]) == os.path.join(server.tmp.name, "qzfaxd.db.data", "backups")
    data = open(out["file"], "rb").read()
    assert len(data) == 440 * len(selected) and b"StationID = \"backup probe\"" in data


# Over TCP as "guest", one bit present and the other missing; the server's
# refusals are 0xC1FE0007, the library's 0xC1FF300C. An inline document
# need not lie in the spool directory.
RIGHTS_FILES = [
    ("0x800,0,0,0", ("addressbook", "groups", "list"), 0, ""),
    ("0x1000,0,0,0", ("addressbook", "groups", "list"), 5, "0xC1FE0007"),
    ("0x1000,0,0,0", ("addressbook", "groups", "add", "tcp group"), 0, ""),
    ("0x800,0,0,0", ("addressbook", "groups", "add", "tcp group 2"), 5, "0xC1FF300C"),
    ("0,0,0,0x420", ("log", "backup"), 0, ""),
    ("0,0,0,0x20", ("log", "backup"), 5, "0xC1FE0007"),
    ("0,0,0,0x400", ("log", "backup"), 5, "0xC1FF300C"),
    ("0,0,0x20,0", ("send", "--inline", "LETTER", "-t", "555"), 0, ""),
    ("0,0,0x20,0", ("send", "LETTER", "-t", "555"), 7, "FILE_DENIED"),
    ("0,0,0x40,0", ("send", "--inline", "LETTER", "-t", "555"), 5, "0xC1FE0007"),
    ("-1,-1,-1,-1", ("coverpages", "add", "LETTER"), 5, "0xC1FE0007"),
]


@pytest.mark.parametrize("masks,args,want_exit,want_text", RIGHTS_FILES,
                         ids=["%s %s" % (r[0], " ".join(r[1][:2])) for r in RIGHTS_FILES])
def test_file_group_backup_inline_rights(server, masks, args, want_exit, want_text):
    qzfax(server, "users", "whoami", transport="tcp")  # "guest" is made at its first login
    assert qzfax(server, "users", "set", "guest", "-r", masks.replace("-1", "0xFFFFFFFF")).returncode == 0
    r = qzfax(server, *[server.letter if a == "LETTER" else a for a in args], transport="tcp")
    assert r.returncode == want_exit and want_text in r.stderr, r.stderr
