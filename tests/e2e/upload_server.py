#!/usr/bin/env python3
"""A crash service for the uploader's tests: takes multipart/form-data POSTs on a loopback port and
files what arrived, read with Python's own MIME parser.

upload_server.py <folder> <most requests> <most seconds>

Writes <folder>/port once its port is bound. Listens only once <folder>/open exists (until then a
connection is refused, as by a service that is down). Each request n (from 1) gives <folder>/n.dmp
(the part upload_file_minidump) and <folder>/n.fields ("name=value" a line, then "@filename=",
"@arrived=<Unix time>", "@path=", "@parts="), and the answer "200 id=n". Ends after its requests,
its seconds, or once <folder>/stop exists, and then writes <folder>/done.
"""
import email.parser
import email.policy
import os
import socket
import sys
import time
from http.server import BaseHTTPRequestHandler, HTTPServer


def write(path, data):
    with open(path + ".part", "wb") as f:
        f.write(data)
    os.replace(path + ".part", path)


def main():
    folder, most_requests, most_seconds = sys.argv[1], int(sys.argv[2]), float(sys.argv[3])
    end = time.monotonic() + most_seconds
    served = [0]

    class Handler(BaseHTTPRequestHandler):
        def do_POST(self):
            arrived = time.time()
            body = self.rfile.read(int(self.headers.get("Content-Length", "0")))
            message = email.parser.BytesParser(policy=email.policy.HTTP).parsebytes(
                b"Content-Type: " + self.headers.get("Content-Type", "").encode() +
                b"\r\nMIME-Version: 1.0\r\n\r\n" + body)
            served[0] += 1
            n = served[0]
            lines, parts = [], 0
            for part in message.iter_parts() if message.is_multipart() else []:
                parts += 1
                name = part.get_param("name", header="content-disposition")
                payload = part.get_payload(decode=True) or b""
                if name == "upload_file_minidump":
                    write(os.path.join(folder, "%d.dmp" % n), payload)
                    lines.append("@filename=%s" % part.get_filename())
                else:
                    lines.append("%s=%s" % (name, payload.decode("utf-8", "replace")))
            lines += ["@arrived=%.3f" % arrived, "@path=%s" % self.path, "@parts=%d" % parts]
            write(os.path.join(folder, "%d.fields" % n), ("\r\n".join(lines) + "\r\n").encode())
            answer = b"id=%d" % n
            self.send_response(200)
            self.send_header("Content-Length", str(len(answer)))
            self.end_headers()
            self.wfile.write(answer)

        def log_message(self, *args):
            pass

    server = HTTPServer(("127.0.0.1", 0), Handler, bind_and_activate=False)
    server.socket.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    server.server_bind()
    write(os.path.join(folder, "port"), str(server.server_address[1]).encode())
    stop = os.path.join(folder, "stop")
    while not os.path.exists(os.path.join(folder, "open")):
        if time.monotonic() > end or os.path.exists(stop):
            break
        time.sleep(0.05)
    else:
        server.server_activate()
        server.timeout = 0.1
        while served[0] < most_requests and time.monotonic() < end and not os.path.exists(stop):
            server.handle_request()
    server.server_close()
    write(os.path.join(folder, "done"), b"")


if __name__ == "__main__":
    main()
