#!/usr/bin/python3
"""A client of a link server on python3-zmq, written from the frame tables alone.

It connects one DEALER to --connect (a ZeroMQ endpoint such as tcp://127.0.0.1:PORT),
with the routing identity --identity when one is given (else the server picks one),
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
  repeat N HEX      N frames with these bytes at once
  flood TAG         echo requests tagged TAG (n counting up from 0), sent on and on as
                    fast as the socket takes them, until
  stop              ends the flood and prints "FLOODED <how many were sent>"
  random N SEED     N frames of random bytes (a generator seeded with SEED), none to
                    --module: half of them packets whose length byte is right, the rest
                    with a length byte that lies or any bytes at all, 0 to 40 of them;
                    prints "RANDOM N" once all are sent
  quit              closes the socket and ends
"""
import argparse
import os
import random
import sys
import time

import zmq

ECHO = 0x17


def echo_request(module, tag, n):
    data = bytes([ECHO, tag, n >> 8, n & 0xFF]) + bytes((n + i) & 0xFF for i in range(24))
    return bytes([module, len(data)]) + data


def random_frames(module, count, seed):
    rng = random.Random(seed)
    frames = []
    while len(frames) < count:
        kind = rng.random()
        if kind < 0.5:
            length = rng.randrange(29)
            frame = bytes([rng.randrange(256), length]) + rng.randbytes(length)
        elif kind < 0.75:
            length = rng.randrange(29)
            size = rng.choice([n for n in range(41) if n != length])
            frame = (bytes([rng.randrange(256), length]) + rng.randbytes(40))[:size]
        else:
            frame = rng.randbytes(rng.randrange(41))
        if frame[:1] != bytes([module]):
            frames.append(frame)
    return frames


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
    parser.add_argument('--identity')
    args = parser.parse_args()

    context = zmq.Context()
    socket = context.socket(zmq.DEALER)
    socket.setsockopt(zmq.LINGER, 0)
    if args.identity:
        socket.setsockopt(zmq.ROUTING_ID, args.identity.encode())
    socket.connect(args.connect)
    poller = zmq.Poller()
    poller.register(socket, zmq.POLLIN)
    stdin = sys.stdin.fileno()
    poller.register(stdin, zmq.POLLIN)
    start = time.monotonic()
    print('READY', flush=True)

    pending = b''
    running = True
    flood_tag, flooded = None, 0
    while running:
        if flood_tag is not None:
            for _ in range(100):
                try:
                    socket.send(echo_request(args.module, flood_tag, flooded & 0xFFFF), zmq.NOBLOCK)
                    flooded += 1
                except zmq.Again:
                    break
        for what, _ in poller.poll(0 if flood_tag is not None else 1000):
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
                elif words[0] == 'repeat':
                    frame = bytes.fromhex(words[2])
                    for _ in range(int(words[1])):
                        socket.send(frame)
                elif words[0] == 'flood':
                    flood_tag, flooded = int(words[1], 0), 0
                elif words[0] == 'stop':
                    flood_tag = None
                    print('FLOODED %d' % flooded, flush=True)
                elif words[0] == 'random':
                    count, seed = int(words[1]), int(words[2])
                    for frame in random_frames(args.module, count, seed):
                        socket.send(frame)
                    print('RANDOM %d' % count, flush=True)
                elif words[0] == 'quit':
                    running = False
                    break
    socket.close()
    context.term()


if __name__ == '__main__':
    main()
