#!/usr/bin/python3
"""A link server's loopback multicast responder, on plain sockets.

As a link server serving this machine only: it holds a receiver (no address reuse) on
the first free request port 9850 + k (or the offset given) of group 224.0.0.7 on
127.0.0.1, and answers each 4-byte request word 0xABCDDCBA (host order) with its
128-byte link description, sent to the group on the reply port 9950 + k.

Knobs to misbehave: --silent (a server whose device model is not known yet: no answer),
--size N (a reply of N bytes: the description cut or padded with zeros), --twice (every
answer sent two times), --delay-ms, --unicast (the answer goes to 127.0.0.1:9950+k
instead of the group), --kind and --ip (what the description says).

Prints "OFFSET k" once listening, then "REQUEST" for every request word heard.
"""
import argparse
import os
import socket
import struct
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import linkspec  # noqa: E402

GROUP = '224.0.0.7'
LOOPBACK = '127.0.0.1'
REQUEST = struct.pack('=I', 0xABCDDCBA)


def hold_request_port(offset):
    offsets = [offset] if offset is not None else range(50)
    for k in offsets:
        receiver = socket.socket(socket.AF_INET, socket.SOCK_DGRAM, socket.IPPROTO_UDP)
        receiver.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 0)
        try:
            receiver.bind((GROUP, 9850 + k))
        except OSError:
            receiver.close()
            continue
        membership = socket.inet_aton(GROUP) + socket.inet_aton(LOOPBACK)
        receiver.setsockopt(socket.IPPROTO_IP, socket.IP_ADD_MEMBERSHIP, membership)
        return k, receiver
    sys.exit('no free request port')


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument('--offset', type=int)
    parser.add_argument('--kind', type=int, default=linkspec.SERVER_TCPIP)
    parser.add_argument('--serial', type=lambda v: int(v, 0), default=0x1000)
    parser.add_argument('--module', type=lambda v: int(v, 0), default=0x04)
    parser.add_argument('--model', type=lambda v: int(v, 0), default=0x13)
    parser.add_argument('--ip', default=LOOPBACK)
    parser.add_argument('--port', type=int, default=40000)
    parser.add_argument('--silent', action='store_true')
    parser.add_argument('--size', type=int, default=linkspec.SIZE)
    parser.add_argument('--twice', action='store_true')
    parser.add_argument('--delay-ms', type=int, default=0)
    parser.add_argument('--unicast', action='store_true')
    args = parser.parse_args()

    k, receiver = hold_request_port(args.offset)
    sender = socket.socket(socket.AF_INET, socket.SOCK_DGRAM, socket.IPPROTO_UDP)
    sender.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_IF, socket.inet_aton(LOOPBACK))
    sender.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_TTL, 1)
    sender.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_LOOP, 1)
    target = (LOOPBACK if args.unicast else GROUP, 9950 + k)

    reply = linkspec.pack(args.kind, args.serial, args.module, args.model, args.ip, args.port)
    reply = (reply + bytes(max(0, args.size - len(reply))))[:args.size]
    print('OFFSET %d' % k, flush=True)
    while True:
        data = receiver.recv(64)
        if data != REQUEST:
            continue
        print('REQUEST', flush=True)
        if args.silent:
            continue
        if args.delay_ms:
            time.sleep(args.delay_ms / 1000.0)
        for _ in range(2 if args.twice else 1):
            sender.sendto(reply, target)


if __name__ == '__main__':
    main()
