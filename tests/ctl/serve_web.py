#!/usr/bin/python3
"""t483ctl serve's web panel from outside: HTTP and WebSocket clients (the
standard library's, and a small WebSocket client here) and a SCPI client,
against the simulator (T483_SIM) and the server (T483_CTL).

    serve_web.py api | mdns

  api   the JSON API's answers and errors, the state pushed on a WebSocket
        when the front panel changes, SCPI's changes seen by the web, the
        token and the Origin beyond loopback, oversized requests and frames
        cut off without the server keeping them, connections past the bound
        closed at once and silent ones after a while
  mdns  `lxi discover --mdns` finds the decade, with an avahi-daemon of
        the test's own (skipped, exit 77, where none can be started)
Exits 0 when all went as expected, 1 otherwise.
"""
import base64
import json
import os
import re
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time
import urllib.error
import urllib.request

SLACK = int(os.environ.get("T483_TEST_SLACK", "1"))


class Fail(Exception):
    pass


def check(what, got, expected):
    if got != expected:
        raise Fail(f"{what}: got {got!r}, expected {expected!r}")


def wait_for(what, condition, seconds=10):
    end = time.monotonic() + seconds * SLACK
    while time.monotonic() < end:
        value = condition()
        if value:
            return value
        time.sleep(0.02)
    raise Fail(f"waited in vain for {what}")


class Lines:
    """A child's output lines, read as they come."""

    def __init__(self, stream):
        self.lines = []
        threading.Thread(target=self.read, args=(stream,), daemon=True).start()

    def read(self, stream):
        for line in stream:
            self.lines.append(line.decode(errors="replace").rstrip("\n"))

    def wait(self, what, pattern):
        regex = re.compile(pattern)
        return wait_for(what, lambda: next((m for m in map(regex.search, self.lines) if m), None))


class Bench:
    """The simulator (its log read) and the server on it."""

    def __init__(self, *args):
        self.sim = subprocess.Popen([os.environ["T483_SIM"]], stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        self.server = None
        try:
            self.log = Lines(self.sim.stdout)
            device = self.log.wait("the simulator's device", r"^(/dev/\S+)$").group(1)
            self.server = subprocess.Popen([os.environ["T483_CTL"], "--port", device, "serve", "--listen",
                                            "127.0.0.1:0", "--http", "127.0.0.1:0", *args],
                                           stdout=subprocess.PIPE, stderr=subprocess.PIPE)
            self.out, self.err = Lines(self.server.stdout), Lines(self.server.stderr)
            self.scpi = int(self.out.wait("SCPI's port", r"^listening on 127\.0\.0\.1:(\d+)").group(1))
            self.url = self.out.wait("the web panel", r"^web panel on (https?://\S+/)$").group(1)
            self.web = int(re.search(r":(\d+)/$", self.url).group(1))
        except BaseException:
            self.close()
            raise

    def sim_says(self, line):
        self.sim.stdin.write(line.encode() + b"\n")
        self.sim.stdin.flush()

    def close(self):
        for p in (self.server, self.sim):
            if p and p.poll() is None:
                p.terminate()
                p.wait(10)


def request(url, method="GET", body=None, headers=None):
    """Status and JSON (or text) of one request."""
    data = json.dumps(body).encode() if body is not None else None
    r = urllib.request.Request(url, data=data, method=method, headers=headers or {})
    try:
        with urllib.request.urlopen(r, timeout=10 * SLACK) as reply:
            status, text = reply.status, reply.read().decode()
    except urllib.error.HTTPError as e:
        status, text = e.code, e.read().decode()
    try:
        return status, json.loads(text)
    except ValueError:
        return status, text


class WebSocket:
    """A WebSocket client just big enough for the server's text messages
    and its close."""

    def __init__(self, port, path="/ws", origin=None):
        self.s = socket.create_connection(("127.0.0.1", port), timeout=10 * SLACK)
        key = base64.b64encode(os.urandom(16)).decode()
        head = (f"GET {path} HTTP/1.1\r\nHost: 127.0.0.1:{port}\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                f"Sec-WebSocket-Key: {key}\r\nSec-WebSocket-Version: 13\r\n")
        if origin:
            head += f"Origin: {origin}\r\n"
        self.s.sendall((head + "\r\n").encode())
        self.buffer = b""
        while b"\r\n\r\n" not in self.buffer:
            self.buffer += self.recv()
        self.status = int(self.buffer.split(b" ")[1])
        self.buffer = self.buffer.split(b"\r\n\r\n", 1)[1]

    def recv(self):
        data = self.s.recv(65536)
        if not data:
            raise EOFError
        return data

    def need(self, n):
        while len(self.buffer) < n:
            self.buffer += self.recv()

    def frame(self):
        """(opcode, payload) of the next frame."""
        self.need(2)
        opcode, length = self.buffer[0] & 0x0F, self.buffer[1] & 0x7F
        start = 2
        if length == 126:
            self.need(4)
            length, start = struct.unpack(">H", self.buffer[2:4])[0], 4
        elif length == 127:
            self.need(10)
            length, start = struct.unpack(">Q", self.buffer[2:10])[0], 10
        self.need(start + length)
        payload, self.buffer = self.buffer[start:start + length], self.buffer[start + length:]
        return opcode, payload

    def message(self):
        opcode, payload = self.frame()
        if opcode != 1:
            raise Fail(f"a frame of opcode {opcode} ({payload!r}) where a state was expected")
        return json.loads(payload)

    def close_code(self):
        """The close's code, once it comes; None for the connection ended without one."""
        try:
            opcode, payload = self.frame()
        except EOFError:
            return None
        if opcode != 8:
            raise Fail(f"a frame of opcode {opcode} ({payload!r}) where a close was expected")
        return struct.unpack(">H", payload[:2])[0]


def scpi(port, line):
    with socket.create_connection(("127.0.0.1", port), timeout=10 * SLACK) as s:
        s.sendall(line.encode() + b"\n*OPC?\n")
        data = b""
        while not data.endswith(b"1\n"):
            data += s.recv(4096)
        return s.getsockname()[1]


def api(bench):
    url = bench.url
    bench.sim_says("front 4072")
    bench.sim_says("voltage 2500")
    status, state = request(url + "api/state")
    check("state after a quiet spell", (status, state["resistance_mohm"], state["voltage_v"], state["link"]),
          (200, 4072, 2500, "answering"))

    # Set: L0 then R<n> on the line, the new state answered.
    status, state = request(url + "api/resistance", "PUT", {"mohm": 1234})
    check("PUT resistance", (status, state["resistance_mohm"], state["remote"], state["last_change"]["what"]),
          (200, 1234, True, "L0 R1234"))
    sent = [l.split(" ")[0] for l in bench.log.lines if re.match(r"^[LR]\d", l)]
    check("the commands on the line", sent[-2:], ["L0", "R1234"])
    for method, path, body, expected in [("PUT", "api/resistance", {"mohm": 16222}, 422),
                                         ("PUT", "api/remote", {"on": "yes"}, 422),
                                         ("POST", "api/power-off", {"confirm": False}, 422),
                                         ("GET", "api/nothing", None, 404),
                                         ("POST", "api/state", {}, 405)]:
        status, reply = request(url + path, method, body)
        check(f"{method} {path} {body}", (status, isinstance(reply, dict) and "error" in reply), (expected, True))

    # A page: the whole state at once, then each change, a SCPI client's
    # with who sent it.
    ws = WebSocket(bench.web)
    check("the upgrade", ws.status, 101)
    check("the first message", ws.message()["resistance_mohm"], 1234)
    port = scpi(bench.scpi, "SYST:LOC")
    wait_for("the change by SCPI", lambda: ws.message()["last_change"]["by"] == f"scpi 127.0.0.1:{port}")
    bench.sim_says("front 777")
    changed = time.monotonic()
    wait_for("the front panel's change", lambda: ws.message()["resistance_mohm"] == 777)
    took = time.monotonic() - changed
    if took > 0.3 * SLACK + 0.5:
        raise Fail(f"the front panel's change took {took:.3f} s to reach the page")

    # Clients gone before their answer (late replies keep it pending): the
    # server goes on.
    bench.sim_says("fault late 150")
    for mohm in (500, 501, 502):
        with socket.create_connection(("127.0.0.1", bench.web)) as s:
            body = json.dumps({"mohm": mohm}).encode()
            s.sendall(b"PUT /api/resistance HTTP/1.1\r\nHost: x\r\nContent-Length: %d\r\n\r\n" % len(body) + body)
    bench.sim_says("fault none")
    wait_for("the last of them carried out", lambda: request(url + "api/state")[1]["resistance_mohm"] == 502)
    wait_for("R502 pushed", lambda: ws.message()["resistance_mohm"] == 502)

    # Silent: 503 with the reason, and the page told.
    bench.sim_says("fault silent")
    status, reply = request(url + "api/remote", "PUT", {"on": True})
    check("PUT remote to a silent decade", (status, "error" in reply), (503, True))
    wait_for("the page told", lambda: ws.message()["link"] == "not answering")
    bench.sim_says("fault none")
    if not any(re.search(r" web 127\.0\.0\.1: PUT /api/resistance \{\"mohm\": ?1234\}$", l) for l in bench.err.lines):
        raise Fail(f"the operation is not logged: {bench.err.lines}")


def peak_kib(pid, reset=False):
    """The process's peak resident memory (KiB), first set to the present one when reset."""
    if reset:
        with open(f"/proc/{pid}/clear_refs", "w") as f:
            f.write("5")
    with open(f"/proc/{pid}/status") as f:
        return int(re.search(r"^VmHWM:\s+(\d+) kB", f.read(), re.M).group(1))


def bounds(bench):
    """A request past its bound and a page's frame past its own are cut off
    before the server keeps them, and the next client is answered."""
    chunk = 64 * 1024
    upgrade = (b"GET /ws HTTP/1.1\r\nHost: x\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
               b"Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n")
    for what, head, most in [
            ("a 2 MiB body", b"PUT /api/resistance HTTP/1.1\r\nHost: x\r\nContent-Length: 4194304\r\n\r\n", 2 << 20),
            ("an endless header line", b"GET / HTTP/1.1\r\nHost: x\r\nX-Long: ", 64 << 20),
            ("a 2 MiB frame", upgrade + b"\x81\xff" + struct.pack(">Q", 2 << 20) + b"mask", 2 << 20)]:
        before = peak_kib(bench.server.pid, reset=True)
        with socket.create_connection(("127.0.0.1", bench.web), timeout=10 * SLACK) as s:
            try:
                s.sendall(head)
                for _ in range(most // chunk):
                    s.sendall(b"a" * chunk)
                while s.recv(chunk):
                    pass
            except (BrokenPipeError, ConnectionResetError):
                pass
            except socket.timeout:
                raise Fail(f"{what} not cut off")
        grown = peak_kib(bench.server.pid) - before
        if grown > 1024:
            raise Fail(f"{what}: the server's memory grew by {grown} KiB")
        check(f"the state after {what}", request(bench.url + "api/state")[0], 200)


def closed(s, seconds):
    """Whether the server closes the connection within seconds, what it sent read."""
    end = time.monotonic() + seconds * SLACK
    try:
        while time.monotonic() < end:
            s.settimeout(end - time.monotonic())
            if not s.recv(65536):
                return True
    except ConnectionResetError:
        return True
    except socket.timeout:
        pass
    return False


def crowd(bench):
    """Connections past 64 (a page among them) are closed at once; silent
    ones, and one answered, after 10 s; the page stays; then a GET is
    answered."""
    ws = WebSocket(bench.web)
    ws.message()
    opened = time.monotonic()
    crowd = [socket.create_connection(("127.0.0.1", bench.web), timeout=10 * SLACK) for _ in range(70)]
    for i, s in enumerate(crowd[63:], 64):
        if not closed(s, 5):
            raise Fail(f"connection {i} of the web panel's kept")
    crowd[0].sendall(b"GET /api/state HTTP/1.1\r\nHost: x\r\n\r\n")
    check("a kept connection answered", crowd[0].recv(12), b"HTTP/1.1 200")
    if not closed(crowd[1], 20) or time.monotonic() - opened < 9:
        raise Fail(f"a silent connection closed after {time.monotonic() - opened:.1f} s, not 10 s")
    check("an answered one closed, idle", closed(crowd[0], 5), True)
    bench.sim_says("voltage 1000")
    wait_for("the page still pushed to", lambda: ws.message()["voltage_v"] == 1000)
    for s in crowd:
        s.close()
    check("GET after them", request(bench.url + "api/state")[0], 200)


def tokens(bench, token):
    """A token asked for: none or a wrong one gets 401 for the page, the API
    and the WebSocket; a foreign Origin is refused even with it."""
    url = bench.url
    for path in ("", "instrument", "api/state", "layout.json"):
        check(f"GET /{path} without the token", request(url + path)[0], 401)
    check("a wrong token", request(url + "api/state", headers={"Authorization": "Bearer " + "0" * 32})[0], 401)
    check("Bearer", request(url + "api/state", headers={"Authorization": "Bearer " + token})[0], 200)
    check("?token=", request(url + "?token=" + token)[0], 200)
    check("a WebSocket without the token", WebSocket(bench.web).close_code(), 1008)
    own = f"http://127.0.0.1:{bench.web}"
    check("a foreign Origin", WebSocket(bench.web, "/ws?token=" + token, "http://evil.example").close_code(), 1008)
    ws = WebSocket(bench.web, "/ws?token=" + token, own)
    check("the server's own Origin", ws.message()["identification"], 48300)


def tls():
    """--tls-cert and --tls-key: the page and the API over HTTPS."""
    import shutil
    import ssl
    if not shutil.which("openssl"):
        print("no openssl: HTTPS not tried")
        return
    with tempfile.TemporaryDirectory() as folder:
        cert, key = os.path.join(folder, "cert.pem"), os.path.join(folder, "key.pem")
        subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out", cert,
                        "-days", "1", "-subj", "/CN=127.0.0.1"], check=True, capture_output=True)
        bench = Bench("--no-mdns", "--tls-cert", cert, "--tls-key", key)
        try:
            if not bench.url.startswith("https://"):
                raise Fail(f"served on {bench.url}")
            context = ssl.create_default_context(cafile=cert)
            context.check_hostname = False
            with urllib.request.urlopen(bench.url + "api/state", context=context, timeout=10 * SLACK) as reply:
                check("GET /api/state over HTTPS", json.loads(reply.read())["identification"], 48300)
        finally:
            bench.close()


def run_api():
    bench = Bench("--no-mdns")
    try:
        api(bench)
        bounds(bench)
        crowd(bench)
    finally:
        bench.close()
    tls()
    # Without a running Avahi: said once, and serving goes on.
    os.environ["DBUS_SYSTEM_BUS_ADDRESS"] = "unix:path=/nonexistent/t483-bus"
    bench = Bench()
    try:
        check("the state without Avahi", request(bench.url + "api/state")[0], 200)
        check("said once", sum("mDNS" in line for line in bench.err.lines), 1)
    finally:
        bench.close()
        del os.environ["DBUS_SYSTEM_BUS_ADDRESS"]
    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "token")
        bench = Bench("--no-mdns", "--token-file", path)
        try:
            bench.err.wait("the token file said", re.escape(path))
            check("the token file's mode", oct(os.stat(path).st_mode & 0o777), oct(0o600))
            tokens(bench, open(path).read().strip())
        finally:
            bench.close()


def main():
    mode = sys.argv[1] if len(sys.argv) > 1 else "api"
    try:
        if mode == "api":
            run_api()
        else:
            from serve_mdns import run_mdns
            return run_mdns(Bench)
    except (Fail, EOFError, OSError) as e:
        print(f"FAIL: {e}")
        return 1
    print("PASS")
    return 0


if __name__ == "__main__":
    sys.exit(main())
