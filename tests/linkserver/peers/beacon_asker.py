#!/usr/bin/python3
"""Asks for link servers with single discovery beacons and reports the answers.

It binds UDP port 8585 (broadcast allowed), prints "READY", broadcasts the 20-byte
discovery text "Tallowick2-Discovery" to --send at each of the --at times (milliseconds
after the first, comma-separated), and prints "ANSWER <ms since the first> <source
address> <hex>" for every datagram of another size that arrives within --listen-ms of
the first. Its own beacons, which it hears too, are not printed.
"""
import argparse
import socket
import time

FILTER = b'Tallowick2-Discovery'
PORT = 8585


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument('--send', required=True)
    parser.add_argument('--at', default='0')
    parser.add_argument('--listen-ms', type=int, default=3000)
    args = parser.parse_args()
    times = sorted(int(t) for t in args.at.split(','))
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM, socket.IPPROTO_UDP)
    s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEPORT, 1)
    s.setsockopt(socket.SOL_SOCKET, socket.SO_BROADCAST, 1)
    s.bind(('', PORT))
    print('READY', flush=True)
    start = time.monotonic()
    end = start + args.listen_ms / 1000.0
    while True:
        now = time.monotonic()
        if now >= end:
            break
        while times and now >= start + times[0] / 1000.0:
            s.sendto(FILTER, (args.send, PORT))
            times.pop(0)
        wait = end - now
        if times:
            wait = min(wait, max(0.0, start + times[0] / 1000.0 - now))
        s.settimeout(max(wait, 0.001))
        try:
            data, source = s.recvfrom(2048)
        except socket.timeout:
            continue
        if data == FILTER:
            continue
        print('ANSWER %d %s %s' % (int((time.monotonic() - start) * 1000), source[0], data.hex()), flush=True)


if __name__ == '__main__':
    main()
