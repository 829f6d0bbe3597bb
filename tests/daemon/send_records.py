#!/usr/bin/env python3
"""Sends event records to orvikevtd with Python's own TLS client.

Usage: send_records.py PORT COUNT OBJECT

Builds COUNT 408-byte records (integer fields in network byte order, host
"python", the given object, timestamp = position) and writes them over one
TLS connection to 127.0.0.1:PORT without verifying the daemon's certificate.
"""
import socket
import ssl
import struct
import sys

RECORD = struct.Struct("!IIQI64s64s256sI")
assert RECORD.size == 408


def main():
    port, count, obj = int(sys.argv[1]), int(sys.argv[2]), sys.argv[3].encode()
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
    context.check_hostname = False
    context.verify_mode = ssl.CERT_NONE
    payload = b"".join(
        RECORD.pack(0, 0, i, 11, b"python", obj, b"from python", 0) for i in range(count))
    with socket.create_connection(("127.0.0.1", port), timeout=10) as raw:
        with context.wrap_socket(raw) as tls:
            tls.sendall(payload)
            # Say goodbye properly; the daemon sends nothing back, so do not
            # wait long for its side of the close.
            tls.settimeout(0.5)
            try:
                tls.unwrap()
            except (OSError, ValueError):
                pass
    return 0


if __name__ == "__main__":
    sys.exit(main())
