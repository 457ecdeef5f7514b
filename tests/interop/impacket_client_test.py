"""An impacket client resolves the echo interface through OUR endpoint
mapper (impacket.dcerpc.v5.epm.hept_map, and lists it with hept_lookup)
and calls it on OUR server runtime: small and fragmented requests, a large
reply, a bad opnum, an unknown interface.

Usage: impacket_client_test.py <qzrpc_interop_server>
"""
import struct
import subprocess
import sys

from impacket.dcerpc.v5 import epm, transport
from impacket.dcerpc.v5.rpcrt import DCERPCException
from impacket.uuid import uuidtup_to_bin

ECHO = ('6a28b3c1-0d2e-4c8f-9a11-2b3c4d5e6f70', '1.0')


def pattern(n):
    return bytes(((i * 7 + (i >> 13)) & 0xFF) for i in range(n))


def main():
    server = subprocess.Popen([sys.argv[1]], stdin=subprocess.PIPE, stdout=subprocess.PIPE)
    try:
        line = server.stdout.readline().decode().split()
        assert line and line[0] == 'READY', line
        epm_port = int(line[1])
        echo_port = int(line[2])

        dce = transport.DCERPCTransportFactory('ncacn_ip_tcp:127.0.0.1[%d]' % epm_port).get_dce_rpc()
        dce.connect()
        binding = epm.hept_map('127.0.0.1', uuidtup_to_bin(ECHO), protocol='ncacn_ip_tcp', dce=dce)
        dce.disconnect()
        print('hept_map ->', binding)

        # ept_lookup decoded by impacket: our registration with its tower
        # and annotation.
        dce = transport.DCERPCTransportFactory('ncacn_ip_tcp:127.0.0.1[%d]' % epm_port).get_dce_rpc()
        dce.connect()
        entries = epm.hept_lookup('127.0.0.1', dce=dce)
        dce.disconnect()
        found = [e for e in entries if e['annotation'][:-1] == b'qzrpc interop echo']
        assert len(found) == 1, entries
        tower = found[0]['tower']
        assert tower['NumberOfFloors'] == 5, tower['NumberOfFloors']
        port = epm.EPMPortAddr(tower['Floors'][3].getData())['IpPort']
        assert port == echo_port, port
        print('hept_lookup -> %d entries, echo at port %d' % (len(entries), port))
        assert binding == 'ncacn_ip_tcp:127.0.0.1[%d]' % echo_port, binding

        dce = transport.DCERPCTransportFactory(binding).get_dce_rpc()
        dce.connect()
        dce.bind(uuidtup_to_bin(ECHO))
        for size in (1, 100, 5000, 70000):
            dce.call(0, pattern(size))
            got = dce.recv()
            assert got == pattern(size), 'echo %d: got %d bytes' % (size, len(got))
            print('echo', size, 'ok')
        dce.call(1, struct.pack('<I', 200000))
        got = dce.recv()
        assert got == pattern(200000), 'generated reply: %d bytes' % len(got)
        print('reply 200000 ok')

        try:
            dce.call(42, b'')
            dce.recv()
            raise AssertionError('bad opnum was not faulted')
        except DCERPCException as e:
            assert 'nca_s_op_rng_error' in str(e), str(e)
            print('bad opnum ->', e)
        dce.disconnect()

        dce = transport.DCERPCTransportFactory(binding).get_dce_rpc()
        dce.connect()
        try:
            dce.bind(uuidtup_to_bin(('11111111-2222-3333-4444-555555555555', '1.0')))
            raise AssertionError('unknown interface was accepted')
        except DCERPCException as e:
            print('unknown interface ->', e)
        dce.disconnect()
        print('PASS')
        return 0
    finally:
        server.stdin.close()
        server.wait(timeout=10)


if __name__ == '__main__':
    sys.exit(main())
