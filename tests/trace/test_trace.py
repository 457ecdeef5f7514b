"""qzfax trace on real call trace logs.

The log comes from real library calls (trace_client.c) against a qzfaxd on
free ports; expectations come from the client's own report and from an
independent scan of the raw log, never from qzfax itself.
"""
import datetime
import json
import os
import random
import re
import select
import signal
import subprocess
import sys
import time

import pytest

sys.path.insert(0, os.environ["QZ_E2E_DIR"])
from qzfaxd_process import Qzfaxd  # noqa: E402

QZFAX = os.environ["QZFAX"]
STAMP = re.compile(rb"^(\d+)-(\d+)-(\d+)-(\d+):(\d+):(\d+) (\d+)mm\t ?([^\n]*)$", re.M)


def run_client(server, cwd):
    r = subprocess.run([os.environ["QZ_TRACE_CLIENT"]], env=server.env, cwd=cwd,
                       capture_output=True, text=True, timeout=60)
    assert r.returncode == 0, r.stderr
    return [line.split() for line in r.stdout.splitlines()]


def raw_entries(data):
    """(offset, time, label) of every entry, read straight from the bytes."""
    out = []
    for m in STAMP.finditer(data):
        y, mo, d, h, mi, s, ms = (int(g) for g in m.groups()[:7])
        out.append((m.start(), datetime.datetime(y, mo, d, h, mi, s, ms * 1000),
                    m.group(8).decode()))
    return out


def qzfax(*args, cwd=None):
    r = subprocess.run([QZFAX, *args], capture_output=True, text=True, errors="replace",
                       timeout=60, cwd=cwd)
    return r


def doc(*args):
    r = qzfax("--json", "trace", *args)
    assert r.returncode == 0, r.stderr
    return json.loads(r.stdout)


@pytest.fixture(scope="module")
def real(tmp_path_factory):
    d = tmp_path_factory.mktemp("log")
    with Qzfaxd(os.environ["QZFAXD"]) as server:
        report = run_client(server, d)
    path = d / "qzlogfile.qzx"
    data = path.read_bytes()
    return {"path": str(path), "data": data, "report": report, "raw": raw_entries(data)}


def iso(t):
    return t.strftime("%Y-%m-%dT%H:%M:%S.") + "%03d" % (t.microsecond // 1000)


def test_real_log_read_whole_with_records_and_statuses(real):
    out = doc(real["path"])
    assert out["problems"] == [] and out["torn_entries"] == 0
    got = [(e["offset"], e["time"], e["label"]) for e in out["entries"]]
    assert got == [(o, iso(t), label) for o, t, label in real["raw"]]

    def returns(name):
        return [e for e in out["entries"] if e["name"] == name and e["kind"] == "return"]

    # Records decoded field by field from a real user log block.
    log = returns("RemoteQueryUserLog")[0]["dumps"][0]
    assert log["record"] == "USERLOG_TABLE" and log["bytes"] % 508 == 0
    first = log["records"][0]
    assert (first["szUserID"], first["szProcedure"], first["dwOpnum"], first["lResult"]) == \
        ("admin", "rpcLogInServer", 100, 1)
    assert len(log["records"]) == log["bytes"] // 508 and log["rest_bytes"] == 0
    folders = returns("RemoteGetFolders")[0]["dumps"][0]
    assert folders["record"] == "FOLDERINFO_TABLE"
    assert all(r["dwKind"] == 1 for r in folders["records"]) and folders["records"]

    # Each result the client saw is the lret of its return entry, in order
    # (RemoteChangePassword writes no return entry, GetServerInfo's has no lret).
    seen = [(r[0], int(r[1], 16)) for r in real["report"]
            if r[0] not in ("RemoteChangePassword", "GetServerInfo")]
    logged = [(e["name"], e["lret"] & 0xFFFFFFFF) for e in out["entries"]
              if e["kind"] == "return" and e["lret"] is not None]
    assert logged == seen
    for e in out["entries"]:
        if e["ok"] is False:
            assert e["status_name"].startswith("QZ_E_") and e["status_text"], e


def test_filters_at_their_boundaries(real):
    raw = real["raw"]
    stale_id = next(int(r[2]) for r in real["report"] if r[1] == "c1ff3002")
    live_id = int(real["report"][1][2])
    # A boundary entry whose millisecond no earlier entry shares.
    k = next(i for i in range(1, len(raw)) if raw[i][1] != raw[i - 1][1])
    t = raw[k][1]
    ms = datetime.timedelta(milliseconds=1)
    log_form = lambda x: "%d-%d-%d-%d:%d:%d %d" % (x.year, x.month, x.day, x.hour, x.minute,
                                                   x.second, x.microsecond // 1000)

    def offsets(pred):
        return [o for o, when, label in raw if pred(when, label)]

    cases = [
        (["--since", log_form(t)], offsets(lambda w, l: w >= t)),
        (["--since", iso(t + ms)], offsets(lambda w, l: w >= t + ms)),
        (["--until", iso(t)], offsets(lambda w, l: w <= t)),
        (["--until", log_form(t - ms)], offsets(lambda w, l: w < t)),
        (["--export", "RemoteGetFolders"], offsets(lambda w, l: "RemoteGetFolders" in l)),
        (["--export", "RemoteGetFolder"], []),
    ]
    for args, want in cases:
        got = [e["offset"] for e in doc(real["path"], *args)["entries"]]
        assert got == want, args

    failing = doc(real["path"], "--failures")["entries"]
    assert [(e["kind"], e["name"], e["status"]) for e in failing] == [
        ("call", "RemoteGetFolders", None), ("return", "RemoteGetFolders", "0xc1ff3001"),
        ("call", "RemoteGetFolders", None), ("return", "RemoteGetFolders", "0xc1ff3002")]

    stale = doc(real["path"], "--server-id", str(stale_id))["entries"]
    assert [(e["kind"], e["server_id"]) for e in stale] == [("call", stale_id), ("return", stale_id)]
    live = doc(real["path"], "--server-id", str(live_id))["entries"]
    assert live and all(e["server_id"] == live_id for e in live)
    assert not {e["offset"] for e in live} & {e["offset"] for e in stale}
    assert not any(e["name"] == "LogInServer" for e in live)

    summary = {s["name"]: s for s in doc(real["path"], "--summary")["summary"]}
    folders = summary["RemoteGetFolders"]
    assert (folders["calls"], folders["returns"], folders["failures"]) == (3, 3, 2)
    texts = {s["status"]: s["text"] for s in folders["statuses"]}
    assert set(texts) == {"0xc1ff3001", "0xc1ff3002"} and all(texts.values())
    assert texts["0xc1ff3001"] != texts["0xc1ff3002"]
    d = folders["duration_ms"]
    assert d["count"] == 3 and 0 <= d["min"] <= d["mean"] <= d["max"]
    assert summary["ChangePassword"]["returns"] == 0
    only_failed = doc(real["path"], "--summary", "--failures")["summary"]
    assert [(s["name"], s["calls"], s["returns"], s["failures"]) for s in only_failed] == [
        ("RemoteGetFolders", 2, 2, 2)]

    bad = qzfax("trace", "--since", "2026-13-01", real["path"])
    assert bad.returncode == 2 and "--since" in bad.stderr


def test_torn_and_garbage_logs(real, tmp_path):
    data, raw = real["data"], real["raw"]
    log_ret = next(o for o, _, label in raw if label.startswith("Call RemoteQueryUserLog return"))
    in_dump = data.index(b"\n\t0x", data.index(b"\t\n", log_ret)) + 40
    log_call = next(o for o, _, label in raw if label.startswith("Call RemoteQueryUserLog"))
    in_line = data.index(b"pszCondition", log_call) + 4
    garbage = b"\x00\xff\n\n\tlret = 1\n" + bytes(range(256)) + b"2026-1-1-1:1:1"
    next_entry = raw[-2][0]
    cases = [  # (bytes, entries read, last entry torn, problem offsets)
        (data[:in_dump], 1 + sum(o < log_ret for o, _, _ in raw), True, [log_ret]),
        (data[:in_line], sum(o < in_line for o, _, _ in raw), True, [log_call]),
        (data + garbage, len(raw), False, [len(data)]),
        (data[:in_dump] + data[next_entry:], sum(o < log_ret for o, _, _ in raw) + 3, False, None),
    ]
    for i, (content, count, last_torn, problem_at) in enumerate(cases):
        path = tmp_path / ("torn%d.qzx" % i)
        path.write_bytes(content)
        out = doc(str(path))
        assert out["entries_read"] == count, i
        assert out["entries"][-1]["torn"] is last_torn, i
        assert out["problems"], i
        if problem_at is not None:
            assert [p["offset"] for p in out["problems"]] == problem_at, i
        text = qzfax("trace", str(path))
        assert text.returncode == 0, i
        assert "torn" in text.stderr or not last_torn, i
    # The entry written after a torn one is recovered whole.
    assert out["entries"][-1]["label"] == raw[-1][2] and out["torn_entries"] == 1

    # Never a crash: random cuts, garbage and splices.
    rng = random.Random(12)
    for _ in range(40):
        cut = rng.randrange(len(data))
        junk = bytes(rng.randrange(256) for _ in range(rng.randrange(300)))
        path = tmp_path / "fuzz.qzx"
        path.write_bytes(data[:cut] + junk + data[rng.randrange(len(data)):])
        out = doc(str(path))
        assert out["entries_read"] >= 1


def test_text_view_decodes_within_its_bounds(real):
    records = len(next(e for e in doc(real["path"])["entries"] if e["kind"] == "return"
                       and e["name"] == "RemoteQueryUserLog")["dumps"][0]["records"])
    assert records > 1
    r = qzfax("trace", "-e", "RemoteQueryUserLog", real["path"], "--max-records", "1")
    assert r.returncode == 0 and 'szProcedure "rpcLogInServer"' in r.stdout
    assert r.stdout.count("USERLOG_TABLE[") == 1
    assert "... %d more USERLOG_TABLE records" % (records - 1) in r.stdout
    bad_id = next(e for e in doc(real["path"], "--failures")["entries"] if e["ok"] is False
                  and e["status"] == "0xc1ff3002")
    r = qzfax("trace", "--failures", real["path"])
    assert "0xc1ff3002 QZ_E_BADSERVERID: " + bad_id["status_text"] in r.stdout
    r = qzfax("trace", "--summary", real["path"])
    assert re.search(r"^RemoteGetFolders +3 +3 +2 ", r.stdout, re.M), r.stdout


def read_json_lines(proc, want, timeout=30):
    """JSON lines from proc until want(lines) holds; fails after timeout."""
    lines, buf = [], b""
    deadline = time.monotonic() + timeout
    while not want(lines):
        left = deadline - time.monotonic()
        assert left > 0, "timed out; got %r" % lines
        ready, _, _ = select.select([proc.stdout], [], [], left)
        if ready:
            chunk = os.read(proc.stdout.fileno(), 65536)
            assert chunk, "qzfax ended early"
            buf += chunk
            while b"\n" in buf:
                line, buf = buf.split(b"\n", 1)
                lines.append(json.loads(line))
    return lines


def test_follow_waits_for_the_log_and_picks_up_appends(real, tmp_path):
    proc = subprocess.Popen([QZFAX, "--json", "trace", "--follow", "--interval", "20"],
                            cwd=tmp_path, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    try:
        with Qzfaxd(os.environ["QZFAXD"]) as server:
            report = run_client(server, tmp_path)  # the log appears
        want = sum(1 for r in report if r[0] != "RemoteChangePassword") * 2 + 1
        lines = read_json_lines(proc, lambda ls: len(ls) >= want)
        assert all(l["type"] == "entry" and not l["torn"] for l in lines)
        assert lines[-1]["label"] == "Call ChangePassword"
        # One more entry, written in two pieces: only the whole entry shows.
        data = real["data"]
        start = next(o for o, _, label in real["raw"] if label.startswith("Call RemoteQueryUserLog return"))
        end = next(o for o, _, _ in real["raw"] if o > start)
        with open(tmp_path / "qzlogfile.qzx", "ab") as f:
            f.write(data[start:start + 200])
            f.flush()
            # Many poll intervals with half an entry: nothing (and nothing torn) shows.
            ready, _, _ = select.select([proc.stdout], [], [], 0.3)
            assert not ready
            f.write(data[start + 200:end])
        more = read_json_lines(proc, lambda ls: len(ls) >= 1)
        assert len(more) == 1 and more[0]["label"] == "Call RemoteQueryUserLog return"
        assert not more[0]["torn"] and more[0]["dumps"][0]["records"][0]["szUserID"] == "admin"
        # Truncated and written again: read from the start.
        with open(tmp_path / "qzlogfile.qzx", "wb") as f:
            f.flush()
            assert read_json_lines(proc, lambda ls: len(ls) >= 1)[0]["type"] == "problem"
            f.write(data[start:end])
        again = read_json_lines(proc, lambda ls: len(ls) >= 1)
        assert [(l["type"], l["offset"]) for l in again] == [("entry", 0)]
    finally:
        proc.send_signal(signal.SIGTERM)
        assert proc.wait(timeout=10) == 0


def dump(data, address=0x1000):
    """A buffer dump as the log writes it: a tab line, rows of up to 16
    bytes, each full row but the last followed by its bytes raw; no bytes:
    only the two line feeds."""
    out = b"\t" if data else b""
    for i in range(0, len(data), 16):
        if i:
            out += b"\t" + data[i - 16:i]
        out += b"\n\t0x%08x\t" % (address + i) + b"".join(b"%02x " % c for c in data[i:i + 16])
    return out + b"\n\n"


def test_format_corners_the_real_log_lacks(tmp_path):
    folder = bytearray(104)
    folder[0:4] = (7).to_bytes(4, "little")
    folder[28:35] = b"Reports"
    fake_stamp = b"1-1-1-1:1:1 1mm\t"  # 16 bytes that look like an entry start
    log = (
        b"2027-2-1-9:3:4 5mm\t\tdwServerID = 3\n\n"  # no label
        b"2027-2-1-9:3:4 6mm\t Call RemoteDeleteReportTemplate\n\tdwServerID = 3\n"
        b"\t&fhParent = 0x00001000\n\tsizeof(FOLDERINFO_TABLE) = 0x68\n" + dump(bytes(folder)) +
        b"\tnReportID = 5\n\n"  # the entry goes on after its dump
        b"2027-2-1-9:3:4 7mm\t Call RemoteDelUserLog\n\tdwServerID = 3\n\tpszCondition = a\nb\n\n"
        b"2027-2-1-9:3:4 8mm\t Call rpcSendFax \n\tpFaxInfo = 0x00002000\n\tdwSize = 0x14\n" +
        dump(fake_stamp + b"\n\n\t ") +
        b"2027-2-1-9:3:4 9mm\t Call RemoteGetScripts return \n\t*ppScriptInfo = 0x00000000\n"
        b"\tlSize = 0x0\n" + dump(b"") + b"\tlret = c1ff3002\n\n"
        b"2027-2-1-9:3:4 10mm\t Call ServerStop return \n\tlret = 0\n\n"
        b"2027-2-1-9:3:4 11mm\t Call rpcGetFile\n\tdwID = 4\n Call rpcGetFile return\n\tlret = 1\n\n"
        b"2027-2-1-9:3:4 12mm\t Call Bad\xff\xfeName\n\n")
    path = tmp_path / "corners.qzx"
    path.write_bytes(log)
    out = doc(str(path))
    assert out["problems"] == [] and out["entries_read"] == 8
    e = out["entries"]
    assert (e[0]["label"], e[0]["server_id"]) == ("", 3)
    assert [l.get("name") for l in e[1]["lines"][1:]] == [
        "dwServerID", "&fhParent", "sizeof(FOLDERINFO_TABLE)", "nReportID"]
    folder_rec = e[1]["dumps"][0]["records"][0]
    assert (folder_rec["dwFolderID"], folder_rec["szName"]) == (7, "Reports")
    assert e[2]["lines"][-1] == {"name": "pszCondition", "value": "a\nb"}
    assert e[3]["dumps"][0]["bytes"] == 20 and e[3]["dumps"][0]["complete"]
    assert e[3]["dumps"][0]["rest_hex"] == (fake_stamp + b"\n\n\t ").hex()
    assert [l.get("name") for l in e[4]["lines"][1:]] == ["*ppScriptInfo", "lSize", "lret"]
    assert (e[4]["dumps"], e[4]["status"], e[4]["ok"]) == ([], "0xc1ff3002", False)
    assert (e[5]["name"], e[5]["ok"]) == ("ServerStop", True)  # the service exports succeed with 0
    assert (e[6]["name"], e[6]["kind"], e[6]["ok"]) == ("rpcGetFile", "call+return", True)
    assert e[7]["name"] == "Bad\\xff\\xfeName"  # JSON stays valid on bytes that are no text
    assert len(doc(str(path), "--summary")["summary"]) == 8
    text = qzfax("trace", "--max-dump", "16", str(path)).stdout
    assert "... 4 more bytes" in text and "\\n\\n\\t" not in text.split("rpcSendFax")[0]
