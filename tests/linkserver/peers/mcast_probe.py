#!/usr/bin/python3
"""A loopback multicast probe on plain sockets, as a client of link servers asks.

probe:   prints "HELD k" for every offset k whose request port 9850 + k cannot be bound
         (a link server holds it) and "FREE k" otherwise, for the offsets given.
ask K:   joins 224.0.0.7 on 127.0.0.1, listens on the reply port 9950 + K (address reuse,
         as several clients may listen at once), sends the request word 0xABCDDCBA (host
         order) to 9850 + K and prints "REPLY <hex>" for every datagram within --wait-ms.
listen P: prints "DATAGRAM <hex>" for every datagram to the group on port P within
         --wait-ms (and "READY" once joined).
send P HEX: sends the bytes to the group on port P through 127.0.0.1.
"""
import argparse
import socket
import struct
import sys
import time

GROUP = '224.0.0.7'
LOOPBACK = '127.0.0.1'


def receiver(port, reuse):
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM, socket.IPPROTO_UDP)
    s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1 if reuse else 0)
    s.bind((GROUP, port))
    s.setsockopt(socket.IPPROTO_IP, socket.IP_ADD_MEMBERSHIP, socket.inet_aton(GROUP) + socket.inet_aton(LOOPBACK))
    return s


def sender():
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM, socket.IPPROTO_UDP)
    s.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_IF, socket.inet_aton(LOOPBACK))
    s.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_TTL, 1)
    return s


def collect(s, label, wait_ms):
    deadline = time.monotonic() + wait_ms / 1000.0
    while True:
        left = deadline - time.monotonic()
        if left <= 0:
            return
        s.settimeout(left)
        try:
            data = s.recv(2048)
        except socket.timeout:
            return
        print('%s %s' % (label, data.hex()), flush=True)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument('--wait-ms', type=int, default=1000)
    parser.add_argument('action', choices=['probe', 'ask', 'listen', 'send'])
    parser.add_argument('values', nargs='*')
    args = parser.parse_args()
    if args.action == 'probe':
        for k in map(int, args.values or range(50)):
            try:
                receiver(9850 + k, False).close()
                print('FREE %d' % k, flush=True)
            except OSError:
                print('HELD %d' % k, flush=True)
    elif args.action == 'ask':
        k = int(args.values[0])
        replies = receiver(9950 + k, True)
        sender().sendto(struct.pack('=I', 0xABCDDCBA), (GROUP, 9850 + k))
        collect(replies, 'REPLY', args.wait_ms)
    elif args.action == 'listen':
        s = receiver(int(args.values[0]), True)
        print('READY', flush=True)
        collect(s, 'DATAGRAM', args.wait_ms)
    else:
        sender().sendto(bytes.fromhex(args.values[1]), (GROUP, int(args.values[0])))
    sys.stdout.flush()


if __name__ == '__main__':
    main()
