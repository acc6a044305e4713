#!/usr/bin/python3
"""Link servers answering beacon discovery, on plain UDP broadcast sockets.

Each responder listens on UDP port 8585 (address reuse, so several share the port, as
link servers on several machines would each have their own) and, when it hears the
20-byte discovery text "Tallowick2-Discovery" while not publishing, broadcasts its
128-byte link description to the broadcast address on port 8585 every 100 ms for
--publish-ms (2500) milliseconds. A beacon heard while publishing changes nothing.

--count N runs N responders (serial numbers --serial, --serial + 1, ...), each on its own
socket. --kind, --ip and --port say what the descriptions carry (--ip 0.0.0.0: a server
that could not name its interface). Prints "READY" once listening and "HEARD <source>"
for every discovery text heard (by the first responder).
"""
import argparse
import os
import select
import socket
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import linkspec  # noqa: E402

FILTER = b'Tallowick2-Discovery'
PORT = 8585


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument('--broadcast', required=True)
    parser.add_argument('--count', type=int, default=1)
    parser.add_argument('--kind', type=int, default=linkspec.SERVER_USB)
    parser.add_argument('--serial', type=lambda v: int(v, 0), default=0x2000)
    parser.add_argument('--module', type=lambda v: int(v, 0), default=0x06)
    parser.add_argument('--model', type=lambda v: int(v, 0), default=0x21)
    parser.add_argument('--ip', required=True)
    parser.add_argument('--port', type=int, default=41000)
    parser.add_argument('--publish-ms', type=int, default=2500)
    args = parser.parse_args()

    responders = []
    for i in range(args.count):
        s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM, socket.IPPROTO_UDP)
        s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEPORT, 1)
        s.setsockopt(socket.SOL_SOCKET, socket.SO_BROADCAST, 1)
        s.bind(('', PORT))
        spec = linkspec.pack(args.kind, args.serial + i, args.module, args.model, args.ip, args.port + i)
        responders.append(dict(socket=s, spec=spec, until=0.0, next=0.0, first=(i == 0)))
    print('READY', flush=True)

    while True:
        now = time.monotonic()
        due = [r['next'] for r in responders if r['until'] > now]
        wait = max(0.0, min(due) - now) if due else 1.0
        ready, _, _ = select.select([r['socket'] for r in responders], [], [], wait)
        now = time.monotonic()
        for r in responders:
            if r['socket'] in ready:
                data, source = r['socket'].recvfrom(2048)
                if data[:len(FILTER)] == FILTER:
                    if r['first']:
                        print('HEARD %s' % source[0], flush=True)
                    if r['until'] <= now:
                        r['until'] = now + args.publish_ms / 1000.0
                        r['next'] = now
            if r['until'] > now and r['next'] <= now:
                r['socket'].sendto(r['spec'], (args.broadcast, PORT))
                r['next'] = now + 0.1


if __name__ == '__main__':
    main()
