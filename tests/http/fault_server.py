#!/usr/bin/env python3
"""A loopback HTTP server that misbehaves on purpose, for the download tests.

Connections are served one at a time until the server is killed. Each is
answered after one mode (--mode, with --bytes N where it matters):
  status        answers --status with a small HTML body (no challenge header)
  close-after   200 with a chunked body; closes after N body bytes, before
                the closing chunk
  short-length  200 announcing N + 1000 bytes; sends N, then closes
  stall         200 announcing N + 1000 bytes; sends N, then nothing more
                until the client goes away
  reset         200 announcing N + 1000 bytes; sends N, then resets the
                connection
  empty         answers --status (200, 204, 206) without a body, with the
                extra "headers"
  package       the file "package" with its "etag" and "last_modified" when
                given; answers If-None-Match with 304; honours Range (one
                range as a 206 of its own, several as multipart/byteranges,
                with LF alone as line end when "lf_only"; only the first
                when "first_range_only"; several refused with the status
                "refuse_several", 200 sending the whole package; 416 for a
                range past the end)
                unless "ignore_range", and "If-Range" against the ETag or
                date ("now": the time of the answer; "date" sends a Date
                header); with "cut_after" closes after that many body bytes, or
                with "stall" as well sends nothing more until the client
                goes away; with "hostile" it answers range requests as a
                hostile or broken server would (see HOSTILE below)
--script FILE instead scripts the answers: a JSON list of objects with the
keys mode, status, bytes, headers (extra header lines, name to value),
package, etag, last_modified, ignore_range, lf_only, first_range_only,
cut_after, stall, signature (a file served for any path ending in
".minisig", whatever the mode); the n-th request gets
the n-th answer, and the last one is repeated.
Once listening it writes its port to
--port-file (--port chooses the port; 0, the default, any free one). Each raw request (up to and including the blank line) is written
to --record before the answer, and --log gets one line per request: arrival
time in seconds, then the Range and If-Range values ("-" when absent),
separated by tabs.
"""

import argparse
import email.utils
import json
import os
import socket
import struct
import time

REASONS = {200: "OK", 204: "No Content", 206: "Partial Content", 304: "Not Modified", 401: "Unauthorized",
           404: "Not Found", 407: "Proxy Authentication Required", 408: "Request Timeout",
           416: "Range Not Satisfiable", 429: "Too Many Requests", 500: "Internal Server Error",
           502: "Bad Gateway", 503: "Service Unavailable", 504: "Gateway Timeout"}


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


def request_header(request, name):
    for line in request.split(b"\r\n")[1:]:
        key, sep, value = line.partition(b":")
        if sep and key.strip().lower() == name.lower():
            return value.strip().decode("latin-1")
    return None


def write_atomically(path, data):
    tmp = path + ".tmp"
    with open(tmp, "wb") as f:
        f.write(data)
    os.replace(tmp, path)


def wait_until_closed(conn):
    while conn.recv(4096):
        pass


def head(status, headers):
    lines = ["HTTP/1.1 %d %s" % (status, REASONS.get(status, "Error"))]
    lines += ["%s: %s" % item for item in headers]
    return ("\r\n".join(lines) + "\r\n\r\n").encode("latin-1")


def parse_ranges(spec, size):
    """The (first, last) pairs of "bytes=a-b,c-,-n", or None."""
    if not spec.startswith("bytes="):
        return None
    ranges = []
    for item in spec[len("bytes="):].split(","):
        first, _, last = item.strip().partition("-")
        if first == "":
            first, last = max(size - int(last), 0), size - 1
        else:
            first, last = int(first), min(int(last), size - 1) if last else size - 1
        if first > last or first >= size:
            return None
        ranges.append((first, last))
    return ranges


def multipart(data, ranges, newline):
    boundary = "SEPARATE_RANGES"
    body = b""
    for first, last in ranges:
        body += ("%s--%s%sContent-Type: application/zip%sContent-Range: bytes %d-%d/%d%s%s"
                 % (newline, boundary, newline, newline, first, last, len(data), newline,
                    newline)).encode("latin-1")
        body += data[first:last + 1]
    body += ("%s--%s--%s" % (newline, boundary, newline)).encode("latin-1")
    return "multipart/byteranges; boundary=" + boundary, body


# Hostile answers to range requests, each bounded in bytes (the client is
# expected to stop reading long before):
#   huge_tail       the tail as a 206 claiming a file of 1 TB, streaming
#   huge_directory  a tail whose end record claims a central directory of
#                   4 GB
#   reuse_one       a tail whose directory names one large entry of the
#                   package at "kept" 400 times
#   cut_tail        the tail cut off half-way, every time
#   repeated_parts  multipart answers that send every part twice
#   epilogue        multipart answers followed by an endless epilogue
HOSTILE_LIMIT = 256 * 1024 * 1024


def stream(conn, headers, status=206):
    conn.sendall(head(status, headers))
    chunk = b"\0" * 65536
    for _ in range(HOSTILE_LIMIT // len(chunk)):
        conn.sendall(chunk)


def end_record(entries, cd_size, cd_offset):
    return struct.pack("<IHHHHIIH", 0x06054b50, 0, 0, entries, entries, cd_size, cd_offset, 0)


def reusing_tail(kept, count):
    """A zip's end whose `count` entries all hold the largest entry of `kept`."""
    import zipfile
    with zipfile.ZipFile(kept) as z:
        big = max(z.infolist(), key=lambda i: i.compress_size)
    records, offset = b"", 0
    for i in range(count):
        name = b"f%05d" % i
        records += struct.pack("<IHHHHHHIIIHHHHHII", 0x02014b50, 20, 20, big.flag_bits,
                               big.compress_type, 0, 0, big.CRC, big.compress_size,
                               big.file_size, len(name), 0, 0, 0, 0, 0, offset) + name
        offset += 30 + len(name) + big.compress_size
    return offset, records + end_record(count, len(records), offset)


def hostile_tail(conn, answer, wanted, headers):
    kind = answer["hostile"]
    length = int(wanted[len("bytes=-"):])
    if kind == "huge_tail":
        total = 10 ** 12
        stream(conn, headers + [("Content-Range", "bytes %d-%d/%d" % (total - length, total - 1,
                                                                       total))])
        return True
    if kind == "huge_directory":
        cd_size = 0xFFFFFF00
        total = 1000 + cd_size + 22
        tail = (b"\0" * (length - 22)) + end_record(1, cd_size, 1000)
    elif kind == "reuse_one":
        cd_offset, end = reusing_tail(answer["kept"], 400)
        total = cd_offset + len(end)
        tail = (b"\0" * (length - len(end))) + end
    elif kind == "cut_tail":
        with open(answer["package"], "rb") as f:
            data = f.read()
        tail = data[-length:]
        conn.sendall(head(206, headers + [
            ("Content-Range", "bytes %d-%d/%d" % (len(data) - length, len(data) - 1, len(data))),
            ("Content-Length", "%d" % length)]) + tail[:length // 2])
        return True
    else:
        return False
    conn.sendall(head(206, headers + [
        ("Content-Range", "bytes %d-%d/%d" % (total - length, total - 1, total)),
        ("Content-Length", "%d" % length)]) + tail)
    return True


def serve_package(conn, request, answer):
    with open(answer["package"], "rb") as f:
        data = f.read()
    if answer.get("last_modified") == "now":
        answer = dict(answer, last_modified=email.utils.formatdate(usegmt=True))
    validators = [v for v in (answer.get("etag"), answer.get("last_modified")) if v]
    headers = [("Connection", "close")]
    if answer.get("date"):
        headers.append(("Date", email.utils.formatdate(usegmt=True)))
    if answer.get("etag"):
        headers.append(("ETag", answer["etag"]))
    if answer.get("last_modified"):
        headers.append(("Last-Modified", answer["last_modified"]))
    headers += list(answer.get("headers", {}).items())
    status, content_type, body = 200, "application/zip", data
    wanted = request_header(request, b"Range")
    if_range = request_header(request, b"If-Range")
    if_none_match = request_header(request, b"If-None-Match")
    if if_none_match and if_none_match in validators:
        conn.sendall(head(304, headers))
        return
    if (answer.get("hostile") and wanted and wanted.startswith("bytes=-")
            and hostile_tail(conn, answer, wanted, headers)):
        return
    ranges = parse_ranges(wanted, len(data)) if wanted else None
    if (wanted and not answer.get("ignore_range")
            and (if_range is None or if_range in validators)):
        if ranges is None:
            conn.sendall(head(416, headers + [("Content-Range", "bytes */%d" % len(data)),
                                              ("Content-Length", "0")]))
            return
        refusal = answer.get("refuse_several")
        if refusal and len(ranges) > 1:
            # As caches and object stores refuse several ranges: the whole
            # package, or an error of their own.
            if refusal == 200:
                conn.sendall(head(200, headers + [("Content-Type", "application/zip"),
                                                  ("Content-Length", "%d" % len(data))]) + data)
            else:
                extra = [("Content-Range", "bytes */%d" % len(data))] if refusal == 416 else []
                conn.sendall(head(refusal, headers + extra + [("Content-Length", "0")]))
            return
        if answer.get("first_range_only"):
            ranges = ranges[:1]
        status = 206
        if len(ranges) == 1:
            first, last = ranges[0]
            headers.append(("Content-Range", "bytes %d-%d/%d" % (first, last, len(data))))
            body = data[first:last + 1]
        else:
            if answer.get("hostile") == "repeated_parts":
                ranges = [r for r in ranges for _ in (0, 1)]
            content_type, body = multipart(data, ranges,
                                           "\n" if answer.get("lf_only") else "\r\n")
            if answer.get("hostile") == "epilogue":
                headers.append(("Content-Type", content_type))
                conn.sendall(head(206, headers) + body)
                for _ in range(HOSTILE_LIMIT // 65536):
                    conn.sendall(b"e" * 65536)
                return
    headers.append(("Content-Type", content_type))
    headers.append(("Content-Length", "%d" % len(body)))
    cut = answer.get("cut_after")
    conn.sendall(head(status, headers) + (body if cut is None else body[:cut]))
    if cut is not None and answer.get("stall"):
        wait_until_closed(conn)


def serve(conn, request, answer):
    mode, n = answer["mode"], answer.get("bytes", 0)
    path = request.split(b" ")[1] if request.count(b" ") >= 2 else b""
    if path.endswith(b".minisig") and answer.get("signature"):
        with open(answer["signature"], "rb") as f:
            data = f.read()
        conn.sendall(head(200, [("Content-Length", "%d" % len(data)), ("Connection", "close")])
                     + data)
    elif mode == "package":
        serve_package(conn, request, answer)
    elif mode == "status":
        status = answer.get("status", 404)
        reason = REASONS.get(status, "Error")
        body = ("<html><head><title>%d %s</title></head><body><h1>%s</h1></body></html>\n"
                % (status, reason, reason)).encode()
        headers = [("Content-Type", "text/html"), ("Content-Length", "%d" % len(body)),
                   ("Connection", "close")] + list(answer.get("headers", {}).items())
        conn.sendall(head(status, headers) + body)
    elif mode == "empty":
        status = answer.get("status", 200)
        headers = [("Connection", "close")] + list(answer.get("headers", {}).items())
        if status != 204:
            headers.append(("Content-Length", "0"))
        conn.sendall(head(status, headers))
    elif mode == "close-after":
        conn.sendall(b"HTTP/1.1 200 OK\r\nContent-Type: application/zip\r\n"
                     b"Transfer-Encoding: chunked\r\n\r\n"
                     + b"%x\r\n" % n + body_bytes(n) + b"\r\n")
    else:
        conn.sendall(b"HTTP/1.1 200 OK\r\nContent-Type: application/zip\r\nContent-Length: %d\r\n\r\n"
                     % (n + 1000) + body_bytes(n))
        if mode == "stall":
            wait_until_closed(conn)
        elif mode == "reset":
            conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--mode",
                        choices=["status", "close-after", "short-length", "stall", "reset",
                                 "empty"])
    parser.add_argument("--port", type=int, default=0)
    parser.add_argument("--status", type=int, default=404)
    parser.add_argument("--bytes", type=int, default=0)
    parser.add_argument("--script")
    parser.add_argument("--port-file", required=True)
    parser.add_argument("--record")
    parser.add_argument("--log")
    args = parser.parse_args()
    if args.script:
        with open(args.script) as f:
            answers = json.load(f)
    elif args.mode:
        answers = [{"mode": args.mode, "status": args.status, "bytes": args.bytes}]
    else:
        parser.error("--mode or --script is needed")

    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("127.0.0.1", args.port))
    listener.listen(8)
    write_atomically(args.port_file, b"%d" % listener.getsockname()[1])
    served = 0
    while True:
        conn, _ = listener.accept()
        try:
            request = read_request(conn)
            if args.record:
                write_atomically(args.record, request)
            if args.log:
                with open(args.log, "a") as log:
                    log.write("%.3f\t%s\t%s\n" % (time.monotonic(),
                                                  request_header(request, b"Range") or "-",
                                                  request_header(request, b"If-Range") or "-"))
            answer = answers[min(served, len(answers) - 1)]
            served += 1
            serve(conn, request, answer)
        except OSError:
            pass
        finally:
            conn.close()


if __name__ == "__main__":
    main()
