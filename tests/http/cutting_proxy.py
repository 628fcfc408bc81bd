#!/usr/bin/env python3
"""A loopback TCP relay that cuts every connection after a number of bytes.

Forwards each connection accepted on 127.0.0.1 to --upstream PORT on
127.0.0.1 and closes both sides (an orderly close, as a dropped link seen
through a gateway) once --cut BYTES have gone back to the client; --cut 0
never cuts. Writes its port to --port-file once listening. On SIGTERM it
writes "<bytes sent to clients> <connections>" to --stats and ends.
"""

import argparse
import os
import signal
import socket
import sys
import threading

BLOCK = 256 * 1024
lock = threading.Lock()
sent_total = 0
connections = 0


def write_atomically(path, data):
    tmp = path + ".tmp"
    with open(tmp, "wb") as f:
        f.write(data)
    os.replace(tmp, path)


def close_both(a, b):
    for s in (a, b):
        try:
            s.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass


def to_server(client, server):
    try:
        while True:
            data = client.recv(BLOCK)
            if not data:
                break
            server.sendall(data)
        server.shutdown(socket.SHUT_WR)
    except OSError:
        pass


def to_client(server, client, cut):
    global sent_total
    sent = 0
    try:
        while cut == 0 or sent < cut:
            data = server.recv(BLOCK if cut == 0 else min(BLOCK, cut - sent))
            if not data:
                break
            # Counted before it is sent: whatever the client got is in the total.
            with lock:
                sent_total += len(data)
            client.sendall(data)
            sent += len(data)
    except OSError:
        pass
    close_both(client, server)


def relay(client, upstream, cut):
    global connections
    with lock:
        connections += 1
    try:
        server = socket.create_connection(("127.0.0.1", upstream))
    except OSError:
        client.close()
        return
    up = threading.Thread(target=to_server, args=(client, server), daemon=True)
    up.start()
    to_client(server, client, cut)
    up.join()
    client.close()
    server.close()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--upstream", type=int, required=True)
    parser.add_argument("--cut", type=int, default=0)
    parser.add_argument("--port-file", required=True)
    parser.add_argument("--stats", required=True)
    args = parser.parse_args()

    def stop(signum, frame):
        with lock:
            write_atomically(args.stats, b"%d %d\n" % (sent_total, connections))
        os._exit(0)

    signal.signal(signal.SIGTERM, stop)
    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("127.0.0.1", 0))
    listener.listen(16)
    write_atomically(args.port_file, b"%d" % listener.getsockname()[1])
    while True:
        client, _ = listener.accept()
        threading.Thread(target=relay, args=(client, args.upstream, args.cut), daemon=True).start()


if __name__ == "__main__":
    sys.exit(main())
