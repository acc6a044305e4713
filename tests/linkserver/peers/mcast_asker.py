#!/usr/bin/python3
"""Asks a link server on the loopback multicast group several times in a row.

For each of --tries tries it sends the request word 0xABCDDCBA (4 bytes, host order) to
224.0.0.7 on the request port 9850 + --offset through 127.0.0.1, waits up to --wait-ms
for the first datagram on the reply port 9950 + offset, then --grace-ms more for any
further one, and prints "TRY <n> <datagrams> <ms to the first, -1 for none> <first hex>".
The reply socket is bound to the group with address reuse, as any client of the group
may listen at the same time.
"""
import argparse
import socket
import struct
import time

GROUP = '224.0.0.7'
LOOPBACK = '127.0.0.1'


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument('--offset', type=int, default=0)
    parser.add_argument('--tries', type=int, default=1)
    parser.add_argument('--wait-ms', type=int, default=1000)
    parser.add_argument('--grace-ms', type=int, default=100)
    args = parser.parse_args()

    replies = socket.socket(socket.AF_INET, socket.SOCK_DGRAM, socket.IPPROTO_UDP)
    replies.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    replies.bind((GROUP, 9950 + args.offset))
    replies.setsockopt(socket.IPPROTO_IP, socket.IP_ADD_MEMBERSHIP, socket.inet_aton(GROUP) + socket.inet_aton(LOOPBACK))
    sender = socket.socket(socket.AF_INET, socket.SOCK_DGRAM, socket.IPPROTO_UDP)
    sender.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_IF, socket.inet_aton(LOOPBACK))
    sender.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_TTL, 1)

    for n in range(args.tries):
        sent = time.monotonic()
        sender.sendto(struct.pack('=I', 0xABCDDCBA), (GROUP, 9850 + args.offset))
        deadline = sent + args.wait_ms / 1000.0
        first_ms, first, count = -1, '', 0
        while True:
            left = deadline - time.monotonic()
            if left <= 0:
                break
            replies.settimeout(left)
            try:
                data = replies.recv(2048)
            except socket.timeout:
                break
            count += 1
            if first_ms < 0:
                first_ms = int((time.monotonic() - sent) * 1000)
                first = data.hex()
                deadline = time.monotonic() + args.grace_ms / 1000.0
        print('TRY %d %d %d %s' % (n, count, first_ms, first), flush=True)


if __name__ == '__main__':
    main()
