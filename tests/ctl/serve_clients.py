#!/usr/bin/python3
"""t483ctl serve with clients written elsewhere: PyVISA (the pyvisa-py
backend) and lxi-tools, as Debian 12 packages them.

    serve_clients.py session | concurrent | lxi

Starts the simulator (T483_SIM) and the server on it (T483_CTL, on a port
the system picks), runs the clients, stops both. Exits 0 when every reply
was the one expected, 1 otherwise.

  session     one PyVISA client: identify, set, read back, voltage, errors,
              a write then a query without waiting for a delayed ACK
  concurrent  four PyVISA clients at once, 200 queries each, unpaced; every
              reply must be the one its own query asks for
  lxi         `lxi scpi --raw` reads the identification and a resistance
"""
import os
import re
import signal
import statistics
import subprocess
import sys
import threading
import time

IDN = re.compile(r"^t483,T-483,48300,\d+(\.\d+)*$")


class Fail(Exception):
    pass


def check(what, got, expected):
    ok = expected.match(got) if isinstance(expected, re.Pattern) else got == expected
    if not ok:
        raise Fail(f"{what}: got {got!r}, expected {expected.pattern if isinstance(expected, re.Pattern) else expected!r}")


def first_line(process, what, timeout=30):
    """The first line a child prints, within the time limit."""
    line = []

    def read():
        line.append(process.stdout.readline())

    reader = threading.Thread(target=read, daemon=True)
    reader.start()
    reader.join(timeout)
    if not line or not line[0]:
        raise Fail(f"{what} printed nothing")
    return line[0].decode().strip()


class Bench:
    """The simulator and the server on it."""

    def __enter__(self):
        self.sim = self.server = None
        try:
            return self.start()
        except BaseException:
            for p in (self.server, self.sim):
                if p:
                    p.kill()
                    p.wait()
            raise

    def start(self):
        self.sim = subprocess.Popen([os.environ["T483_SIM"], "--quiet"], stdin=subprocess.PIPE,
                                    stdout=subprocess.PIPE)
        device = first_line(self.sim, "t483-sim")
        self.server = subprocess.Popen([os.environ["T483_CTL"], "--port", device, "serve",
                                        "--listen", "127.0.0.1:0", "--no-http", "--no-mdns"], stdout=subprocess.PIPE)
        line = first_line(self.server, "t483ctl serve")
        m = re.match(r"^listening on 127\.0\.0\.1:(\d+) \(COM1 (\S+)\)$", line)
        if not m:
            raise Fail(f"t483ctl serve said {line!r}")
        self.port = int(m.group(1))
        return self

    def __exit__(self, *exc):
        self.server.send_signal(signal.SIGTERM)
        try:
            status = self.server.wait(30)
        except subprocess.TimeoutExpired:
            self.server.kill()
            status = "none (killed)"
        self.sim.kill()
        self.sim.wait()
        if exc[0] is None and status != 0:
            raise Fail(f"t483ctl serve ended with {status} on SIGTERM")
        return False


def open_visa(port):
    import pyvisa
    rm = pyvisa.ResourceManager("@py")
    inst = rm.open_resource(f"TCPIP::127.0.0.1::{port}::SOCKET",
                            read_termination="\n", write_termination="\n", timeout=10000)
    return rm, inst


def session(bench):
    rm, inst = open_visa(bench.port)
    check("*IDN?", inst.query("*IDN?"), IDN)
    inst.write("SOUR:RES 4.072E9")
    check("RES?", inst.query("RES?"), "4.072000E+09")
    check("RES? as a number", float(inst.query("SOURce:RESistance?")), 4.072e9)
    inst.write("RES 15 GOHM")
    check("RES?;VOLT?", inst.query_ascii_values("RES?;VOLT?", separator=";"), [1.5e10, 1000.0])
    check("VOLT?", inst.query("VOLT?"), "1000")
    inst.write("RES 20000 MOHM")
    inst.write("NO:SUCH:COMMAND")
    check("SYST:ERR:COUN?", inst.query("SYST:ERR:COUN?"), "2")
    check("SYST:ERR?", inst.query("SYST:ERR?"), '-222,"Data out of range"')
    check("SYST:ERR:NEXT?", inst.query("SYST:ERR:NEXT?"), '-113,"Undefined header"')
    check("SYST:ERR? when empty", inst.query("SYST:ERR?"), '0,"No error"')
    check("RES? unchanged", inst.query("RES?"), "1.500000E+10")
    inst.write("SYST:LOC")
    check("*OPC?", inst.query("*OPC?"), "1")
    # A write, then a query: the server acknowledges the write at once, so
    # the client's query is not held back (by Nagle's algorithm) for the
    # 40 ms of a delayed ACK. Loosely: a loaded machine adds, never halves.
    times = []
    for _ in range(21):
        t = time.perf_counter()
        inst.write("RES 100 MOHM")
        inst.query("RES?")
        times.append(time.perf_counter() - t)
    median = statistics.median(times) * 1000
    if median > 20:
        raise Fail(f"write then query: median {median:.1f} ms, expected under 20 ms")
    inst.close()
    rm.close()


def concurrent(bench, clients=4, queries=200):
    """Each client's queries are of kinds whose replies tell them apart: its
    own errors counted (a different number for each client), its own error
    read back, the identification, the decade's resistance and voltage."""
    failures = []
    answered = [0] * clients
    times = []
    start = threading.Barrier(clients)

    def run(c):
        try:
            _, inst = open_visa(bench.port)
            start.wait()
            for i in range(queries):
                kind = (i + c) % 4
                t = time.perf_counter()
                if kind == 0:
                    check(f"client {c} query {i}", inst.query("*IDN?"), IDN)
                elif kind == 1:
                    # Lines of no reply and one with, in one write: a write
                    # after a write without a reply between them would wait
                    # for the server's delayed ACK (Nagle, ~40 ms).
                    lines = [f"BOGUS{c}"] * (c + 1) + ["SYST:ERR:COUN?;*CLS"]
                    check(f"client {c} query {i}", inst.query("\n".join(lines)), str(c + 1))
                elif kind == 2:
                    check(f"client {c} query {i}", inst.query("RES?;VOLT?"), "1.000000E+08;1000")
                else:
                    check(f"client {c} query {i}", inst.query(f"RES {20000 + c} MOHM;SYST:ERR?;ERR?"),
                          '-222,"Data out of range";0,"No error"')
                times.append(time.perf_counter() - t)
                answered[c] += 1
            # Not rm.close(): the resource manager is one for all threads.
            inst.close()
        except Exception as e:   # any failure of this client, reported
            failures.append(f"client {c}: {e!r}")

    threads = [threading.Thread(target=run, args=(c,)) for c in range(clients)]
    began = time.perf_counter()
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    took = time.perf_counter() - began
    print(f"{clients} clients x {queries} queries in {took:.2f} s; "
          f"median {statistics.median(times) * 1000:.2f} ms a query" if times else "no replies")
    if failures:
        raise Fail("; ".join(failures))
    check("replies", answered, [queries] * clients)


def lxi(bench):
    def ask(command):
        r = subprocess.run(["lxi", "scpi", "--address", "127.0.0.1", "--port", str(bench.port),
                            "--raw", command], capture_output=True, timeout=60)
        if r.returncode != 0:
            raise Fail(f"lxi {command}: exit {r.returncode}: {r.stderr.decode(errors='replace')}")
        return r.stdout.decode().strip()

    check("lxi *IDN?", ask("*IDN?"), IDN)
    check("lxi RES?", ask("RES?"), "1.000000E+08")


def main():
    modes = {"session": session, "concurrent": concurrent, "lxi": lxi}
    if len(sys.argv) != 2 or sys.argv[1] not in modes:
        print(__doc__, file=sys.stderr)
        return 2
    try:
        with Bench() as bench:
            modes[sys.argv[1]](bench)
    except Fail as e:
        print(f"FAIL: {e}", file=sys.stderr)
        return 1
    print("PASS")
    return 0


if __name__ == "__main__":
    sys.exit(main())
