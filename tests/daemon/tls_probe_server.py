#!/usr/bin/env python3
"""A TLS server that leaves the choice of cipher to its client.

Usage: tls_probe_server.py CERT KEY VERSION PORTFILE

Listens on a free port of 127.0.0.1 (written to PORTFILE once listening),
speaks only TLS VERSION ("1.2" or "1.3"), takes one connection, and prints

  negotiated NAME          the suite the client's order picked
  offered NAME NAME ...    the suites the client offered, in its order

then reads until the client ends. Exits 1 when no client came within two
minutes.
"""
import os
import socket
import ssl
import sys


def main():
    certificate, key, version, port_file = sys.argv[1:5]
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(certificate, key)
    # Every suite OpenSSL has, picked by the client's order, not ours.
    context.set_ciphers("ALL:@SECLEVEL=0")
    context.options &= ~ssl.OP_CIPHER_SERVER_PREFERENCE
    tls_version = ssl.TLSVersion.TLSv1_2 if version == "1.2" else ssl.TLSVersion.TLSv1_3
    context.minimum_version = tls_version
    context.maximum_version = tls_version
    with socket.create_server(("127.0.0.1", 0)) as listener:
        listener.settimeout(120)
        with open(port_file + ".tmp", "w") as out:
            out.write(str(listener.getsockname()[1]))
        os.rename(port_file + ".tmp", port_file)
        try:
            connection, _ = listener.accept()
        except socket.timeout:
            return 1
        connection.settimeout(120)
        with context.wrap_socket(connection, server_side=True) as tls:
            print("negotiated", tls.cipher()[0])
            print("offered", " ".join(name for name, _, _ in tls.shared_ciphers()))
            sys.stdout.flush()
            try:
                while tls.recv(65536):
                    pass
            except (ssl.SSLError, OSError):
                pass
    return 0


if __name__ == "__main__":
    sys.exit(main())
