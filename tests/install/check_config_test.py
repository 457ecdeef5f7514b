"""qzfaxd --check-config and --add-admin through the real program.

One table of configurations: each row changes a good one in one way and
names the exit status and the problem qzfaxd must print. Every run must
leave the files as they were. The program comes from $QZFAXD.
"""
import os
import pwd
import shutil
import sqlite3
import subprocess
from contextlib import closing

import pytest

QZFAXD = os.environ.get("QZFAXD", "qzfaxd")


def run(*args, cwd=None):
    p = subprocess.run([QZFAXD, *args], capture_output=True, text=True, timeout=60, cwd=cwd)
    return p.returncode, p.stdout + p.stderr


def snapshot(top):
    """Every path below top with its size, mode, owner and mtime."""
    out = {}
    for d, dirs, files in os.walk(top):
        for n in dirs + files:
            st = os.lstat(os.path.join(d, n))
            out[os.path.join(d, n)] = (st.st_size, st.st_mode, st.st_uid, st.st_mtime_ns)
    return out


@pytest.fixture(scope="module")
def made_db(tmp_path_factory):
    """A database as the server makes it (through --add-admin)."""
    path = tmp_path_factory.mktemp("made") / "qzfaxd.db"
    rc, out = run("--db", str(path), "--add-admin", "nobody")
    assert rc == 0, out
    return path


def set_sql(sql):
    def change(d):
        db = sqlite3.connect(d / "qzfaxd.db")
        db.executescript(sql)
        db.close()
        # No write-ahead log left behind: the checker reads the file alone.
        for extra in ("-wal", "-shm"):
            assert not os.path.exists(str(d / "qzfaxd.db") + extra)
    return change


def chmod(rel, mode):
    return lambda d: os.chmod(d / rel, mode)


def write(rel, data):
    return lambda d: (d / rel).write_bytes(data)


def chown_nobody(rel):
    return lambda d: os.chown(d / rel, pwd.getpwnam("nobody").pw_uid, -1)


NOT_ROOT = os.geteuid() != 0

# name, extra options, change to the good files, expected status, text printed
CASES = [
    ("good", [], None, 0, "configuration is fine"),
    ("ports at their last valid value", ["--port", "65535", "--epm-port", "65534"], None, 0, "fine"),
    ("port first invalid", ["--port", "65536"], None, 1, 'bad value for --port: "65536"'),
    ("mapper port first invalid", ["--epm-port", "65536"], None, 1, "--epm-port"),
    ("port not a number", ["--port", "80x"], None, 1, "--port"),
    ("same port twice", ["--port", "7001", "--epm-port", "7001"], None, 1, "are both 7001"),
    ("same port, no embedded mapper", ["--port", "7001", "--epm-port", "7001", "--no-epm"], None, 0, "fine"),
    ("lines at 64", ["--lines", "64"], None, 0, "fine"),
    ("lines at 65", ["--lines", "65"], None, 1, "--lines"),
    ("unknown option", ["--frobnicate"], None, 1, "unknown option --frobnicate"),
    ("option without value", ["--spool-dir"], None, 1, "--spool-dir needs a value"),
    ("tcp user too long", ["--tcp-user", "u" * 20], None, 1, "not a valid user identifier"),
    ("tcp user at 19", ["--tcp-user", "u" * 19], None, 0, "fine"),
    ("newer core schema", [], set_sql("PRAGMA user_version = 99;"), 1, "schema version 99, newer"),
    ("unknown schema part", [], set_sql("INSERT INTO schema_parts VALUES('later', 1);"), 1,
     'schema part "later" this server does not know'),
    ("newer schema part", [], set_sql("UPDATE schema_parts SET version = 99 WHERE name = 'users';"), 1,
     'schema part "users" is at version 99'),
    ("not a database", [], write("qzfaxd.db", b"x" * 4096), 1, "cannot be read as a database"),
    ("database open to others", [], chmod("qzfaxd.db", 0o644), 1, "open to other users (mode 0644"),
    ("data directory open to others", [], chmod("data", 0o750), 1, "data directory"),
    ("data directory is a file", [], lambda d: (shutil.rmtree(d / "data"), (d / "data").write_text("")), 1,
     "is not a directory"),
    ("spool directory missing", ["--spool-dir", "{d}/nospool"], None, 1, "spool directory"),
    ("spool writable by everyone", ["--spool-dir", "{d}/spool"], chmod("spool", 0o777), 1, "writable by everyone"),
    ("spool sticky group-writable", ["--spool-dir", "{d}/spool"], chmod("spool", 0o1770), 0, "fine"),
    ("database missing, directory there", ["--db", "{d}/new.db"], None, 0, "fine"),
    ("database named with URI characters", ["--db", "{d}/a?b#%25.db"],
     lambda d: shutil.copy(d / "qzfaxd.db", d / "a?b#%25.db"), 0, "fine"),
    ("database directory missing", ["--db", "{d}/no/such/dir/x.db", "--data-dir", "{d}/data"], None, 1,
     "cannot be created"),
    pytest.param("database of another user", [], chown_nobody("qzfaxd.db"), 1, "belongs to uid",
                 marks=pytest.mark.skipif(NOT_ROOT, reason="needs root to give a file away")),
]


@pytest.mark.parametrize("name,options,change,status,text", CASES, ids=[
    c.values[0] if hasattr(c, "values") else c[0] for c in CASES])
def test_check_config(tmp_path, made_db, name, options, change, status, text):
    shutil.copy(made_db, tmp_path / "qzfaxd.db")
    (tmp_path / "data").mkdir(mode=0o700)
    (tmp_path / "spool").mkdir(mode=0o755)
    if change:
        change(tmp_path)
    args = ["--check-config", "--db", str(tmp_path / "qzfaxd.db"), "--data-dir", str(tmp_path / "data")]
    args += [o.replace("{d}", str(tmp_path)) for o in options]
    before = snapshot(tmp_path)
    rc, out = run(*args, cwd=tmp_path)
    assert (rc, text in out) == (status, True), out
    if status == 1:
        assert "configuration is fine" not in out
    assert snapshot(tmp_path) == before, "--check-config changed files"


def test_add_admin(tmp_path):
    db = tmp_path / "qzfaxd.db"

    def admins():
        with closing(sqlite3.connect(db)) as c:
            return c.execute(
                "SELECT o.os_user, u.id, u.user_type, u.rights0, u.rights3 FROM os_users o "
                "JOIN users u ON u.id = o.user_id WHERE o.os_user = 'nobody'").fetchall()

    rc, out = run("--db", str(db), "--add-admin", "no-such-account-qz")
    assert rc == 1 and "not an account of this system" in out, out
    assert not db.exists()  # refused before anything was made
    rc, out = run("--db", str(db), "--add-admin", "nobody")
    assert rc == 0 and "now the administrator nobody" in out, out
    assert admins() == [("nobody", "nobody", 1, 0xFFFFFFFF, 0xFFFFFFFF)]
    rc, out = run("--db", str(db), "--add-admin", "nobody")  # again: nothing changes
    assert rc == 0 and "already mapped to the administrator nobody" in out, out
    assert admins() == [("nobody", "nobody", 1, 0xFFFFFFFF, 0xFFFFFFFF)]
    # An account mapped to an ordinary user is refused and stays as it was.
    with closing(sqlite3.connect(db)) as c, c:
        c.execute("UPDATE users SET user_type = 0 WHERE id = 'nobody'")
    rc, out = run("--db", str(db), "--add-admin", "nobody")
    assert rc == 1 and "mapped to the ordinary user nobody" in out, out
    assert admins()[0][2] == 0
