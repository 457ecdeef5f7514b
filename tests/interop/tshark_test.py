"""Captures our client and server traffic on loopback (endpoint mapper
resolution, then echo calls with fragmented requests and replies) and has
Wireshark's dissector (tshark) check it: no malformed or error-level
frames, and a fully decoded ept_map request and response carrying the
echo server's port.

Capturing needs the privilege to sniff the loopback interface; without it
(or without tshark/dumpcap) the test reports itself skipped (exit 77).

Usage: tshark_test.py <qzrpc_interop_server> <qzrpc_interop_client>
"""
import os
import shutil
import subprocess
import sys
import tempfile
import time

SKIP = 77


def tshark(capture, ports, *args):
    cmd = ['tshark', '-n', '-r', capture]
    for p in ports:
        cmd += ['-d', 'tcp.port==%d,dcerpc' % p]
    cmd += list(args)
    r = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=60)
    if r.returncode != 0:
        raise RuntimeError('tshark failed: ' + r.stderr.decode())
    return [l for l in r.stdout.decode().splitlines() if l.strip()]


def main():
    if not shutil.which('tshark') or not shutil.which('dumpcap'):
        print('SKIP: tshark/dumpcap not installed')
        return SKIP
    server = subprocess.Popen([sys.argv[1]], stdin=subprocess.PIPE, stdout=subprocess.PIPE)
    tmp = tempfile.mkdtemp(prefix='qzrpc-tshark-')
    capture = os.path.join(tmp, 'rpc.pcapng')
    cap = None
    try:
        line = server.stdout.readline().decode().split()
        assert line and line[0] == 'READY', line
        epm_port, echo_port = int(line[1]), int(line[2])
        cap = subprocess.Popen(
            ['dumpcap', '-q', '-i', 'lo', '-f', 'tcp port %d or tcp port %d' % (epm_port, echo_port),
             '-w', capture], stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        # dumpcap creates the file once capturing has started.
        deadline = time.time() + 10
        while time.time() < deadline and cap.poll() is None and not os.path.exists(capture):
            time.sleep(0.05)
        if cap.poll() is not None or not os.path.exists(capture):
            err = cap.stderr.read().decode() if cap.poll() is not None else 'no capture file'
            print('SKIP: cannot capture on loopback (needs capture privileges): ' + err.strip())
            return SKIP
        time.sleep(0.5)
        r = subprocess.run([sys.argv[2], 'resolve', str(epm_port)], stdout=subprocess.PIPE,
                           stderr=subprocess.STDOUT, timeout=60)
        print(r.stdout.decode())
        if r.returncode != 0:
            print('FAIL: client failed')
            return 1
        time.sleep(0.5)
        cap.terminate()
        cap.wait(timeout=10)

        ports = (epm_port, echo_port)
        frames = tshark(capture, ports, '-Y', 'dcerpc')
        print('%d DCE RPC frames captured' % len(frames))
        if len(frames) < 8:
            print('FAIL: too few DCE RPC frames')
            return 1
        bad = tshark(capture, ports, '-Y', '_ws.malformed || _ws.expert.severity >= "error"')
        if bad:
            print('FAIL: malformed or error frames:\n' + '\n'.join(bad))
            return 1
        fields = tshark(capture, ports, '-Y', 'epm.opnum == 3', '-T', 'fields', '-e',
                        'dcerpc.pkt_type', '-e', 'epm.tower.num_floors', '-e', 'epm.proto.tcp_port',
                        '-e', 'epm.proto.ip', '-e', 'epm.num_towers', '-e', 'epm.rc', '-E',
                        'separator=;')
        print('ept_map frames:\n' + '\n'.join(fields))
        requests = [f.split(';') for f in fields if f.split(';')[0] == '0']
        responses = [f.split(';') for f in fields if f.split(';')[0] == '2']
        if not requests or not responses:
            print('FAIL: ept_map request/response not decoded')
            return 1
        req, resp = requests[0], responses[0]
        if req[1] != '5' or req[2] != '0':
            print('FAIL: request tower not decoded as 5 floors with port 0')
            return 1
        if resp[1] != '5' or resp[2] != str(echo_port) or resp[3] != '127.0.0.1' or resp[4] != '1' \
                or resp[5] != '0x00000000':
            print('FAIL: response tower/status not decoded as expected')
            return 1
        print('PASS')
        return 0
    finally:
        if cap and cap.poll() is None:
            cap.terminate()
            cap.wait(timeout=10)
        server.stdin.close()
        server.wait(timeout=10)
        shutil.rmtree(tmp, ignore_errors=True)


if __name__ == '__main__':
    sys.exit(main())
