#!/usr/bin/env python3
"""Fake update server for tests and the demo: speaks the updater's protocol on 127.0.0.1.

GET /cgi/u?op=...  with the queries the updater sends:
  op=hi                           -> "ok"
  op=qu&sn=SERIAL                 -> "ok", latest build, its version
  op=bird&bld=B&fw=V&no_cal=X&sn=S -> "ok", the BIRD file of build B, base64
  op=builds&sn=SERIAL             -> "ok", then "build;version" per build
  op=fix&fp=W0%20W1%20W2%20W3&brief=true -> "ok", serial (hex), build

The configuration is a JSON file, read again whenever it changes, so a test can
rewrite it between requests:
  {
    "devices": {
      "40F5849A": {
        "latest": "12345",                       # optional: default the newest build
        "builds": {"12345": "2.10.4", "12000": "2.9.0"},
        "birds": {"12345": "/path/to/12345.bird"} # files sent for op=bird
      }
    },
    "bird_dir": "/path",    # optional: DIR/SERIAL/BUILD.bird also serve as BIRD files
    "recovery": {"0000000A 0000000B 0000000C 0000000D": {"serial": "40F5849A", "build": "12345"}},
    "faults": {"<op or *>": FAULT}
  }
A FAULT is an object with any of:
  "status": N          answer with this HTTP status (and "body", if given)
  "body": "text"       send this body instead of the real reply
  "first_line": "text" replace the "ok" line
  "crlf": true         end every line with CR LF
  "truncate_lines": K  keep only the first K lines of the reply
  "bad_base64": true   replace the BIRD text with something that is not base64
  "pad_lines": N       append N filler lines of 64 characters
  "chunk": N, "delay_ms": D   send the body chunked, N bytes per chunk, D ms apart
  "stall": true        accept the request and never answer (until "stall_s", default 120)
  "stall_after_headers": true  send the headers, then stall
  "close": true        close the connection without any answer

Every request target is appended verbatim, one per line, to the --log file.
The chosen port is written to --port-file (whole, by rename) and printed as "PORT <n>".
With --cert and --key the server speaks HTTPS.
"""
import argparse
import base64
import http.server
import json
import os
import socketserver
import ssl
import sys
import threading
import time
import urllib.parse


class Config:
    def __init__(self, path):
        self.path = path
        self.mtime = None
        self.data = {}
        self.lock = threading.Lock()

    def get(self):
        with self.lock:
            if self.path:
                try:
                    st = os.stat(self.path)
                    stamp = (st.st_ino, st.st_mtime_ns, st.st_size)
                    if stamp != self.mtime:
                        with open(self.path, "r", encoding="utf-8") as f:
                            self.data = json.load(f)
                        self.mtime = stamp
                except (OSError, ValueError) as e:
                    sys.stderr.write("fake_update_server: config: %s\n" % e)
            return self.data


def version_key(version):
    try:
        return tuple(int(p) for p in version.split("."))
    except ValueError:
        return ()


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "FakeUpdateServer/1"

    def log_message(self, fmt, *args):
        if self.server.verbose:
            sys.stderr.write("fake_update_server: " + (fmt % args) + "\n")

    def do_GET(self):
        with self.server.log_lock:
            with open(self.server.log_path, "a", encoding="utf-8", newline="\n") as log:
                log.write(self.path + "\n")
        config = self.server.config.get()
        target = urllib.parse.urlsplit(self.path)
        query = urllib.parse.parse_qs(target.query, keep_blank_values=True)
        q = {k: v[0] for k, v in query.items()}
        op = q.get("op", "")
        faults = config.get("faults", {})
        fault = faults.get(op, faults.get("*", {}))

        if fault.get("close"):
            self.close_connection = True
            self.connection.shutdown(2)
            return
        if fault.get("stall"):
            self.stall(fault)
            return
        if target.path != "/cgi/u":
            self.send_body(404, "not found\n", fault)
            return

        lines = self.answer(config, op, q)
        if "first_line" in fault:
            lines[0] = fault["first_line"]
        if fault.get("bad_base64") and op == "bird" and len(lines) > 1:
            lines[1] = "!!!!" + lines[1][4:]
        if "truncate_lines" in fault:
            lines = lines[: int(fault["truncate_lines"])]
        lines += ["x" * 64] * int(fault.get("pad_lines", 0))
        end = "\r\n" if fault.get("crlf") else "\n"
        body = "".join(line + end for line in lines)
        if "body" in fault:
            body = fault["body"]
        self.send_body(int(fault.get("status", 200)), body, fault)

    def answer(self, config, op, q):
        devices = config.get("devices", {})
        serial = q.get("sn", "")
        device = devices.get(serial)
        if op == "hi":
            return ["ok"]
        if op == "fix":
            entry = config.get("recovery", {}).get(q.get("fp", ""))
            if entry is None:
                return ["error unknown fingerprint"]
            return ["ok", entry["serial"], str(entry["build"])]
        if device is None:
            return ["error unknown device %s" % serial]
        builds = device.get("builds", {})
        if op == "qu":
            latest = device.get("latest")
            if latest is None and builds:
                latest = max(builds, key=lambda b: (version_key(builds[b]), b))
            if latest is None:
                return ["error no builds"]
            return ["ok", str(latest), builds.get(str(latest), "")]
        if op == "builds":
            return ["ok"] + ["%s;%s" % (b, v) for b, v in builds.items()]
        if op == "bird":
            path = device.get("birds", {}).get(q.get("bld", ""))
            if path is None and config.get("bird_dir"):
                path = os.path.join(config["bird_dir"], serial, q.get("bld", "") + ".bird")
            try:
                with open(path, "rb") as f:
                    data = f.read()
            except (OSError, TypeError):
                return ["error no such build"]
            return ["ok", base64.b64encode(data).decode("ascii")]
        return ["error unknown op"]

    def stall(self, fault):
        # Hold the connection open without a byte of answer, until the client gives up.
        deadline = time.monotonic() + float(fault.get("stall_s", 120))
        self.connection.settimeout(0.2)
        while time.monotonic() < deadline:
            try:
                if self.connection.recv(1) == b"":
                    break
            except (TimeoutError, OSError) as e:
                if not isinstance(e, TimeoutError) and "timed out" not in str(e):
                    break
        self.close_connection = True

    def send_body(self, status, body, fault):
        data = body.encode("latin-1", "replace") if isinstance(body, str) else body
        chunk = int(fault.get("chunk", 0))
        self.send_response(status)
        self.send_header("Content-Type", "text/plain")
        self.send_header("Connection", "close")
        if chunk > 0:
            self.send_header("Transfer-Encoding", "chunked")
        else:
            self.send_header("Content-Length", str(len(data)))
        self.end_headers()
        self.close_connection = True
        if fault.get("stall_after_headers"):
            self.wfile.flush()
            self.stall(fault)
            return
        try:
            if chunk > 0:
                delay = float(fault.get("delay_ms", 0)) / 1000.0
                for i in range(0, len(data), chunk):
                    piece = data[i:i + chunk]
                    self.wfile.write(b"%x\r\n" % len(piece) + piece + b"\r\n")
                    self.wfile.flush()
                    if delay:
                        time.sleep(delay)
                self.wfile.write(b"0\r\n\r\n")
            else:
                self.wfile.write(data)
            self.wfile.flush()
        except OSError:
            pass


class Server(socketserver.ThreadingMixIn, http.server.HTTPServer):
    daemon_threads = True
    allow_reuse_address = True

    def __init__(self, address, handler, context):
        super().__init__(address, handler)
        self.context = context

    def get_request(self):
        sock, addr = super().get_request()
        if self.context is not None:
            # The handshake happens in the handler's thread, so a stalled client
            # cannot hold up the others.
            sock = self.context.wrap_socket(sock, server_side=True, do_handshake_on_connect=False)
        return sock, addr

    def finish_request(self, request, client_address):
        if self.context is not None:
            try:
                request.settimeout(10)
                request.do_handshake()
                request.settimeout(None)
            except (ssl.SSLError, OSError):
                return
        super().finish_request(request, client_address)


def main():
    parser = argparse.ArgumentParser(description="Fake update server on 127.0.0.1")
    parser.add_argument("--config", help="JSON configuration (re-read when it changes)")
    parser.add_argument("--log", required=True, help="file to which every request target is appended")
    parser.add_argument("--port", type=int, default=0, help="port (default: any free one)")
    parser.add_argument("--port-file", help="file that receives the chosen port")
    parser.add_argument("--cert", help="server certificate (PEM): serve HTTPS")
    parser.add_argument("--key", help="server key (PEM)")
    parser.add_argument("--verbose", action="store_true")
    args = parser.parse_args()

    context = None
    if args.cert:
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(args.cert, args.key)

    server = Server(("127.0.0.1", args.port), Handler, context)
    server.config = Config(args.config)
    server.log_path = args.log
    server.log_lock = threading.Lock()
    server.verbose = args.verbose
    open(args.log, "a").close()
    port = server.server_address[1]
    if args.port_file:
        temporary = args.port_file + ".tmp"
        with open(temporary, "w") as f:
            f.write("%d\n" % port)
        os.rename(temporary, args.port_file)
    print("PORT %d" % port, flush=True)
    try:
        server.serve_forever(poll_interval=0.1)
    except KeyboardInterrupt:
        pass


if __name__ == "__main__":
    main()
