#!/usr/bin/env python3
"""A loopback HTTP server that misbehaves on purpose, for the download tests.

Every connection is served the same way, one at a time, until the server is
killed. Modes (--mode, with --bytes N where it matters):
  status        answers --status with a small HTML body (no challenge header)
  close-after   200 with a chunked body; closes after N body bytes, before
                the closing chunk
  short-length  200 announcing N + 1000 bytes; sends N, then closes
  stall         200 announcing N + 1000 bytes; sends N, then nothing more
                until the client goes away
  reset         200 announcing N + 1000 bytes; sends N, then resets the
                connection
Once listening it writes its port to --port-file. Each raw request (up to and
including the blank line) is written to --record before the answer.
"""

import argparse
import os
import socket
import struct

REASONS = {401: "Unauthorized", 404: "Not Found", 407: "Proxy Authentication Required",
           500: "Internal Server Error"}


def body_bytes(n):
    return bytes(i % 251 for i in range(n))


def read_request(conn):
    data = b""
    while b"\r\n\r\n" not in data:
        chunk = conn.recv(4096)
        if not chunk:
            break
        data += chunk
    return data


def write_atomically(path, data):
    tmp = path + ".tmp"
    with open(tmp, "wb") as f:
        f.write(data)
    os.replace(tmp, path)


def wait_until_closed(conn):
    while conn.recv(4096):
        pass


def serve(conn, args):
    request = read_request(conn)
    if args.record:
        write_atomically(args.record, request)
    n = args.bytes
    if args.mode == "status":
        reason = REASONS.get(args.status, "Error")
        body = ("<html><head><title>%d %s</title></head><body><h1>%s</h1></body></html>\n"
                % (args.status, reason, reason)).encode()
        conn.sendall(b"HTTP/1.1 %d %s\r\nContent-Type: text/html\r\nContent-Length: %d\r\n"
                     b"Connection: close\r\n\r\n" % (args.status, reason.encode(), len(body)) + body)
    elif args.mode == "close-after":
        conn.sendall(b"HTTP/1.1 200 OK\r\nContent-Type: application/zip\r\n"
                     b"Transfer-Encoding: chunked\r\n\r\n"
                     + b"%x\r\n" % n + body_bytes(n) + b"\r\n")
    else:
        conn.sendall(b"HTTP/1.1 200 OK\r\nContent-Type: application/zip\r\nContent-Length: %d\r\n\r\n"
                     % (n + 1000) + body_bytes(n))
        if args.mode == "stall":
            wait_until_closed(conn)
        elif args.mode == "reset":
            conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--mode", required=True,
                        choices=["status", "close-after", "short-length", "stall", "reset"])
    parser.add_argument("--status", type=int, default=404)
    parser.add_argument("--bytes", type=int, default=0)
    parser.add_argument("--port-file", required=True)
    parser.add_argument("--record")
    args = parser.parse_args()

    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("127.0.0.1", 0))
    listener.listen(8)
    write_atomically(args.port_file, b"%d" % listener.getsockname()[1])
    while True:
        conn, _ = listener.accept()
        try:
            serve(conn, args)
        except OSError:
            pass
        finally:
            conn.close()


if __name__ == "__main__":
    main()
