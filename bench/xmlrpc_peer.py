#!/usr/bin/env python3
"""Times xmlrpc.client on the documents of bench_xmlrpc.

Prints one line per case: "<case> <write ms> <read ms>" in processor time,
the best of a few repetitions of dumps() and loads() of a methodResponse holding the case's
value (the same values bench_xmlrpc builds).
"""
import time
import xmlrpc.client


def mixed():
    ints = list(range(10000))
    members = {"member%04d" % i: "string value number %d" % i for i in range(1000)}
    return [ints, members]


def large():
    return list(range(100000))


def best_ms(function, repeat):
    best = None
    for _ in range(repeat):
        start = time.process_time()
        function()
        elapsed = (time.process_time() - start) * 1000.0
        best = elapsed if best is None else min(best, elapsed)
    return best


def main():
    for name, value, repeat in (("mixed", mixed(), 20), ("large", large(), 5)):
        text = xmlrpc.client.dumps((value,), methodresponse=True)
        write = best_ms(lambda: xmlrpc.client.dumps((value,), methodresponse=True), repeat)
        read = best_ms(lambda: xmlrpc.client.loads(text), repeat)
        print("%s %.3f %.3f" % (name, write, read))


if __name__ == "__main__":
    main()
