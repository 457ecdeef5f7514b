#!/usr/bin/python3
"""Interop check: an independent DCE RPC client (impacket) against qzfaxd.

Resolves the main interface through qzfaxd's endpoint mapper, logs in with
rpcLogInServer, calls rpcSychronize and rpcQueryUserLog, and checks the
replies byte by byte. Usage: impacket_login.py <path-to-qzfaxd>
"""
import struct
import sys

from impacket.dcerpc.v5 import epm, transport
from impacket.uuid import uuidtup_to_bin

sys.path.insert(0, __file__.rsplit("/", 1)[0])
from qzfaxd_process import Qzfaxd  # noqa: E402

MAIN_IF = ("0a382c88-ff39-419c-a696-022f6e695506", "1.0")
SERVERINFO_SIZE = 1680
USERLOG_SIZE = 508


def fail(msg):
    print("FAIL:", msg)
    sys.exit(1)


def ndr_string(text):
    raw = text.encode() + b"\0"
    body = struct.pack("<III", len(raw), 0, len(raw)) + raw
    return body + b"\0" * (-len(body) % 4)


def main():
    # The user log needs rights; the default TCP user has none.
    with Qzfaxd(sys.argv[1], ["--tcp-user", "admin"]) as server:
        epm_tr = transport.DCERPCTransportFactory("ncacn_ip_tcp:127.0.0.1[%d]" % server.epm_port)
        epm_dce = epm_tr.get_dce_rpc()
        epm_dce.connect()
        binding = epm.hept_map("127.0.0.1", uuidtup_to_bin(MAIN_IF), protocol="ncacn_ip_tcp",
                               dce=epm_dce)
        epm_dce.disconnect()
        if not binding or not binding.startswith("ncacn_ip_tcp:127.0.0.1["):
            fail("endpoint mapper gave %r" % binding)

        dce = transport.DCERPCTransportFactory(binding).get_dce_rpc()
        dce.connect()
        dce.bind(uuidtup_to_bin(MAIN_IF))

        # rpcLogInServer: key-out (nothing sent), long 1680, ioblock of 1680 zero bytes.
        dce.call(100, struct.pack("<iI", SERVERINFO_SIZE, SERVERINFO_SIZE) + b"\0" * SERVERINFO_SIZE)
        resp = dce.recv()
        if len(resp) != 24 + 4 + SERVERINFO_SIZE + 4:
            fail("rpcLogInServer reply of %d bytes" % len(resp))
        key = resp[:24]
        (count,) = struct.unpack_from("<I", resp, 24)
        info = resp[28:28 + SERVERINFO_SIZE]
        (result,) = struct.unpack_from("<i", resp, 28 + SERVERINFO_SIZE)
        if result != 1 or count != SERVERINFO_SIZE:
            fail("rpcLogInServer result %d count %d" % (result, count))
        user = key[:20].split(b"\0")[0]
        (session_no,) = struct.unpack_from("<i", key, 20)
        if not user or struct.unpack_from("<i", info, 684)[0] != session_no:
            fail("session number differs between key and server information")
        if info[709:709 + len(user) + 1] != user + b"\0":
            fail("user identifier at 709 is not the key's user")
        rights = struct.unpack_from("<4I", info, 1664)
        if info[4:35].split(b"\0")[0] == b"":
            fail("no host name at offset 4")
        print("logged in as %s, session %d, rights %s" % (user.decode(), session_no,
                                                          " ".join("%08x" % r for r in rights)))

        # rpcSychronize: key only.
        dce.call(87, key)
        resp = dce.recv()
        if struct.unpack("<i", resp)[0] != 1:
            fail("rpcSychronize returned %r" % resp)

        # rpcQueryUserLog: key, empty condition, null reply pointer, count 0.
        dce.call(3, key + ndr_string("") + struct.pack("<Ii", 0, 0))
        resp = dce.recv()
        (referent,) = struct.unpack_from("<I", resp, 0)
        pos = 4
        data = b""
        if referent:
            (max_count,) = struct.unpack_from("<I", resp, pos)
            pos += 4
            data = resp[pos:pos + max_count]
            pos += max_count + (-max_count % 4)
        count, result = struct.unpack_from("<ii", resp, pos)
        if result != 1:
            fail("rpcQueryUserLog returned %d" % result)
        if count != len(data) or count % USERLOG_SIZE or count < 2 * USERLOG_SIZE:
            fail("user log of %d bytes (%d received)" % (count, len(data)))
        print("user log: %d records" % (count // USERLOG_SIZE))
        dce.call(1, key)
        if struct.unpack("<i", dce.recv())[0] != 1:
            fail("rpcLogoutServer failed")
        dce.disconnect()
    print("OK")


if __name__ == "__main__":
    main()
