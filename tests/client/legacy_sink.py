#!/usr/bin/env python3
"""A TLS server that takes records the way daemons without acknowledgements
do: it offers no application protocol, writes nothing back and reads until
each client ends.

Usage: legacy_sink.py CERT KEY PORTFILE COUNTFILE

Listens on a free port of 127.0.0.1 (written to PORTFILE once listening) and
keeps the number of bytes received from all clients in COUNTFILE (replaced
whole after each read). Runs until it is killed.
"""
import os
import socket
import ssl
import sys
import threading

lock = threading.Lock()
received = 0


def publish(count_file):
    with open(count_file + ".tmp", "w") as out:
        out.write(str(received))
    os.rename(count_file + ".tmp", count_file)


def serve(context, connection, count_file):
    global received
    try:
        with context.wrap_socket(connection, server_side=True) as tls:
            while True:
                data = tls.recv(65536)
                if not data:
                    break
                with lock:
                    received += len(data)
                    publish(count_file)
    except (ssl.SSLError, OSError):
        pass


def main():
    certificate, key, port_file, count_file = sys.argv[1:5]
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(certificate, key)
    publish(count_file)
    with socket.create_server(("127.0.0.1", 0)) as listener:
        with open(port_file + ".tmp", "w") as out:
            out.write(str(listener.getsockname()[1]))
        os.rename(port_file + ".tmp", port_file)
        while True:
            connection, _ = listener.accept()
            threading.Thread(target=serve, args=(context, connection, count_file),
                             daemon=True).start()


if __name__ == "__main__":
    sys.exit(main())
