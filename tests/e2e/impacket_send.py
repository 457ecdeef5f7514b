#!/usr/bin/python3
"""Interop check: an independent DCE RPC client (impacket) submits a fax to
qzfaxd and views it in the send queue.

Logs in over TCP, has the server render a one-page document into its spool
directory (rpcPrintToTiffFromConn), submits it with rpcSendFax, and reads
the task back with rpcViewSendTask and rpcGetTaskProgress, checking the
NDR of every reply. Usage: impacket_send.py <path-to-qzfaxd>
"""
import struct
import sys

from impacket.dcerpc.v5 import epm, transport
from impacket.uuid import uuidtup_to_bin

sys.path.insert(0, __file__.rsplit("/", 1)[0])
from qzfaxd_process import Qzfaxd  # noqa: E402

MAIN_IF = ("0a382c88-ff39-419c-a696-022f6e695506", "1.0")
FAXJOB_SIZE = 660
SENDTASK_SIZE = 1024


def fail(msg):
    print("FAIL:", msg)
    sys.exit(1)


def pad4(b):
    return b + b"\0" * (-len(b) % 4)


def fixed_text(text):
    """A text[n] field of a structure: offset 0, actual count, characters, NUL."""
    raw = text.encode() + b"\0"
    return pad4(struct.pack("<II", 0, len(raw)) + raw)


def conformant(data):
    return pad4(struct.pack("<I", len(data)) + data)


def text_field(data, width):
    return data.ljust(width, b"\0")


def main():
    with Qzfaxd(sys.argv[1], ["--tcp-user", "admin", "--page-ms", "200", "--connect-ms", "100"],
                spool=True) as server:
        epm_dce = transport.DCERPCTransportFactory(
            "ncacn_ip_tcp:127.0.0.1[%d]" % server.epm_port).get_dce_rpc()
        epm_dce.connect()
        binding = epm.hept_map("127.0.0.1", uuidtup_to_bin(MAIN_IF), protocol="ncacn_ip_tcp",
                               dce=epm_dce)
        epm_dce.disconnect()
        dce = transport.DCERPCTransportFactory(binding).get_dce_rpc()
        dce.connect()
        dce.bind(uuidtup_to_bin(MAIN_IF))

        dce.call(100, struct.pack("<iI", 1680, 1680) + b"\0" * 1680)
        resp = dce.recv()
        if struct.unpack_from("<i", resp, len(resp) - 4)[0] != 1:
            fail("login failed")
        key = resp[:24]

        # rpcPrintToTiffFromConn: PRINTTOTIFFINFO in and out, no key.
        dce.call(95, fixed_text("IMPACKET WAS HERE") + fixed_text("doc.tif")
                 + struct.pack("<ii", 1, 0))
        resp = dce.recv()
        pos = 0
        for _ in range(2):
            offset, actual = struct.unpack_from("<II", resp, pos)
            pos += len(pad4(b"\0" * (8 + actual)))
        pages, size, result = struct.unpack_from("<iii", resp, pos)
        if result != 1 or pages != 1 or size <= 0:
            fail("rpcPrintToTiffFromConn: result %d pages %d size %d" % (result, pages, size))

        # rpcSendFax: key, block(p3), long, ioblock-ref(p5), count.
        job = struct.pack("<5I", FAXJOB_SIZE, 3, 0, 0, 0)
        job += text_field(b"555 0123", 64) + text_field(b"Impacket", 64)
        job += text_field(b"interop", 128) + text_field(b"", 64) + text_field(b"", 64)
        job += text_field(b"doc.tif", 256)
        assert len(job) == FAXJOB_SIZE
        dce.call(13, key + conformant(job) + struct.pack("<i", len(job))
                 + conformant(b"\0" * 44) + struct.pack("<i", 44))
        resp = dce.recv()
        (count,) = struct.unpack_from("<I", resp, 0)
        result_entry = resp[4:4 + count]
        out_count, result = struct.unpack_from("<ii", resp, 4 + count)
        if result != 1 or count != 44 or out_count != 44:
            fail("rpcSendFax: result %#x count %d/%d" % (result & 0xffffffff, count, out_count))
        fax_id, status, state, pages = struct.unpack_from("<Iiii", result_entry, 0)
        if fax_id == 0 or status != 1 or pages != 1:
            fail("send result %r" % (struct.unpack_from("<Iiii", result_entry, 0),))
        print("queued fax %d, state %d" % (fax_id, state))

        # rpcViewSendTask: key, flag 1 (own tasks), ID, null reply, count 0.
        dce.call(16, key + struct.pack("<iiIi", 1, fax_id, 0, 0))
        resp = dce.recv()
        (referent,) = struct.unpack_from("<I", resp, 0)
        (max_count,) = struct.unpack_from("<I", resp, 4)
        task = resp[8:8 + max_count]
        count, result = struct.unpack_from("<ii", resp, 8 + len(pad4(task)))
        if not referent or result != 1 or count != SENDTASK_SIZE or max_count != count:
            fail("rpcViewSendTask: result %d count %d" % (result, count))
        tid, tstate, prio = struct.unpack_from("<3I", task, 0)
        number = task[84:148].split(b"\0")[0]
        owner = task[64:84].split(b"\0")[0]
        if tid != fax_id or prio != 3 or number != b"555 0123" or owner != b"admin":
            fail("task %d prio %d number %r owner %r" % (tid, prio, number, owner))
        if tstate not in (1, 4, 5):
            fail("task state %d" % tstate)

        # rpcGetTaskProgress: key; IDs: a conformant array of as many 32-bit
        # elements as the byte count (4), the ID first, zeros after; the byte
        # count; a null reply pointer; count 0.
        dce.call(23, key + struct.pack("<I4IiIi", 4, fax_id, 0, 0, 0, 4, 0, 0))
        resp = dce.recv()
        referent, max_count = struct.unpack_from("<II", resp, 0)
        info = struct.unpack_from("<4I", resp, 8)
        count, result = struct.unpack_from("<ii", resp, 8 + max_count)
        if result != 1 or count != 16 or info[0] != fax_id or info[3] != 1:
            fail("rpcGetTaskProgress: result %d count %d info %r" % (result, count, info))
        print("task %d: state %d, %d of %d pages" % (info[0], info[1], info[2], info[3]))
        dce.call(1, key)
        dce.recv()
        dce.disconnect()
    print("OK")


if __name__ == "__main__":
    main()
