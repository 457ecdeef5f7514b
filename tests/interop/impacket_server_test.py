"""OUR client calls the echo interface served by impacket's DCERPCServer
(an independent implementation): echo, a fragmented reply reassembled
from impacket's fragments, and a missing opnum faulted by impacket.

Usage: impacket_server_test.py <qzrpc_interop_client>
"""
import struct
import subprocess
import sys

from impacket.dcerpc.v5.rpcrt import DCERPCServer, PFC_FIRST_FRAG, PFC_LAST_FRAG

ECHO = ('6a28b3c1-0d2e-4c8f-9a11-2b3c4d5e6f70', '1.0')


def pattern(n):
    return bytes(((i * 7 + (i >> 13)) & 0xFF) for i in range(n))


def echo(data):
    return data


def generate(data):
    (n,) = struct.unpack('<I', data[:4])
    return pattern(n)


class FragmentingServer(DCERPCServer):
    """impacket 0.10's DCERPCServer fragments replies over 4248 bytes but
    leaves every fragment's frag_len at the whole reply's length; this
    subclass only sets frag_len per fragment (everything else is impacket's)."""

    def send(self, data):
        packet = data['pduData']
        limit = self._max_xmit_size - 32
        if len(packet) <= limit:
            data['frag_len'] = 24 + len(packet)
            self._clientSock.send(data.get_packet())
            return
        offset = 0
        while offset < len(packet):
            chunk = packet[offset:offset + limit]
            flags = PFC_FIRST_FRAG if offset == 0 else 0
            offset += len(chunk)
            if offset == len(packet):
                flags |= PFC_LAST_FRAG
            data['flags'] = flags
            data['pduData'] = chunk
            data['frag_len'] = 24 + len(chunk)
            self._clientSock.send(data.get_packet())


def main():
    server = FragmentingServer()
    server.setListenPort(0)
    server.addCallbacks(ECHO, '', {0: echo, 1: generate})
    server.daemon = True
    server.start()
    port = server.getListenPort()
    # impacket faults a missing opnum with 0x6E4 (RPC_S_CANNOT_SUPPORT).
    r = subprocess.run([sys.argv[1], 'call', str(port), '1764'], timeout=60,
                       stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    print(r.stdout.decode())
    if r.returncode != 0:
        print('FAIL: client exit status', r.returncode)
        return 1
    print('PASS')
    return 0


if __name__ == '__main__':
    sys.exit(main())
