#!/usr/bin/env python3
"""Patch server of the demo sandbox and the end-to-end tests, on 127.0.0.1 only.

Serves, from the sandbox folder (the sandbox writes its patches and manifest with quen-dara-patch):
  /patch.json            <root>/patch.json byte for byte; with the overrides below, their
                         members applied (and so no longer as signed); an empty object while
                         there is none
  /patch.json.sig        <root>/patch.json.sig, the manifest's signature, when there is one
  /files/<name>          the patch files in <root>/www
  /redirect/<name>       302 to /files/<name>
Files the tests may write while it runs, read on every request:
  <root>/manifest-overrides.json   members that replace or extend the manifest's
  <root>/faults.json               {"<path>": "close-mid-body" | "404" | "stall" | "trickle"}
Each request is appended to <root>/requests.log (<root>/requests-tls.log with --tls-cert). The
server ends by itself after --lifetime seconds.

With --tls-cert and --tls-key it speaks https instead, so that one language can be listed at an
https address while the manifest stays on the plain server.
"""
import argparse
import json
import os
import ssl
import sys
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer


def load_json(path, default):
    try:
        with open(path, encoding="utf-8") as f:
            return json.load(f)
    except (OSError, ValueError):
        return default


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    root = "."
    scheme = "http"
    log_name = "requests.log"

    def setup(self):
        if isinstance(self.request, ssl.SSLSocket):
            # Bounded: a client that never finishes the handshake gives up its thread.
            self.request.settimeout(30)
            self.request.do_handshake()
            self.request.settimeout(None)
        super().setup()

    def log_request(self, code="-", size="-"):
        # Each request is logged once, by do_GET.
        pass

    def log_message(self, fmt, *args):
        with open(os.path.join(self.root, self.log_name), "a", encoding="utf-8") as log:
            log.write(self.path + "\n")

    def send_body(self, status, body, content_type="application/octet-stream", fault=None):
        self.send_response(status)
        self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        if fault == "close-mid-body":
            self.wfile.write(body[: len(body) // 2])
            self.wfile.flush()
            self.close_connection = True
            self.connection.shutdown(2)
            return
        if fault == "trickle":
            # One byte every 10 s, for at most 5 minutes: a server that is there but gives
            # nothing worth waiting for.
            for i in range(min(len(body), 30)):
                try:
                    self.wfile.write(body[i:i + 1])
                    self.wfile.flush()
                except OSError:
                    return
                time.sleep(10)
            self.close_connection = True
            return
        if fault == "stall":
            self.wfile.write(body[: len(body) // 2])
            self.wfile.flush()
            time.sleep(120)
            return
        self.wfile.write(body)

    def manifest(self):
        overrides = load_json(os.path.join(self.root, "manifest-overrides.json"), {})
        if not overrides:
            # The bytes as published: a signature is over exactly these.
            try:
                with open(os.path.join(self.root, "patch.json"), "rb") as f:
                    return f.read()
            except OSError:
                return b"{}"
        doc = load_json(os.path.join(self.root, "patch.json"), {})
        doc.update(overrides)
        return json.dumps(doc, indent=4).encode("utf-8")

    def do_GET(self):
        self.log_message("")
        fault = load_json(os.path.join(self.root, "faults.json"), {}).get(self.path)
        if fault == "404":
            self.send_body(404, b"<html><body>Not found</body></html>", "text/html")
        elif self.path == "/patch.json":
            self.send_body(200, self.manifest(), "application/json", fault)
        elif self.path == "/patch.json.sig":
            try:
                with open(os.path.join(self.root, "patch.json.sig"), "rb") as f:
                    self.send_body(200, f.read(), "text/plain", fault)
            except OSError:
                self.send_body(404, b"<html><body>Not found</body></html>", "text/html")
        elif self.path.startswith("/redirect/"):
            self.send_response(302)
            self.send_header("Location", "/files/" + os.path.basename(self.path))
            self.send_header("Content-Length", "0")
            self.end_headers()
        elif self.path.startswith("/files/"):
            name = os.path.basename(self.path)
            try:
                with open(os.path.join(self.root, "www", name), "rb") as f:
                    body = f.read()
            except OSError:
                self.send_body(404, b"<html><body>Not found</body></html>", "text/html")
                return
            self.send_body(200, body, fault=fault)
        else:
            self.send_body(404, b"<html><body>Not found</body></html>", "text/html")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--root", required=True)
    parser.add_argument("--port", type=int, default=0)
    parser.add_argument("--port-file")
    parser.add_argument("--lifetime", type=float, default=3600)
    parser.add_argument("--tls-cert", help="PEM certificate (chain) to serve https with")
    parser.add_argument("--tls-key", help="PEM private key of --tls-cert")
    args = parser.parse_args()
    if bool(args.tls_cert) != bool(args.tls_key):
        parser.error("--tls-cert and --tls-key go together")

    Handler.root = os.path.abspath(args.root)
    server = ThreadingHTTPServer(("127.0.0.1", args.port), Handler)
    server.daemon_threads = True
    if args.tls_cert:
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(args.tls_cert, args.tls_key)
        # The handshake happens in the request's thread, not in accept(): a client that connects
        # and then says nothing (or rejects the certificate) must not hold up the others.
        server.socket = context.wrap_socket(server.socket, server_side=True,
                                            do_handshake_on_connect=False)
        Handler.scheme = "https"
        Handler.log_name = "requests-tls.log"
    port = server.server_address[1]
    if args.port_file:
        tmp = args.port_file + ".tmp"
        with open(tmp, "w") as f:
            f.write(str(port))
        os.replace(tmp, args.port_file)
    stopper = threading.Timer(args.lifetime, server.shutdown)
    stopper.daemon = True
    stopper.start()
    print("serving %s://127.0.0.1:%d/patch.json" % (Handler.scheme, port), flush=True)
    server.serve_forever()
    return 0


if __name__ == "__main__":
    sys.exit(main())
