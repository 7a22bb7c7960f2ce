"""serve_web.py mdns: `lxi discover --mdns` finds the decade that t483ctl
serve advertises, through an avahi-daemon of the test's own on a D-Bus
system bus of its own (DBUS_SYSTEM_BUS_ADDRESS points every client there).
Skipped (77), saying so, where they cannot be started."""
import os
import shutil
import subprocess
import tempfile
import time

BUS_CONFIG = """<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>system</type>
  <listen>unix:path={socket}</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow user="*"/><allow own="*"/><allow send_type="method_call"/><allow send_destination="*"/>
    <allow receive_type="*"/><allow eavesdrop="true"/>
  </policy>
</busconfig>
"""

AVAHI_CONFIG = """[server]
use-ipv4=yes
use-ipv6=no
allow-interfaces={interfaces}
enable-dbus=yes
[publish]
publish-hinfo=no
publish-workstation=no
"""


def skip(why):
    print(f"SKIP: {why}")
    return 77


def run_mdns(Bench):
    from serve_web import Fail, wait_for
    for tool in ("dbus-daemon", "avahi-daemon", "lxi"):
        if not shutil.which(tool) and not os.path.exists(f"/usr/sbin/{tool}"):
            return skip(f"no {tool}")
    if os.geteuid() != 0:
        return skip("avahi-daemon of the test's own needs root (its pid file is /run/avahi-daemon/pid)")
    if os.path.exists("/run/avahi-daemon/pid"):
        return skip("an avahi-daemon is running already")
    folder = tempfile.mkdtemp(prefix="t483-mdns-")
    children = []
    try:
        socket = os.path.join(folder, "bus")
        with open(os.path.join(folder, "bus.conf"), "w") as f:
            f.write(BUS_CONFIG.format(socket=socket))
        children.append(subprocess.Popen(["dbus-daemon", "--nofork", "--config-file", os.path.join(folder, "bus.conf")]))
        wait_for("the bus", lambda: os.path.exists(socket))
        os.environ["DBUS_SYSTEM_BUS_ADDRESS"] = "unix:path=" + socket
        interfaces = [i for i in os.listdir("/sys/class/net") if i != "lo" and
                      open(f"/sys/class/net/{i}/operstate").read().strip() == "up"]
        if not interfaces:
            return skip("no network interface up for mDNS")
        with open(os.path.join(folder, "avahi.conf"), "w") as f:
            f.write(AVAHI_CONFIG.format(interfaces=",".join(interfaces)))
        avahi = subprocess.Popen(["/usr/sbin/avahi-daemon", "--no-drop-root", "--no-chroot", "--no-rlimits",
                                  "-f", os.path.join(folder, "avahi.conf")],
                                 stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        children.append(avahi)
        try:
            wait_for("avahi-daemon", lambda: avahi.poll() is not None or
                     subprocess.run(["avahi-browse", "-at", "-p"], capture_output=True, timeout=10).returncode == 0)
        except Fail:
            return skip("avahi-daemon did not come up")
        if avahi.poll() is not None:
            return skip("avahi-daemon did not start: " + avahi.stderr.read().decode(errors="replace").strip())
        bench = Bench()
        try:
            found = wait_for("the decade in lxi discover --mdns", lambda: (lambda out: "T-483" in out and out)(
                subprocess.run(["lxi", "discover", "--mdns"], capture_output=True, text=True, timeout=30).stdout), 30)
            print(found)
            for service in ("_scpi-raw._tcp", "_http._tcp", "_lxi._tcp"):
                out = subprocess.run(["avahi-browse", "-tpr", service], capture_output=True, text=True, timeout=30).stdout
                if "T-483" not in out or "identification=48300" not in out:
                    raise Fail(f"{service} not advertised with its TXT record: {out!r}")
        finally:
            bench.close()
        if any("mDNS" in line for line in bench.err.lines):
            raise Fail(f"serve complained: {bench.err.lines}")
        return 0
    finally:
        for child in reversed(children):
            child.terminate()
            child.wait(10)
        shutil.rmtree(folder, ignore_errors=True)
