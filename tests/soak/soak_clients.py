#!/usr/bin/env python3
"""The client side of the daemon's soak test (run by scripts/soak.sh).

Runs a mix of TLS clients against an orvikevtd on 127.0.0.1 for a fixed
time, then pushes the last partly filled queue through and checks what the
verifying module (tests/soak/verify_module.cc) reports against what every
client finished writing. Every record is numbered: flags carries the
sequence flag, rc the stream (one per connection), timestamp the position,
data the text "soak <stream> <position>".

Clients:
  steady      paced streams at several rates and batch sizes, reconnecting
              every few seconds, closing with the TLS goodbye
  midrecord   whole records written in pieces split anywhere, then part of
              one more record, then a close: TLS goodbye, bare FIN, or RST;
              or ("torn") a last TLS record cut short before a FIN; TLS 1.3
              and 1.2 mixed
  stalled     TCP connections that never finish the handshake (silent, a
              partial ClientHello, a whole ClientHello and then silence, or
              bytes that are not TLS); the daemon must close them itself
  churn       one short connection after another, one record each
  noise       records of random bytes without the sequence flag; the
              module must count every one as unnumbered
  burst       more connections at once than the daemon has descriptors;
              each that gets through sends a few records
  bench       orvikevt-bench runs (the project's own C++ client), when given
  canary      one stream with a duplicate, a gap and a corrupted record, to
              prove that the checks can fail

Timeline (fractions of the duration): the module is slow from 0.30 to 0.50
(so the pool cap engages and intake pauses), SIGHUP at 0.40 and SIGPIPE at
0.45 must each be logged within a second, the burst starts at 0.65.

Expectations per stream: streams closed with the goodbye or a FIN must
arrive complete, once and in order; streams ended by RST (the kernel may
drop what it had not sent yet) must arrive as an unbroken prefix. Nothing
may arrive twice, out of order or corrupted, in any stream.

Cross builds: --emulator runs orvikevt-bench through the emulator the
daemon runs under, and every time limit (not the daemon's own handshake
timeout) is multiplied by --time-scale.

Exit status: 0 when every check passed, 1 when one failed, 2 on a usage or
set-up error. Figures go to standard output; the last line starts with
"SOAK-CLIENTS".
"""
import argparse
import json
import os
import random
import resource
import signal
import socket
import ssl
import struct
import subprocess
import sys
import threading
import time

RECORD = struct.Struct("!IIQI64s64s256sI")
assert RECORD.size == 408
SEQUENCED = 0x80000000
STREAM_BASE = 0x50000000
HANDSHAKE_TIMEOUT = 10.0  # the daemon's default (comm option 2)
IO_TIMEOUT = 30.0
# Set from the command line: the factor for every time limit, and the words
# that run a program of ours on the daemon's target.
TIME_SCALE = 1.0
EMULATOR = []


def scaled(seconds):
    return seconds * TIME_SCALE


def now():
    return time.monotonic()


def record(stream, position, role=b"steady", corrupt=False):
    data = b"soak %08x %016x" % (stream, position)
    if corrupt:
        data = data[:-1] + b"X"
    return RECORD.pack(SEQUENCED, stream, position, len(data), b"soak-" + role, role, data, 0)


def records(stream, first, count, role):
    return b"".join(record(stream, first + i, role) for i in range(count))


class Stream:
    """One connection's numbered records and how they must arrive."""

    def __init__(self, ident, role, exact):
        self.id = ident
        self.role = role
        self.exact = exact  # complete (True) or an unbroken prefix (False)
        self.written = 0  # complete records fully handed to the kernel


class Run:
    def __init__(self, args):
        self.args = args
        self.start = now()
        self.stop_at = self.start + args.duration
        self.lock = threading.Lock()
        self.streams = []
        self.next_stream = STREAM_BASE
        self.problems = []  # client-side failures that break a check
        self.notes = {}  # figures
        self.context = self.make_context(args.ca)
        self.context_tls12 = self.make_context(args.ca)
        self.context_tls12.maximum_version = ssl.TLSVersion.TLSv1_2
        self.longest_write = 0.0
        self.bench_runs = []  # (status, records per connection, connections)

    @staticmethod
    def make_context(ca):
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
        context.load_verify_locations(ca)
        context.check_hostname = False
        return context

    def at(self, fraction):
        return self.start + self.args.duration * fraction

    def stopping(self):
        return now() >= self.stop_at

    def new_stream(self, role, exact):
        with self.lock:
            stream = Stream(self.next_stream, role, exact)
            self.next_stream += 1
            self.streams.append(stream)
            return stream

    def problem(self, text):
        with self.lock:
            self.problems.append(text)

    def count(self, name, amount=1):
        with self.lock:
            self.notes[name] = self.notes.get(name, 0) + amount

    def connect(self, timeout=None, context=None):
        raw = socket.create_connection(("127.0.0.1", self.args.port),
                                       timeout=timeout or scaled(IO_TIMEOUT))
        try:
            tls = (context or self.context).wrap_socket(raw)
        except BaseException:
            raw.close()
            raise
        tls.settimeout(scaled(IO_TIMEOUT))
        return tls

    def send(self, tls, payload):
        began = now()
        tls.sendall(payload)
        waited = now() - began
        if waited > self.longest_write:
            with self.lock:
                self.longest_write = max(self.longest_write, waited)


def close_with_goodbye(tls):
    """TLS close notification, then FIN. The daemon may not answer at once
    (its intake may be paused), so the wait for its side is short."""
    try:
        tls.settimeout(scaled(2.0))
        tls.unwrap().close()
    except (OSError, ValueError):
        tls.close()


def close_with_fin(tls):
    tls.close()  # Python sends no close notification here


def close_with_reset(tls):
    try:
        tls.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    except OSError:
        pass
    tls.close()


def steady_client(run, rate, batch_max, role):
    """Paced stream: rate records/s in batches of 1..batch_max."""
    rng = random.Random(rate * 7 + batch_max)
    while not run.stopping():
        stream = run.new_stream(role, exact=True)
        try:
            tls = run.connect()
        except (OSError, ssl.SSLError) as error:
            run.count("steady_connect_failures")
            run.problem("steady: cannot connect: %s" % error)
            time.sleep(0.5)
            continue
        run.count("connections")
        until = min(now() + rng.uniform(2.0, 5.0), run.stop_at)
        began = now()
        try:
            while now() < until:
                count = rng.randint(1, batch_max)
                run.send(tls, records(stream.id, stream.written, count, role.encode()))
                stream.written += count
                # Pace to the rate averaged since the connection began.
                ahead = stream.written / rate - (now() - began)
                if ahead > 0:
                    time.sleep(min(ahead, 0.5))
        except (OSError, ssl.SSLError) as error:
            # What was partly written is unknown: the stream is a prefix now.
            stream.exact = False
            run.problem("steady: sending failed after %d records: %s" % (stream.written, error))
            tls.close()
            continue
        close_with_goodbye(tls)


def midrecord_client(run):
    """Whole records in pieces split anywhere, part of one more, then a close."""
    rng = random.Random(11)
    closers = {"goodbye": close_with_goodbye, "fin": close_with_fin, "reset": close_with_reset}
    while not run.stopping():
        how = rng.choice(sorted(closers) + ["torn"])
        context = rng.choice((run.context, run.context_tls12))
        stream = run.new_stream("mid-" + how, exact=how != "reset")
        try:
            if how == "torn":
                torn_connection(run, stream, rng, context)
                run.count("midrecord_torn")
                time.sleep(rng.uniform(0.01, 0.05))
                continue
            tls = run.connect(context=context)
        except (OSError, ssl.SSLError) as error:
            stream.exact = False
            run.problem("midrecord: cannot connect or send: %s" % error)
            time.sleep(0.5)
            continue
        run.count("connections")
        complete = rng.randint(0, 40)
        payload = records(stream.id, 0, complete + 1, b"midrecord")
        payload = payload[:complete * 408 + rng.randint(1, 407)]
        sent = 0
        try:
            while sent < len(payload):
                piece = min(len(payload) - sent, rng.choice((1, 7, 100, 207, 408, 409, 1500, 5000)))
                run.send(tls, payload[sent:sent + piece])
                sent += piece
                stream.written = sent // 408
                if rng.random() < 0.05:
                    time.sleep(0.01)
        except (OSError, ssl.SSLError) as error:
            stream.exact = False
            run.problem("midrecord: sending failed: %s" % error)
            tls.close()
            continue
        run.count("midrecord_" + how)
        closers[how](tls)
        time.sleep(rng.uniform(0.01, 0.05))


def torn_connection(run, stream, rng, context):
    """TLS driven by hand over a plain socket: whole TLS records carrying
    whole event records, then one TLS record (more records and part of
    another) of which only a part is sent before a FIN. Only the records of
    the whole TLS records can arrive."""
    sock = socket.create_connection(("127.0.0.1", run.args.port), timeout=scaled(IO_TIMEOUT))
    try:
        incoming, outgoing = ssl.MemoryBIO(), ssl.MemoryBIO()
        tls = context.wrap_bio(incoming, outgoing)
        while True:
            try:
                tls.do_handshake()
                break
            except ssl.SSLWantReadError:
                sock.sendall(outgoing.read())
                data = sock.recv(65536)
                if not data:
                    raise ConnectionError("the daemon closed during the handshake")
                incoming.write(data)
        sock.sendall(outgoing.read())
        run.count("connections")
        complete = rng.randint(0, 40)
        if complete > 0:
            tls.write(records(stream.id, 0, complete, b"midrecord"))
            run.send(sock, outgoing.read())
        stream.written = complete
        # At most 16 KiB of plaintext: one TLS record, torn below.
        more = rng.randint(0, 30)
        tail = records(stream.id, complete, more + 1, b"midrecord")
        tls.write(tail[:more * 408 + rng.randint(1, 407)])
        cipher = outgoing.read()
        sock.sendall(cipher[:rng.randint(1, len(cipher) - 1)])
    finally:
        sock.close()


def churn_client(run):
    """One connection per record, as fast as the handshakes go."""
    rng = random.Random(5)
    while not run.stopping():
        stream = run.new_stream("churn", exact=True)
        try:
            tls = run.connect(context=rng.choice((run.context, run.context_tls12)))
            run.send(tls, record(stream.id, 0, b"churn"))
            stream.written = 1
        except (OSError, ssl.SSLError) as error:
            stream.exact = False
            run.problem("churn: %s" % error)
            time.sleep(0.5)
            continue
        run.count("connections")
        close_with_goodbye(tls)


def noise_client(run):
    """Records of random bytes, the sequence flag cleared."""
    rng = random.Random(3)
    while not run.stopping():
        count = rng.randint(1, 50)
        payload = bytearray(rng.randbytes(408 * count))
        for i in range(count):
            payload[i * 408] &= 0x7F  # flags is big-endian: its top bit goes
        try:
            tls = run.connect()
            run.send(tls, bytes(payload))
        except (OSError, ssl.SSLError) as error:
            run.problem("noise: %s" % error)
            time.sleep(0.5)
            continue
        run.count("connections")
        run.count("noise_records", count)
        close_with_goodbye(tls)
        time.sleep(0.05)


def client_hello():
    """The bytes of a real ClientHello."""
    incoming, outgoing = ssl.MemoryBIO(), ssl.MemoryBIO()
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
    context.check_hostname = False
    context.verify_mode = ssl.CERT_NONE
    tls = context.wrap_bio(incoming, outgoing)
    try:
        tls.do_handshake()
    except ssl.SSLWantReadError:
        pass
    return outgoing.read()


def stalled_client(run, kind, index):
    """Connections that never finish the handshake; the daemon must close
    each one itself (bytes that are not TLS at once, the others after its
    handshake timeout)."""
    hello = client_hello()
    # The daemon's timeout runs from its accept, which may come late while
    # it is out of descriptors.
    patience = HANDSHAKE_TIMEOUT + scaled(8.0)
    while True:
        # A silent connection ties the client up for the daemon's handshake
        # timeout: start one only while it can end near the run's end.
        if kind != "garbage" and now() + HANDSHAKE_TIMEOUT > run.stop_at + 2.0 and index > 0:
            return
        if kind == "garbage" and run.stopping():
            return
        index += 1
        try:
            sock = socket.create_connection(("127.0.0.1", run.args.port), timeout=scaled(5.0))
        except OSError as error:
            run.problem("stalled: cannot connect: %s" % error)
            time.sleep(0.5)
            continue
        began = now()
        try:
            if kind == "partial":
                sock.sendall(hello[:len(hello) // 2])
            elif kind == "hello":
                sock.sendall(hello)
            elif kind == "garbage":
                sock.sendall(b"GET / HTTP/1.0\r\n\r\n" * 4)
            sock.settimeout(patience)
            while sock.recv(4096):
                pass  # an alert or handshake bytes before the close
            closed_after = now() - began
            run.count("stalled_%s_closed" % kind)
            with run.lock:
                key = "stalled_%s_longest_s" % kind
                run.notes[key] = round(max(run.notes.get(key, 0.0), closed_after), 2)
        except socket.timeout:
            run.problem("stalled %s handshake not closed by the daemon within %.0f s" %
                        (kind, patience))
        except OSError:
            run.count("stalled_%s_closed" % kind)  # reset by the daemon: closed too
        finally:
            sock.close()
        if kind == "garbage":
            time.sleep(0.2)


def burst(run):
    """More connections at once than the daemon has descriptors. Those it
    accepts hold their connection until the release, then each sends a few
    records and says goodbye; the rest wait in the listen queue and get
    their turn as descriptors come free."""
    size = run.args.nofile + 64
    release = threading.Event()
    state = {"connected": 0, "held": 0, "peak_held": 0, "failed": 0}
    lock = threading.Lock()

    def one(index):
        try:
            tls = run.connect(timeout=scaled(HANDSHAKE_TIMEOUT * 2.5))
        except (OSError, ssl.SSLError) as error:
            with lock:
                state["failed"] += 1
            run.count("burst_failed")
            if index == 0:
                run.problem("burst: first connection failed: %s" % error)
            return
        with lock:
            state["connected"] += 1
            state["held"] += 1
            state["peak_held"] = max(state["peak_held"], state["held"])
        stream = run.new_stream("burst", exact=True)
        release.wait(scaled(10.0))
        try:
            run.send(tls, records(stream.id, 0, 3, b"burst"))
            stream.written = 3
        except (OSError, ssl.SSLError) as error:
            stream.exact = False
            run.problem("burst: sending failed: %s" % error)
        with lock:
            state["held"] -= 1
        close_with_goodbye(tls)

    threads = [threading.Thread(target=one, args=(i,), daemon=True) for i in range(size)]
    for thread in threads:
        thread.start()
    # Hold them until the daemon has run out of descriptors (it logs the
    # refused accept); an emulated daemon takes longer to accept as many.
    hold = min(3.0, run.args.duration * 0.15)
    began = now()
    wait_until(began + hold)
    while now() < began + scaled(hold) and not out_of_descriptors(run):
        time.sleep(0.05)
    release.set()
    deadline = now() + scaled(HANDSHAKE_TIMEOUT * 3)
    for thread in threads:
        thread.join(max(0.0, deadline - now()))
    run.notes["burst_size"] = size
    run.notes["burst_connected"] = state["connected"]
    run.notes["burst_peak_held"] = state["peak_held"]
    if any(thread.is_alive() for thread in threads):
        run.problem("burst: connections still hanging after %.0f s" %
                    scaled(HANDSHAKE_TIMEOUT * 3))
    if state["peak_held"] >= size:
        run.problem("burst did not reach the daemon's descriptor limit")


def out_of_descriptors(run):
    """The daemon has logged an accept refused for lack of descriptors."""
    log = read(run.args.log)
    return "comm_accept(): failed rc=23" in log or "comm_accept(): failed rc=24" in log


def bench_client(run):
    """The project's own client in a loop: 2 connections x N records."""
    per_connection = run.args.bench_records
    while now() + 3.0 < run.stop_at:
        command = EMULATOR + [run.args.bench, "-k", "-H", "127.0.0.1", "-p", str(run.args.port), "-j", "2",
                   "-n", str(per_connection), "-b", "40"]
        try:
            done = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                  timeout=scaled(60), check=False)
            status = done.returncode
        except subprocess.TimeoutExpired:
            status = -1
        with run.lock:
            run.bench_runs.append((status, per_connection, 2))
        time.sleep(1.0)


def canary(run):
    """Positions 0 1 2 2 3 5 6, the last one corrupted: the module must
    report one record behind, one skipped, one corrupt."""
    stream = run.new_stream("canary", exact=True)
    positions = [0, 1, 2, 2, 3, 5, 6]
    payload = b"".join(record(stream.id, p, b"canary", corrupt=(i == 6))
                       for i, p in enumerate(positions))
    tls = run.connect()
    run.send(tls, payload)
    stream.written = len(positions)
    close_with_goodbye(tls)
    return stream


def slow_phase_and_signals(run):
    slow = os.path.join(run.args.dir, "slow")
    wait_until(run.at(0.30))
    with open(slow, "w") as file:
        file.write("%d\n" % run.args.slow_us)
    wait_until(run.at(0.40))
    signal_and_wait(run, signal.SIGHUP, "sighup")
    wait_until(run.at(0.45))
    signal_and_wait(run, signal.SIGPIPE, "sigpipe")
    wait_until(run.at(0.50))
    os.unlink(slow)


def signal_and_wait(run, sig, name):
    """Sends sig to the daemon while intake is paused; it must be logged
    within a second (scaled), and the daemon goes on."""
    if run.args.pid <= 0 or not run.args.log:
        return
    line = "Caught signal %d\n" % sig
    before = read(run.args.log).count(line)
    os.kill(run.args.pid, sig)
    sent = now()
    while now() - sent < scaled(3.0):
        if read(run.args.log).count(line) > before:
            break
        time.sleep(0.02)
    latency = now() - sent
    run.notes["%s_logged_after_s" % name] = round(latency, 3)
    if latency > scaled(1.0):
        run.problem("%s during back-pressure logged only after %.2f s" % (name, latency))


def wait_until(moment):
    while now() < moment:
        time.sleep(min(0.1, moment - now()))


def read(path):
    try:
        with open(path, errors="replace") as file:
            return file.read()
    except OSError:
        return ""


def read_report(path):
    totals, streams = {}, {}
    for line in read(path).splitlines():
        if line.startswith("S "):
            _, ident, kind, count, nxt, behind, skipped, corrupt = line.split()
            streams[int(ident)] = {"kind": kind, "count": int(count), "next": int(nxt),
                                   "behind": int(behind), "skipped": int(skipped),
                                   "corrupt": int(corrupt)}
        elif "=" in line:
            name, value = line.split("=", 1)
            totals[name] = int(value)
    return totals, streams


def complete_bench_streams(run, streams):
    """Streams of the report that no client here numbered (the bench runs')
    and that hold a whole run's records."""
    known = {s.id for s in run.streams}
    return sum(1 for ident, got in streams.items()
               if ident not in known and got["kind"] != "soak"
               and got["count"] >= run.args.bench_records)


def all_arrived(run, report, wanted, within):
    """True once every wanted stream has reached its count in the report,
    and so has every connection of a bench run that ended well (its last
    records may still be on the way when it has exited)."""
    bench_ok = sum(c for status, _, c in run.bench_runs if status == 0)
    deadline = now() + within
    while now() < deadline:
        _, streams = read_report(report)
        if (all(streams.get(s.id, {}).get("count", 0) >= s.written for s in wanted) and
                complete_bench_streams(run, streams) >= bench_ok):
            # Let the report catch up with anything arriving late.
            time.sleep(scaled(0.4))
            return True
        time.sleep(0.05)
    return False


def push_through(run):
    """With QUEUEFLUSH the last queue must arrive by itself. Otherwise
    queuesize + 1 records per round are sent until every complete stream has
    reached the module: a round fills the current queue and switches it."""
    report = os.path.join(run.args.dir, "report")
    wanted = [s for s in run.streams if s.exact and s.written > 0]
    run.notes["drain_rounds"] = 0
    if run.args.queueflush > 0:
        within = run.args.queueflush * 3 + scaled(2.0)
        if all_arrived(run, report, wanted, within):
            return read_report(report)
        run.problem("QUEUEFLUSH %g: records still missing after %g s" %
                    (run.args.queueflush, within))
    rounds = 0
    for rounds in range(1, 41):
        stream = run.new_stream("drain", exact=False)
        try:
            tls = run.connect()
            run.send(tls, records(stream.id, 0, run.args.queuesize + 1, b"drain"))
            stream.written = run.args.queuesize + 1
            close_with_goodbye(tls)
        except (OSError, ssl.SSLError) as error:
            run.problem("drain: %s" % error)
        if all_arrived(run, report, wanted, scaled(1.0)):
            run.notes["drain_rounds"] = rounds
            return read_report(report)
    run.notes["drain_rounds"] = rounds
    run.problem("records still missing after %d drain rounds" % rounds)
    return read_report(report)


def verify(run, totals, streams, canary_stream):
    failures = []
    known = {s.id: s for s in run.streams}
    received = 0
    exact_records = 0
    for s in run.streams:
        got = streams.get(s.id)
        if s is canary_stream:
            expect = {"count": 7, "next": 7, "behind": 1, "skipped": 1, "corrupt": 1}
            if got is None or any(got[k] != v for k, v in expect.items()):
                failures.append("canary stream not reported as sent (dup, gap, corrupt): %s" % got)
            continue
        if got is None:
            if s.written > 0 and s.exact:
                failures.append("%s stream %x: %d records written, none arrived" %
                                (s.role, s.id, s.written))
            continue
        received += got["count"]
        label = "%s stream %x" % (s.role, s.id)
        if got["behind"] or got["skipped"] or got["corrupt"] or got["next"] != got["count"]:
            failures.append("%s: %d records, %d duplicate/out of order, %d skipped, %d corrupt" %
                            (label, got["count"], got["behind"], got["skipped"], got["corrupt"]))
        if got["count"] > s.written:
            failures.append("%s: %d records arrived, only %d complete ones written" %
                            (label, got["count"], s.written))
        if s.exact and got["count"] != s.written:
            failures.append("%s: %d records written before the close, %d arrived" %
                            (label, s.written, got["count"]))
        if s.exact:
            exact_records += s.written
    # Streams the clients here did not number: the bench runs'.
    others = {i: g for i, g in streams.items() if i not in known}
    complete_bench = 0
    for ident, got in others.items():
        if got["kind"] == "soak":
            failures.append("stream %x with soak records that no client sent" % ident)
            continue
        received += got["count"]
        if got["behind"] or got["skipped"] or got["next"] != got["count"]:
            failures.append("bench stream %x: %d records, %d duplicate/out of order, %d skipped" %
                            (ident, got["count"], got["behind"], got["skipped"]))
        if got["count"] == run.args.bench_records:
            complete_bench += 1
    bench_ok = sum(c for status, _, c in run.bench_runs if status == 0)
    bench_all = sum(c for _, _, c in run.bench_runs)
    if complete_bench < bench_ok or len(others) > bench_all:
        failures.append("bench: %d complete streams for %d finished connections, %d streams for %d "
                        "connections" % (complete_bench, bench_ok, len(others), bench_all))
    noise = run.notes.get("noise_records", 0)
    if totals.get("unsequenced", 0) != noise:
        failures.append("%d unnumbered records reached the module, %d were sent" %
                        (totals.get("unsequenced", 0), noise))
    if totals.get("total", 0) != received + 7 + noise:
        failures.append("module total %d differs from the streams' sum %d" %
                        (totals.get("total", 0), received + 7 + noise))
    run.notes["bench_runs_ok"] = sum(1 for status, _, _ in run.bench_runs if status == 0)
    run.notes["bench_runs_failed"] = sum(1 for status, _, _ in run.bench_runs if status != 0)
    run.notes["bench_records"] = sum(g["count"] for g in others.values())
    return failures, received, exact_records


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--port", type=int, required=True)
    parser.add_argument("--dir", required=True, help="the module's folder (report, slow)")
    parser.add_argument("--ca", required=True, help="the daemon's certificate")
    parser.add_argument("--duration", type=float, default=60.0)
    parser.add_argument("--queuesize", type=int, required=True)
    parser.add_argument("--queueflush", type=float, default=0.0, help="QUEUEFLUSH seconds")
    parser.add_argument("--nofile", type=int, required=True, help="the daemon's descriptor limit")
    parser.add_argument("--pid", type=int, default=0, help="the daemon, for SIGHUP")
    parser.add_argument("--log", default="", help="the daemon's log")
    parser.add_argument("--bench", default="", help="orvikevt-bench to run in the mix")
    parser.add_argument("--bench-records", type=int, default=20000)
    parser.add_argument("--slow-us", type=int, default=1000,
                        help="microseconds per record while the module is slow")
    parser.add_argument("--rate", type=float, default=1.0, help="scales the steady rates")
    parser.add_argument("--time-scale", type=float, default=1.0,
                        help="factor for every time limit (emulated daemon)")
    parser.add_argument("--emulator", default="",
                        help="words that run orvikevt-bench on the daemon's target")
    args = parser.parse_args()
    global TIME_SCALE, EMULATOR
    TIME_SCALE = max(1.0, args.time_scale)
    EMULATOR = args.emulator.split()

    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    wanted = min(hard, max(soft, args.nofile * 2 + 256))
    resource.setrlimit(resource.RLIMIT_NOFILE, (wanted, hard))
    threading.stack_size(256 * 1024)

    run = Run(args)
    canary_stream = canary(run)
    workers = [
        threading.Thread(target=steady_client, args=(run, 12000 * args.rate, 64, "steady-fast")),
        threading.Thread(target=steady_client, args=(run, 3000 * args.rate, 16, "steady")),
        threading.Thread(target=steady_client, args=(run, 300 * args.rate, 1, "steady-single")),
        threading.Thread(target=midrecord_client, args=(run,)),
        threading.Thread(target=churn_client, args=(run,)),
        threading.Thread(target=noise_client, args=(run,)),
        threading.Thread(target=slow_phase_and_signals, args=(run,)),
    ]
    for i, kind in enumerate(("silent", "partial", "hello", "garbage")):
        workers.append(threading.Thread(target=stalled_client, args=(run, kind, 0)))
    if args.bench:
        workers.append(threading.Thread(target=bench_client, args=(run,)))
    for worker in workers:
        worker.daemon = True
        worker.start()
    wait_until(run.at(0.65))
    burst(run)
    # Every client ends on its own within its timeouts; wait a bounded time.
    deadline = run.stop_at + HANDSHAKE_TIMEOUT + scaled(15.0)
    for worker in workers:
        worker.join(max(0.0, deadline - now()))
    if any(worker.is_alive() for worker in workers):
        run.problem("clients still running %.0f s after the end" % (deadline - run.stop_at))
    clients_seconds = now() - run.start

    totals, streams = push_through(run)
    failures, received, exact_records = verify(run, totals, streams, canary_stream)
    failures = run.problems + failures

    roles = {}
    for s in run.streams:
        entry = roles.setdefault(s.role, [0, 0])
        entry[0] += 1
        entry[1] += s.written
    print("clients ran %.1f s; streams by role (connections, complete records written):" %
          clients_seconds)
    for role in sorted(roles):
        print("  %-16s %6d %10d" % (role, roles[role][0], roles[role][1]))
    print("records received by the module: %d (%.0f/s over the client phase); "
          "complete-stream records checked exactly: %d" %
          (totals.get("total", 0), totals.get("total", 0) / clients_seconds, exact_records))
    print("longest blocked write: %.2f s" % run.longest_write)
    for name in sorted(run.notes):
        print("  %s = %s" % (name, run.notes[name]))
    for failure in failures[:40]:
        print("FAIL: " + failure)
    if len(failures) > 40:
        print("FAIL: ... %d more" % (len(failures) - 40))
    print("SOAK-CLIENTS records=%d streams=%d failures=%d" %
          (totals.get("total", 0), len(streams), len(failures)))
    with open(os.path.join(args.dir, "manifest.json"), "w") as file:
        json.dump([{"id": s.id, "role": s.role, "exact": s.exact, "written": s.written}
                   for s in run.streams], file)
    return 1 if failures else 0


if __name__ == "__main__":
    try:
        sys.exit(main())
    except KeyboardInterrupt:
        sys.exit(1)
