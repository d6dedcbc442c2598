#!/usr/bin/env python3
"""A file server for bench_download: serves one file with an ETag and, unless told otherwise,
byte ranges (Range, If-Range); drops the connection once at each given offset of the file; prints
one line per answer: status, first byte, byte after the last one sent, body bytes sent.

  range_server.py FILE PORT [--no-ranges] [--drop OFFSET]...
"""
import http.server
import re
import sys


def main():
    args = sys.argv[1:]
    path, port = args[0], int(args[1])
    ranges = "--no-ranges" not in args
    drops = sorted(int(args[i + 1]) for i, a in enumerate(args) if a == "--drop")
    with open(path, "rb") as f:
        data = memoryview(f.read())
    size = len(data)
    etag = '"bench-1"'

    class Handler(http.server.BaseHTTPRequestHandler):
        protocol_version = "HTTP/1.1"

        def log_message(self, *args):
            pass

        def do_GET(self):
            start, status = 0, 200
            asked = re.fullmatch(r"bytes=(\d+)-", self.headers.get("Range", ""))
            if_range = self.headers.get("If-Range")
            if ranges and asked and (if_range is None or if_range == etag):
                if int(asked.group(1)) < size:
                    start, status = int(asked.group(1)), 206
            while drops and drops[0] <= start:
                drops.pop(0)
            stop = drops.pop(0) if drops and drops[0] < size else size
            self.send_response(status)
            self.send_header("Content-Length", str(size - start))
            self.send_header("ETag", etag)
            if ranges:
                self.send_header("Accept-Ranges", "bytes")
            if status == 206:
                self.send_header("Content-Range", f"bytes {start}-{size - 1}/{size}")
            self.send_header("Connection", "close")
            self.end_headers()
            pos = start
            try:
                while pos < stop:
                    n = min(1 << 20, stop - pos)
                    self.wfile.write(data[pos:pos + n])
                    pos += n
                self.wfile.flush()
            except (BrokenPipeError, ConnectionResetError):
                pass
            print(status, start, pos, pos - start, flush=True)
            self.close_connection = True

    http.server.HTTPServer(("127.0.0.1", port), Handler).serve_forever()


if __name__ == "__main__":
    main()
