"""Runs a qzfaxd child process on free ports with a scratch database.

Used by the end-to-end tests: starts the server, waits for its ready line,
and stops it with SIGTERM on exit. The process environment gets
QZRPC_EPM_PORT and QZRPC_LRPC_DIR so that clients started from it find the
server's endpoint mapper.
"""
import os
import signal
import socket
import subprocess
import tempfile
import time


def free_port():
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Qzfaxd:
    def __init__(self, binary, extra_args=(), spool=False):
        self.binary = binary
        self.extra_args = list(extra_args)
        self.tmp = tempfile.TemporaryDirectory(prefix="qzfaxd-test-")
        self.epm_port = free_port()
        self.env = dict(os.environ)
        self.env["QZRPC_EPM_PORT"] = str(self.epm_port)
        self.env["QZRPC_LRPC_DIR"] = os.path.join(self.tmp.name, "lrpc")
        self.proc = None
        # spool=True: TCP callers may name files in self.spool.
        self.spool = os.path.join(self.tmp.name, "spool") if spool else None
        if self.spool:
            os.mkdir(self.spool, 0o700)
            self.extra_args += ["--spool-dir", self.spool]

    def __enter__(self):
        db = os.path.join(self.tmp.name, "qzfaxd.db")
        self.proc = subprocess.Popen(
            [self.binary, "--db", db, "--epm-port", str(self.epm_port), "--listen", "127.0.0.1"]
            + self.extra_args,
            env=self.env, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        deadline = time.time() + 20
        while time.time() < deadline:
            line = self.proc.stdout.readline()
            if not line:
                break
            if "ready" in line:
                return self
        self.__exit__(None, None, None)
        raise RuntimeError("qzfaxd did not become ready")

    def __exit__(self, *exc):
        if self.proc and self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.tmp.cleanup()
        return False
