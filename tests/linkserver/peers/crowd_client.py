#!/usr/bin/python3
"""Many clients of a link server at once, on python3-zmq, written from the frame tables
alone.

It prints "READY" and takes commands on standard input, one per line:
  fill N M        opens N DEALERs on --connect and has each send M echo requests to
                  --module at once, without waiting for answers:
                  [module][28][0x17][client >> 8][client & 0xFF][n][24 bytes counting from n]
                  (n = 0..M-1, modulo 256); prints "FILLED <frames sent>" once every
                  frame has been handed to its socket
  open N HEX      opens N DEALERs on --connect that each send one frame with these
                  bytes and stay; prints "OPENED <how many got a frame back within 10 s>"
                  (their later frames are not read)
  leave           closes every DEALER opened so far, without waiting for anything;
                  prints "LEFT <frames received>" (the frames waiting for them then:
                  answers are never read before)
  quit            ends
"""
import argparse
import os
import sys
import time

import zmq

ECHO = 0x17


def echo_request(module, client, n):
    data = bytes([ECHO, client >> 8 & 0xFF, client & 0xFF, n & 0xFF]) + bytes((n + i) & 0xFF for i in range(24))
    return bytes([module, len(data)]) + data


def fill(context, endpoint, module, count, requests):
    sockets = []
    for c in range(count):
        s = context.socket(zmq.DEALER)
        s.setsockopt(zmq.LINGER, 0)
        # Every request is queued here at once; what the server does not take yet waits in
        # this process and in the kernel, as it would for a client that pipelines.
        s.setsockopt(zmq.SNDHWM, requests + 16)
        s.setsockopt(zmq.RCVHWM, 0)
        s.connect(endpoint)
        sockets.append(s)
    sent = 0
    for c, s in enumerate(sockets):
        for n in range(requests):
            s.send(echo_request(module, c, n))
            sent += 1
    return sockets, sent


def open_clients(context, endpoint, count, frame):
    sockets = []
    for _ in range(count):
        s = context.socket(zmq.DEALER)
        s.setsockopt(zmq.LINGER, 0)
        s.connect(endpoint)
        s.send(frame)
        sockets.append(s)
    answered = 0
    deadline = time.monotonic() + 10
    for s in sockets:
        if s.poll(max(0, int((deadline - time.monotonic()) * 1000)), zmq.POLLIN):
            answered += 1
    return sockets, answered


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument('--connect', required=True)
    parser.add_argument('--module', type=lambda t: int(t, 0), default=0x04)
    args = parser.parse_args()

    context = zmq.Context()
    context.set(zmq.MAX_SOCKETS, 8192)
    sockets = []
    print('READY', flush=True)
    pending = b''
    stdin = sys.stdin.fileno()
    while True:
        chunk = os.read(stdin, 65536)
        if not chunk:
            break
        pending += chunk
        done = False
        while b'\n' in pending:
            line, pending = pending.split(b'\n', 1)
            words = line.decode().split()
            if not words:
                continue
            if words[0] == 'fill':
                opened, sent = fill(context, args.connect, args.module, int(words[1]), int(words[2]))
                sockets += opened
                print('FILLED %d' % sent, flush=True)
            elif words[0] == 'open':
                opened, answered = open_clients(context, args.connect, int(words[1]), bytes.fromhex(words[2]))
                sockets += opened
                print('OPENED %d' % answered, flush=True)
            elif words[0] == 'leave':
                received = 0
                for s in sockets:
                    while True:
                        try:
                            s.recv(zmq.NOBLOCK)
                            received += 1
                        except zmq.Again:
                            break
                    s.close()
                sockets = []
                print('LEFT %d' % received, flush=True)
            elif words[0] == 'quit':
                done = True
                break
        if done:
            break
    for s in sockets:
        s.close()
    context.term()


if __name__ == '__main__':
    main()
