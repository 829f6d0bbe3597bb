#!/usr/bin/env python3
"""Peer side of the XML-RPC interoperability tests, using xmlrpc.client.

  xmlrpc_interop.py read DIR
      Loads every DIR/*.xml (sorted by name) and prints one canonical line
      per document.
  xmlrpc_interop.py write DIR SEED COUNT
      Writes COUNT random documents DIR/NNN.xml (requests, responses and
      faults), with the white space between elements removed, and prints the
      canonical line of each.

Canonical lines (the C++ test computes the same form from what it reads):
  request:  C|<hex method name>|(<value>,...)
  response: R|(<value>,)
  fault:    F|<struct value>
Values: iN, b0/b1, s<hex utf-8>;, d<%.17g>, B<base64>;, {<hex name>=<value>,...},
[<value>,...].
"""
import base64
import os
import random
import re
import sys
import xmlrpc.client


def canon(value):
    if isinstance(value, bool):
        return "b1" if value else "b0"
    if isinstance(value, int):
        return "i%d" % value
    if isinstance(value, float):
        return "d%.17g" % value
    if isinstance(value, str):
        return "s" + value.encode("utf-8").hex() + ";"
    if isinstance(value, xmlrpc.client.Binary):
        return "B" + base64.b64encode(value.data).decode("ascii") + ";"
    if isinstance(value, dict):
        return "{" + "".join(k.encode("utf-8").hex() + "=" + canon(v) + ","
                             for k, v in value.items()) + "}"
    if isinstance(value, (list, tuple)):
        return "[" + "".join(canon(v) + "," for v in value) + "]"
    raise TypeError("unexpected value %r" % (value,))


def canon_params(params):
    return "(" + "".join(canon(v) + "," for v in params) + ")"


def read(directory):
    for name in sorted(os.listdir(directory)):
        if not name.endswith(".xml"):
            continue
        with open(os.path.join(directory, name), "rb") as f:
            text = f.read().decode("utf-8")
        try:
            params, method = xmlrpc.client.loads(text)
        except xmlrpc.client.Fault as fault:
            print("F|" + canon({"faultCode": fault.faultCode,
                                "faultString": fault.faultString}))
            continue
        if method is None:
            print("R|" + canon_params(params))
        else:
            print("C|" + method.encode("utf-8").hex() + "|" + canon_params(params))


ALPHABET = list("abcXYZ019 .,;:!?'\"&<>=/\\[]\t\n") + ["\u00e9", "\u20ac", "\U0001f600",
                                                         "&lt;", "]]>"]


def random_text(rng):
    text = "".join(rng.choice(ALPHABET) for _ in range(rng.randrange(0, 12)))
    # Removing white space between elements would also empty a string made
    # only of white space, so every non-empty text holds a visible character.
    if text and not text.strip():
        text += "x"
    return text


def random_value(rng, depth):
    kind = rng.randrange(8 if depth < 3 else 6)
    if kind == 0:
        return rng.randrange(-2**31, 2**31)
    if kind == 1:
        return rng.random() < 0.5
    if kind == 2:
        return random_text(rng)
    if kind == 3:
        return rng.choice([0.0, -1.5, 1e300, rng.uniform(-1e6, 1e6)])
    if kind == 4:
        return xmlrpc.client.Binary(bytes(rng.randrange(256) for _ in range(rng.randrange(60))))
    if kind == 5:
        return random_text(rng) + "z"
    if kind == 6:
        members = {}
        for _ in range(rng.randrange(4)):
            members[random_text(rng) + str(len(members))] = random_value(rng, depth + 1)
        return members
    return [random_value(rng, depth + 1) for _ in range(rng.randrange(4))]


def write(directory, seed, count):
    rng = random.Random(seed)
    for i in range(count):
        kind = i % 3
        if kind == 0:
            params = tuple(random_value(rng, 0) for _ in range(rng.randrange(4)))
            # xmlrpc.client writes method names without escaping them.
            method = "m." + "".join(rng.choice("abcXYZ019._") for _ in range(rng.randrange(8)))
            text = xmlrpc.client.dumps(params, method)
            line = "C|" + method.encode("utf-8").hex() + "|" + canon_params(params)
        elif kind == 1:
            params = (random_value(rng, 0),)
            text = xmlrpc.client.dumps(params, methodresponse=True)
            line = "R|" + canon_params(params)
        else:
            fault = xmlrpc.client.Fault(rng.randrange(-1000, 1000), random_text(rng))
            text = xmlrpc.client.dumps(fault, methodresponse=True)
            line = "F|" + canon({"faultCode": fault.faultCode,
                                 "faultString": fault.faultString})
        text = re.sub(r">\s+<", "><", text)
        with open(os.path.join(directory, "%03d.xml" % i), "wb") as f:
            f.write(text.encode("utf-8"))
        print(line)


def main():
    if len(sys.argv) == 3 and sys.argv[1] == "read":
        read(sys.argv[2])
    elif len(sys.argv) == 5 and sys.argv[1] == "write":
        write(sys.argv[2], int(sys.argv[3]), int(sys.argv[4]))
    else:
        sys.exit(__doc__)


if __name__ == "__main__":
    main()
