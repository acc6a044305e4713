#!/usr/bin/python3
"""Listens on UDP port 8585 as a beacon peer and reports what it hears.

Prints "READY" once bound, then "BEACON <ms since start> <source address> <hex>" for every
datagram within --listen-ms. With --send BROADCAST it also broadcasts the 20-byte
discovery text "Tallowick2-Discovery" there every 100 ms, as a client looking for link
servers does.
"""
import argparse
import socket
import time

FILTER = b'Tallowick2-Discovery'
PORT = 8585


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument('--listen-ms', type=int, default=3000)
    parser.add_argument('--send')
    args = parser.parse_args()
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM, socket.IPPROTO_UDP)
    s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEPORT, 1)
    s.setsockopt(socket.SOL_SOCKET, socket.SO_BROADCAST, 1)
    s.bind(('', PORT))
    print('READY', flush=True)
    start = time.monotonic()
    end = start + args.listen_ms / 1000.0
    next_send = start
    while True:
        now = time.monotonic()
        if now >= end:
            break
        if args.send and now >= next_send:
            s.sendto(FILTER, (args.send, PORT))
            next_send = now + 0.1
        wait = end - now
        if args.send:
            wait = min(wait, max(0.0, next_send - now))
        s.settimeout(max(wait, 0.001))
        try:
            data, source = s.recvfrom(2048)
        except socket.timeout:
            continue
        print('BEACON %d %s %s' % (int((time.monotonic() - start) * 1000), source[0], data.hex()), flush=True)


if __name__ == '__main__':
    main()
