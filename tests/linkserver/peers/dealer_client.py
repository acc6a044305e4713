#!/usr/bin/python3
"""A client of a link server on python3-zmq, written from the frame tables alone.

It connects one DEALER to --connect (a ZeroMQ endpoint such as tcp://127.0.0.1:PORT),
prints "READY", and then prints "FRAME <ms since start> <hex>" for every frame the server
sends (a packet [address][length][data], or a stream batch of packets end to end). A
message of more than one frame, which a server never sends a client, is printed as
"MESSAGE <ms> <hex> <hex> ...".

Commands on standard input, one per line:
  send HEX          one frame with these bytes
  echoes N TAG      N echo requests to module --module at once, each 30 bytes:
                    [module][28][0x17][TAG][n >> 8][n & 0xFF][24 bytes counting from n]
  transient N HEX   N further DEALERs each send HEX, wait (up to 5 s) for one frame and
                    go away; prints "TRANSIENT <how many got their frame>"
  quit              closes the socket and ends
"""
import argparse
import os
import sys
import time

import zmq

ECHO = 0x17


def echo_request(module, tag, n):
    data = bytes([ECHO, tag, n >> 8, n & 0xFF]) + bytes((n + i) & 0xFF for i in range(24))
    return bytes([module, len(data)]) + data


def transient(context, endpoint, count, frame):
    sockets = []
    for _ in range(count):
        s = context.socket(zmq.DEALER)
        s.setsockopt(zmq.LINGER, 0)
        s.connect(endpoint)
        s.send(frame)
        sockets.append(s)
    answered = 0
    deadline = time.monotonic() + 5
    for s in sockets:
        left = max(0, int((deadline - time.monotonic()) * 1000))
        if s.poll(left, zmq.POLLIN):
            s.recv_multipart()
            answered += 1
        s.close()
    return answered


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument('--connect', required=True)
    parser.add_argument('--module', type=lambda t: int(t, 0), default=0x04)
    args = parser.parse_args()

    context = zmq.Context()
    socket = context.socket(zmq.DEALER)
    socket.setsockopt(zmq.LINGER, 0)
    socket.connect(args.connect)
    poller = zmq.Poller()
    poller.register(socket, zmq.POLLIN)
    stdin = sys.stdin.fileno()
    poller.register(stdin, zmq.POLLIN)
    start = time.monotonic()
    print('READY', flush=True)

    pending = b''
    running = True
    while running:
        for what, _ in poller.poll(1000):
            if what is socket:
                while True:
                    try:
                        frames = socket.recv_multipart(zmq.NOBLOCK)
                    except zmq.Again:
                        break
                    ms = int((time.monotonic() - start) * 1000)
                    if len(frames) == 1:
                        print('FRAME %d %s' % (ms, frames[0].hex()), flush=True)
                    else:
                        print('MESSAGE %d %s' % (ms, ' '.join(f.hex() for f in frames)), flush=True)
                continue
            chunk = os.read(stdin, 65536)
            if not chunk:
                running = False
                break
            pending += chunk
            while b'\n' in pending:
                line, pending = pending.split(b'\n', 1)
                words = line.decode().split()
                if not words:
                    continue
                if words[0] == 'send':
                    socket.send(bytes.fromhex(words[1]))
                elif words[0] == 'echoes':
                    count, tag = int(words[1]), int(words[2], 0)
                    for n in range(count):
                        socket.send(echo_request(args.module, tag, n))
                elif words[0] == 'transient':
                    answered = transient(context, args.connect, int(words[1]), bytes.fromhex(words[2]))
                    print('TRANSIENT %d' % answered, flush=True)
                elif words[0] == 'quit':
                    running = False
                    break
    socket.close()
    context.term()


if __name__ == '__main__':
    main()
