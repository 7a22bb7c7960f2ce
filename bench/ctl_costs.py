#!/usr/bin/env python3
"""What t483ctl costs, each figure beside its yardstick measured in the same run.

  bench/ctl_costs.py BUILD_DIR [COUNT]

- RESistance? through PyVISA (pyvisa-py, raw socket) to `t483ctl serve`,
  the simulator paced at 1200 baud: beside the wire time of "K" and a
  4-digit reply (7 bytes, 58.3 ms);
- unpaced: RESistance? over a plain socket beside a "K" round trip through
  the link alone (t483-bench-k): the difference is the server's own cost;
- unpaced through PyVISA: a write ("RES 100 MOHM") then a query ("RES?"),
  as drivers do, beside the query alone: the difference is what TCP's
  delayed ACK and Nagle's algorithm would add (goal: under 2 ms);
- `t483ctl get` as a whole process beside the panel's start-up to its
  panel shown (T483_SCRIPT stamp) and `t483ctl --version`;
- the server's resident memory every 1,000 queries up to 10,000.
Medians in ms.
"""
import os
import re
import socket
import statistics
import subprocess
import sys
import tempfile
import time

WIRE_K_MS = 7 * 10 / 1200 * 1000  # 7 bytes of 10 bits at 1200 baud


def start_sim(build, *options):
    sim = subprocess.Popen([f"{build}/sim/t483-sim", "--quiet", *options],
                           stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    return sim, sim.stdout.readline().strip()


def start_server(build, device):
    server = subprocess.Popen([f"{build}/ctl/t483ctl", "--port", device, "serve",
                               "--listen", "127.0.0.1:0", "--no-http", "--no-mdns"], stdout=subprocess.PIPE, text=True)
    line = server.stdout.readline()
    match = re.search(r":(\d+)\b", line)
    if not match:
        server.kill()
        sys.exit(f"t483ctl serve did not start: {line!r}")
    return server, int(match.group(1))


def stop(*processes):
    for p in processes:
        p.kill()
        p.wait()


def timed(fn, count):
    times = []
    for _ in range(count):
        t = time.perf_counter()
        fn()
        times.append((time.perf_counter() - t) * 1000)
    return times


def row(name, times, yardstick=None, note=""):
    median = statistics.median(times)
    ys = f"{yardstick:9.2f}" if yardstick is not None else f"{'':>9}"
    print(f"{name:<34} {len(times):6d} {median:9.2f} {min(times):9.2f} {max(times):9.2f} {ys}  {note}")
    return median


class Client:
    def __init__(self, port):
        self.sock = socket.create_connection(("127.0.0.1", port))
        self.buffer = b""

    def query(self, text):
        self.sock.sendall(text.encode() + b"\n")
        while b"\n" not in self.buffer:
            chunk = self.sock.recv(4096)
            if not chunk:
                raise RuntimeError("server closed the connection")
            self.buffer += chunk
        line, self.buffer = self.buffer.split(b"\n", 1)
        return line.decode()


def rss_kb(pid):
    with open(f"/proc/{pid}/status") as f:
        return int(re.search(r"VmRSS:\s+(\d+)", f.read()).group(1))


def main():
    build = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else "build")
    count = int(sys.argv[2]) if len(sys.argv) > 2 else 100
    env = dict(os.environ, XDG_CONFIG_HOME=tempfile.mkdtemp())
    os.environ.update(env)
    print(f"{'figure':<34} {'count':>6} {'median_ms':>9} {'min_ms':>9} {'max_ms':>9} {'beside_ms':>9}")

    # Paced: PyVISA, as a lab's script would ask.
    import pyvisa
    sim, device = start_sim(build, "--pace", "--front", "4072")
    server, port = start_server(build, device)
    rm = pyvisa.ResourceManager("@py")
    inst = rm.open_resource(f"TCPIP::127.0.0.1::{port}::SOCKET", read_termination="\n",
                            write_termination="\n", timeout=5000)
    inst.query("RES?")
    paced = row("RES? via PyVISA, 1200 baud", timed(lambda: inst.query("RES?"), max(20, count // 5)),
                WIRE_K_MS, "beside: K on the wire")
    print(f"{'':<34} goal {1.1 * WIRE_K_MS + 2:.1f} ms (1.1 x wire + 2): "
          f"{'met' if paced <= 1.1 * WIRE_K_MS + 2 else 'MISSED'}")
    inst.close()
    rm.close()
    stop(server, sim)

    # Unpaced: the server's own cost beside the link alone.
    k = subprocess.run([f"{build}/bench/t483-bench-k", f"{build}/sim/t483-sim", str(count)],
                       capture_output=True, text=True).stdout.split()
    link_ms = float(k[2]) if len(k) > 2 else float("nan")
    sim, device = start_sim(build, "--front", "4072")
    server, port = start_server(build, device)
    client = Client(port)
    client.query("RES?")
    socket_ms = row("RES? via socket, unpaced", timed(lambda: client.query("RES?"), count), link_ms,
                    "beside: K through the link alone")
    print(f"{'':<34} server's own cost per query: {socket_ms - link_ms:.2f} ms")

    # Unpaced through PyVISA: a write, then a query.
    rm = pyvisa.ResourceManager("@py")
    inst = rm.open_resource(f"TCPIP::127.0.0.1::{port}::SOCKET", read_termination="\n",
                            write_termination="\n", timeout=5000)
    inst.query("RES?")
    alone = row("RES? via PyVISA, unpaced", timed(lambda: inst.query("RES?"), count), link_ms,
                "beside: K through the link alone")

    def write_then_query():
        inst.write("RES 100 MOHM")
        inst.query("RES?")
    pair = row("RES 100 MOHM, RES? via PyVISA", timed(write_then_query, count), alone,
               "beside: RES? alone")
    print(f"{'':<34} goal 2 ms: {'met' if pair < 2 else 'MISSED'}")
    inst.close()
    rm.close()

    # Memory over 10,000 queries.
    memory = [rss_kb(server.pid)]
    for _ in range(10):
        for _ in range(1000):
            client.query("RES?")
        memory.append(rss_kb(server.pid))
    print(f"server VmRSS (KiB) every 1,000 queries: {' '.join(map(str, memory))}")
    client.sock.close()
    stop(server, sim)

    # Whole processes: t483ctl get beside the panel's start-up.
    sim, device = start_sim(build, "--front", "4072")
    ctl = [f"{build}/ctl/t483ctl", "--port", device]
    row("t483ctl --version", timed(lambda: subprocess.run(ctl[:1] + ["--version"], capture_output=True), 20))
    row("t483ctl get (process)", timed(lambda: subprocess.run(ctl + ["get"], capture_output=True), 20))
    panel_env = dict(env, QT_QPA_PLATFORM="offscreen", T483_SCRIPT="stamp; key Escape")

    def panel():
        p = subprocess.Popen([f"{build}/t483"], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                             env=panel_env, cwd=env["XDG_CONFIG_HOME"])
        p.stdout.readline()
        return p
    panel_times = []
    for _ in range(20):
        t = time.perf_counter()
        p = panel()
        panel_times.append((time.perf_counter() - t) * 1000)
        p.wait()
    row("panel start-up to shown", panel_times)
    stop(sim)


if __name__ == "__main__":
    main()
