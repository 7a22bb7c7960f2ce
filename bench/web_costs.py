#!/usr/bin/env python3
"""What t483ctl serve's web panel costs, each figure beside its yardstick
measured in the same run.

  bench/web_costs.py BUILD_DIR [COUNT] [MEMORY_SECONDS]

- a front-panel change (the simulator's `front`, paced at 1200 baud) to a
  page's WebSocket message, beside the polling period (0.2 s tick plus K
  and M on the wire);
- a page's load on loopback as the page makes it (the page, the layout, the
  instrument, the WebSocket's first state), beside one GET of /api/state;
- the server's resident memory with 20 pages open for MEMORY_SECONDS
  (default 120; the README's figure was taken so, shorter than 10 minutes)
  while the front panel changes every second, sampled every 10 s;
- RES? over a plain socket, paced, with 5 pages open beside none.
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
import urllib.request

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "ctl"))
from serve_web import WebSocket  # noqa: E402

WIRE_MS = 7 * 10 / 1200 * 1000  # a poll's K (or M) and a 4-digit reply on the wire


def bench(build, *sim_options):
    sim = subprocess.Popen([f"{build}/sim/t483-sim", "--quiet", *sim_options],
                           stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    device = sim.stdout.readline().strip()
    server = subprocess.Popen([f"{build}/ctl/t483ctl", "--port", device, "serve", "--listen", "127.0.0.1:0",
                               "--http", "127.0.0.1:0", "--no-mdns"], stdout=subprocess.PIPE, text=True)
    scpi = int(re.search(r":(\d+) ", server.stdout.readline()).group(1))
    web = int(re.search(r":(\d+)/$", server.stdout.readline().strip()).group(1))
    return sim, server, scpi, web


def stop(*processes):
    for p in processes:
        p.kill()
        p.wait()


def row(name, times, yardstick=None, note=""):
    median = statistics.median(times)
    ys = f"{yardstick:9.2f}" if yardstick is not None else f"{'':>9}"
    print(f"{name:<34} {len(times):6d} {median:9.2f} {min(times):9.2f} {max(times):9.2f} {ys}  {note}")
    return median


def get(port, path):
    with urllib.request.urlopen(f"http://127.0.0.1:{port}{path}") as reply:
        return reply.read()


def rss_kb(pid):
    with open(f"/proc/{pid}/status") as f:
        return int(re.search(r"VmRSS:\s+(\d+)", f.read()).group(1))


def res_query(sock):
    sock.sendall(b"RES?\n")
    data = b""
    while not data.endswith(b"\n"):
        data += sock.recv(4096)


def front_to_page(build, count):
    sim, server, scpi, web = bench(build, "--pace", "--front", "100")
    try:
        ws = WebSocket(web)
        ws.message()
        times = []
        for i in range(count):
            value = 1000 + i
            sim.stdin.write(f"front {value}\n")
            sim.stdin.flush()
            t = time.perf_counter()
            while ws.message()["resistance_mohm"] != value:
                pass
            times.append((time.perf_counter() - t) * 1000)
        row("front panel -> page, 1200 baud", times, 200 + 2 * WIRE_MS, "beside: tick + K and M on the wire")
    finally:
        stop(server, sim)


def page_load(build, count):
    sim, server, scpi, web = bench(build)
    try:
        def load():
            get(web, "/")
            get(web, "/layout.json")
            get(web, "/api/instrument")
            WebSocket(web).message()
        state, pages = [], []
        for _ in range(count):
            t = time.perf_counter()
            get(web, "/api/state")
            state.append((time.perf_counter() - t) * 1000)
            t = time.perf_counter()
            load()
            pages.append((time.perf_counter() - t) * 1000)
        row("page load (4 requests), loopback", pages, statistics.median(state), "beside: GET /api/state alone")
    finally:
        stop(server, sim)


def memory(build, seconds):
    sim, server, scpi, web = bench(build)
    try:
        pages = [WebSocket(web) for _ in range(20)]
        for p in pages:
            p.message()
        samples, start, i = [], time.monotonic(), 0
        while time.monotonic() - start < seconds:
            sim.stdin.write(f"front {2000 + i % 50}\n")
            sim.stdin.flush()
            i += 1
            for p in pages:   # each page takes what it was sent
                p.s.setblocking(False)
                try:
                    while p.s.recv(65536):
                        pass
                except BlockingIOError:
                    pass
                p.s.setblocking(True)
            if i % 10 == 1:
                samples.append(rss_kb(server.pid) / 1024)
            time.sleep(1)
        print(f"{'memory, 20 pages, ' + str(seconds) + ' s':<34} {len(samples):6d} "
              f"first {samples[0]:.1f} MiB, last {samples[-1]:.1f} MiB, max {max(samples):.1f} MiB")
    finally:
        stop(server, sim)


def scpi_with_pages(build, count):
    sim, server, scpi, web = bench(build, "--pace", "--front", "4072")
    try:
        sock = socket.create_connection(("127.0.0.1", scpi))
        res_query(sock)

        def timed():
            times = []
            for _ in range(count):
                t = time.perf_counter()
                res_query(sock)
                times.append((time.perf_counter() - t) * 1000)
                time.sleep(0.037)   # queries fall anywhere in the tick
            return times
        alone = row("RES?, 1200 baud, no page", timed(), WIRE_MS, "beside: K on the wire")
        pages = [WebSocket(web) for _ in range(5)]
        for p in pages:
            p.message()
        busy = row("RES?, 1200 baud, 5 pages", timed(), alone, "beside: no page")
        print(f"{'':<34} difference {busy - alone:.1f} ms; goal at most {WIRE_MS + 5:.1f} "
              f"(one poll on the wire + 5): {'met' if busy - alone <= WIRE_MS + 5 else 'MISSED'}")
    finally:
        stop(server, sim)


def main():
    build = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else "build")
    count = int(sys.argv[2]) if len(sys.argv) > 2 else 50
    seconds = int(sys.argv[3]) if len(sys.argv) > 3 else 120
    os.environ["XDG_CONFIG_HOME"] = tempfile.mkdtemp()
    print(f"{'figure':<34} {'count':>6} {'median_ms':>9} {'min_ms':>9} {'max_ms':>9} {'beside_ms':>9}")
    front_to_page(build, max(10, count // 3))
    page_load(build, count)
    scpi_with_pages(build, count)
    memory(build, seconds)


if __name__ == "__main__":
    main()
