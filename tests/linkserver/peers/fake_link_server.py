#!/usr/bin/python3
"""A fake link server for the client side of client links.

A ROUTER on an ephemeral 127.0.0.1 port that answers as a link server in front of one
device would: one device packet ([address][length][data], 2 to 30 bytes, length at most
size - 2) per frame in both directions. Route control from clients (address 0xAF with
one data byte) is refused without an answer, malformed frames are dropped, and a few
requests get the answers a device gives:
  [AD][00]                  -> [A][00]           (address query)
  [A][03][03 48 20]         -> [A][04][03 08 00 M] (model query)
  [A][n][17 ...]            -> the frame as it came (echo)
  --answer REQ=REPLY        -> REPLY (hex, exact request bytes)
Anything else goes unanswered.

Standard output, one line each, flushed: "PORT n" once bound, then for every frame
received "FRAME <identity hex> <frame hex>" ("-" for an empty frame).
Standard input, one command per line:
  send HEX      a raw frame to every client seen ("-" sends an empty frame)
  silent 0|1    stop or resume answering
  delay MS      answer each request MS milliseconds late
  quit
"""
import argparse
import os
import sys
import time

import zmq

SYNC, ROUTE = 0xAD, 0xAF


def hexa(data):
    return data.hex() if data else '-'


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument('--address', type=lambda v: int(v, 0), default=0x04)
    parser.add_argument('--model', type=lambda v: int(v, 0), default=0x13)
    parser.add_argument('--port', type=int, default=0, help='0: ephemeral')
    parser.add_argument('--answer', action='append', default=[])
    args = parser.parse_args()

    answers = {}
    for pair in args.answer:
        request, reply = pair.split('=')
        answers[bytes.fromhex(request)] = bytes.fromhex(reply)

    context = zmq.Context()
    router = context.socket(zmq.ROUTER)
    router.setsockopt(zmq.LINGER, 0)
    if args.port:
        router.bind('tcp://127.0.0.1:%d' % args.port)
        port = args.port
    else:
        port = router.bind_to_random_port('tcp://127.0.0.1')
    print('PORT %d' % port, flush=True)

    clients = []
    state = dict(silent=False, delay=0.0)
    pending = []   # (due time, identity, reply)

    def answer_for(frame):
        if len(frame) < 2 or len(frame) > 30 or frame[1] > len(frame) - 2:
            return None                     # not a packet: dropped
        length = frame[1]
        packet = frame[:2 + length]
        address, data = packet[0], packet[2:]
        if packet in answers:
            return answers[packet]
        if address == ROUTE and length == 1:
            return None                     # route control is the server's own business
        if address == SYNC and length == 0:
            return bytes([args.address, 0])
        if address == args.address and data == bytes([0x03, 0x48, 0x20]):
            return bytes([args.address, 4, 0x03, 0x08, 0x00, args.model])
        if address == args.address and length >= 1 and data[0] == 0x17:
            return packet
        return None

    def command(words):
        if not words:
            return True
        if words[0] == 'send':
            frame = b'' if words[1] == '-' else bytes.fromhex(words[1])
            for identity in clients:
                router.send_multipart([identity, frame])
        elif words[0] == 'silent':
            state['silent'] = words[1] == '1'
        elif words[0] == 'delay':
            state['delay'] = int(words[1]) / 1000.0
        elif words[0] == 'quit':
            return False
        print('DONE %s' % words[0], flush=True)
        return True

    poller = zmq.Poller()
    poller.register(router, zmq.POLLIN)
    poller.register(sys.stdin.fileno(), zmq.POLLIN)
    commands = b''
    running = True
    while running:
        wait = 200
        if pending:
            wait = max(0, int((min(p[0] for p in pending) - time.monotonic()) * 1000))
        for item, _ in poller.poll(wait):
            if item is router:
                while True:
                    try:
                        parts = router.recv_multipart(zmq.NOBLOCK)
                    except zmq.Again:
                        break
                    identity, frames = parts[0], parts[1:]
                    if identity not in clients:
                        clients.append(identity)
                    for frame in frames:
                        print('FRAME %s %s' % (identity.hex(), hexa(frame)), flush=True)
                        reply = None if state['silent'] else answer_for(frame)
                        if reply is not None:
                            pending.append((time.monotonic() + state['delay'], identity, reply))
            else:
                chunk = os.read(sys.stdin.fileno(), 65536)
                if not chunk:
                    running = False
                    break
                commands += chunk
                while running and b'\n' in commands:
                    line, commands = commands.split(b'\n', 1)
                    running = command(line.decode().split())
        now = time.monotonic()
        for due in [p for p in pending if p[0] <= now]:
            pending.remove(due)
            router.send_multipart([due[1], due[2]])
    router.close()
    context.term()


if __name__ == '__main__':
    main()
