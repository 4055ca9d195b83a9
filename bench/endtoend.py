#!/usr/bin/env python3
"""End-to-end measurements of the bridge: varnockd with varnock-plcsim behind
it, against a plain pty-to-TCP relay (socat) to an echo server (socat) as the
floor. Prints a table and writes the figures as JSON.

usage: endtoend.py BIN_DIR [--out FILE] [--micro FILE] [--requests N]
                   [--idle-seconds S] [--quick]
"""
import argparse
import json
import os
import re
import select
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import time
import tty

CLOCK_TICKS = os.sysconf("SC_CLK_TCK")
MIB = 1 << 20

# Settings of the runs: the shipped defaults, except that replies are read in
# pieces of up to 4096 bytes instead of 20.
SETTINGS = {
    "BaudRate": 9600,
    "WaitAfterACCommand_ACK": 50,
    "PLCDataMonitorTime": 50,
    "PLCDataMonitorTime_USB": 50,
    "PLCDataBytesToReadInMonitorTime": 4096,
    "MaxTimeBetweenLDRData": 10,
    "BlockTransferSizeInBytes": 1024,
}
MONITOR_CYCLE_MS = 20
# The simulator echoes a request of several blocks once none came for this
# long; more than the end-of-request pause, after which the last block goes.
GATHER_MS = SETTINGS["MaxTimeBetweenLDRData"] * 10 + 100
REQUEST_BYTES = 32
RELAY_RUNS = 20


def cpu_seconds(pid):
    """User plus system time of a process, from /proc/<pid>/stat."""
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / CLOCK_TICKS


def percentile(values, p):
    ordered = sorted(values)
    k = min(len(ordered) - 1, max(0, int(round(p / 100 * (len(ordered) - 1)))))
    return ordered[k]


def wait_for(predicate, timeout, what):
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        if predicate():
            return
        time.sleep(0.02)
    raise RuntimeError(f"timed out waiting for {what}")


class Host:
    """The programming software's end of a virtual port (or of the relay's pty)."""

    def __init__(self, path):
        wait_for(lambda: os.path.exists(path), 10, path)
        self.fd = os.open(path, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
        tty.setraw(self.fd)
        self.drain()

    def close(self):
        os.close(self.fd)

    def drain(self):
        while select.select([self.fd], [], [], 0.05)[0]:
            try:
                if not os.read(self.fd, 65536):
                    break
            except BlockingIOError:
                break

    def exchange(self, data, timeout=30.0):
        """Writes data and reads as many bytes back; the seconds it took."""
        start = time.monotonic()
        end = start + timeout
        sent, got = 0, bytearray()
        while len(got) < len(data):
            left = end - time.monotonic()
            if left <= 0:
                raise RuntimeError(f"only {len(got)} of {len(data)} bytes came back")
            want_write = [self.fd] if sent < len(data) else []
            readable, writable, _ = select.select([self.fd], want_write, [], left)
            if writable:
                try:
                    sent += os.write(self.fd, data[sent:sent + 65536])
                except BlockingIOError:
                    pass
            if readable:
                try:
                    got += os.read(self.fd, 65536)
                except BlockingIOError:
                    pass
        elapsed = time.monotonic() - start
        if bytes(got) != data:
            raise RuntimeError("the echo differs from the request")
        return elapsed


class Processes:
    def __init__(self):
        self.all = []

    def start(self, args, **kw):
        p = subprocess.Popen(args, stdin=subprocess.DEVNULL, **kw)
        self.all.append(p)
        return p

    def stop(self, p, timeout=15):
        if p.poll() is None:
            p.send_signal(signal.SIGTERM)
            try:
                p.wait(timeout)
            except subprocess.TimeoutExpired:
                p.kill()
                p.wait()

    def stop_all(self):
        for p in reversed(self.all):
            self.stop(p)
        self.all = []


class Bridge:
    """varnockd in a folder of its own, with one channel per row."""

    def __init__(self, procs, bin_dir, work, name, rows, settings=SETTINGS):
        self.dir = os.path.join(work, name)
        self.devices = os.path.join(work, "devices")
        os.makedirs(self.dir)
        os.makedirs(self.devices, mode=0o700, exist_ok=True)
        for name in ("varnockd", "libvarnock_res_en.so"):
            shutil.copy2(os.path.join(bin_dir, name), self.dir)
        custom = "".join(f"{k}={v}\n" for k, v in settings.items())
        with open(os.path.join(self.dir, "Varnock.ini"), "w") as f:
            f.write("[Application]\nResourceDLLName=libvarnock_res_en.so\n"
                    "[VirtualCOMSettings]\nRealPort=COM,USB,Ethernet\nMaxHostDriverNo=4\n"
                    "[CustomSetting]\n" + custom +
                    "[CommunicationSettings]\nBaudRate=9600\nByteSize=8\nParity=2\nStopBits=0\n")
        matrix = "".join(f"{i + 1}={row}\n" for i, row in enumerate(rows))
        with open(os.path.join(self.dir, "Varnock_setting.ini"), "w") as f:
            f.write("[Application]\nPortAssignMode=Manual\n[VirtualCOMAllocationMatrix]\n"
                    f"items={len(rows)}\n" + matrix)
        self.procs = procs
        self.rows = rows
        self.log = open(os.path.join(self.dir, "varnockd.log"), "w+")
        env = dict(os.environ, VARNOCK_DEVICE_DIR=self.devices)
        self.process = procs.start([os.path.join(self.dir, "varnockd")], env=env,
                                   stdout=self.log, stderr=subprocess.STDOUT)
        wait_for(lambda: self.connected() == len(rows) or self.process.poll() is not None,
                 30 + len(rows), "the channels to connect")
        if self.connected() != len(rows):
            raise RuntimeError("varnockd did not connect every channel:\n" + self.output())

    def output(self):
        self.log.flush()
        with open(self.log.name) as f:
            return f.read()

    def connected(self):
        return len(re.findall(r"^channel \d+: \S+ connected$", self.output(), re.M))

    def port(self, name):
        return os.path.join(self.devices, name)

    def stop(self):
        self.procs.stop(self.process)


def plcsim(procs, bin_dir, *args):
    return procs.start([os.path.join(bin_dir, "varnock-plcsim"), *args],
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def wait_tcp(address, port):
    import socket
    def up():
        try:
            socket.create_connection((address, port), 0.2).close()
            return True
        except OSError:
            return False
    wait_for(up, 10, f"{address}:{port}")


def round_trips(host, count):
    times = []
    payload = bytes((0x10 if i % 3 == 0 else i) & 0xFF for i in range(REQUEST_BYTES))
    host.exchange(payload)  # the first one opens the reply phase
    for _ in range(count):
        times.append(host.exchange(payload) * 1000)
    return times


def throughput(host, pid):
    data = os.urandom(MIB)
    cpu0 = cpu_seconds(pid)
    elapsed = host.exchange(data, timeout=300)
    cpu = cpu_seconds(pid) - cpu0
    return elapsed, cpu


def summarise_rtt(times, waits_ms, read_waits_ms=0):
    """read_waits_ms: the reply phase's timed reads that run their full time-out
    on every request (the read that ends the previous reply phase and the one
    that takes the tail of the reply)."""
    med, p99 = statistics.median(times), percentile(times, 99)
    return {"median_ms": round(med, 2), "p99_ms": round(p99, 2), "mandated_waits_ms": waits_ms,
            "overhead_median_ms": round(med - waits_ms, 2), "overhead_p99_ms": round(p99 - waits_ms, 2),
            "timed_read_waits_ms": read_waits_ms,
            "beyond_all_waits_median_ms": round(med - waits_ms - read_waits_ms, 2),
            "beyond_all_waits_p99_ms": round(p99 - waits_ms - read_waits_ms, 2),
            "samples": len(times)}


def timed_read_waits(kind):
    # An Ethernet read gives up 10 ms before its time-out; a serial read runs
    # it out.
    t = SETTINGS["PLCDataMonitorTime"]
    return 2 * (t - 10 if kind == "ethernet" else t)


def start_plc(procs, bin_dir, kind, devices, *extra):
    """A simulated PLC for a channel of this kind; the allocation row for it."""
    if kind == "ethernet":
        sim = plcsim(procs, bin_dir, "--tcp", "127.0.1.200", *extra)
        wait_tcp("127.0.1.200", 2538)
        return sim, "COM50,Ethernet,127.0.1.200,,No"
    link = os.path.join(devices, "COM51")
    sim = plcsim(procs, bin_dir, "--pty", link, *extra)
    wait_for(lambda: os.path.islink(link), 10, "the simulator's pty")
    return sim, "COM50,COM51,,,No"


def measure_links(procs, bin_dir, requests, results):
    waits = SETTINGS["MaxTimeBetweenLDRData"] * 10 + MONITOR_CYCLE_MS
    for kind in ("ethernet", "serial"):
        with tempfile.TemporaryDirectory(prefix="varnock-bench-") as work:
            devices = os.path.join(work, "devices")
            os.makedirs(devices, mode=0o700)
            sim, row = start_plc(procs, bin_dir, kind, devices)
            bridge = Bridge(procs, bin_dir, work, "round-trip", [row])
            host = Host(bridge.port("COM50"))
            results["round_trip"][kind] = summarise_rtt(round_trips(host, requests), waits, timed_read_waits(kind))
            host.close()
            bridge.stop()
            procs.stop(sim)

            # 1 MiB: the simulator answers once the whole request is in.
            sim, row = start_plc(procs, bin_dir, kind, devices, "--gather", str(GATHER_MS))
            bridge = Bridge(procs, bin_dir, work, "throughput", [row])
            host = Host(bridge.port("COM50"))
            elapsed, cpu = throughput(host, bridge.process.pid)
            net = elapsed - (SETTINGS["MaxTimeBetweenLDRData"] * 10 + MONITOR_CYCLE_MS + GATHER_MS) / 1000
            results["throughput"][kind] = {
                "seconds": round(elapsed, 3), "bytes_per_second": round(MIB / elapsed),
                "net_bytes_per_second": round(MIB / net), "cpu_seconds_per_mib": round(cpu, 3)}
            host.close()
            bridge.stop()
            procs.stop(sim)


def measure_relay(procs, requests, results):
    with tempfile.TemporaryDirectory(prefix="varnock-relay-") as work:
        echo = procs.start(["socat", "TCP-LISTEN:2539,bind=127.0.1.201,reuseaddr,fork", "PIPE"],
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        wait_tcp("127.0.1.201", 2539)
        link = os.path.join(work, "relay")
        relay = procs.start(["socat", f"PTY,link={link},raw,echo=0", "TCP:127.0.1.201:2539"],
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        host = Host(link)
        times = round_trips(host, requests)
        results["round_trip"]["relay"] = summarise_rtt(times, 0)
        # The relay uses too little CPU for one MiB to show in clock ticks.
        runs = [throughput(host, relay.pid) for _ in range(RELAY_RUNS)]
        elapsed = statistics.median(r[0] for r in runs)
        cpu = sum(r[1] for r in runs) / RELAY_RUNS
        results["throughput"]["relay"] = {
            "seconds": round(elapsed, 3), "bytes_per_second": round(MIB / elapsed),
            "net_bytes_per_second": round(MIB / elapsed), "cpu_seconds_per_mib": round(cpu, 3)}
        host.close()
        procs.stop(relay)
        procs.stop(echo)


def measure_idle(procs, bin_dir, seconds, results):
    for count in (1, 8, 32):
        with tempfile.TemporaryDirectory(prefix="varnock-idle-") as work:
            sims = []
            for i in range(count):
                address = f"127.0.2.{i + 1}"
                sims.append(plcsim(procs, bin_dir, "--tcp", address))
            for i in range(count):
                wait_tcp(f"127.0.2.{i + 1}", 2538)
            rows = [f"COM{100 + i},Ethernet,127.0.2.{i + 1},,No" for i in range(count)]
            bridge = Bridge(procs, bin_dir, work, "idle", rows)
            time.sleep(1)
            cpu0, t0 = cpu_seconds(bridge.process.pid), time.monotonic()
            time.sleep(seconds)
            cpu, wall = cpu_seconds(bridge.process.pid) - cpu0, time.monotonic() - t0
            percent = 100 * cpu / wall
            results["idle"][str(count)] = {"channels": count, "seconds": round(wall, 1),
                                           "cpu_percent": round(percent, 3),
                                           "cpu_percent_per_channel": round(percent / count, 4)}
            bridge.stop()
            for s in sims:
                procs.stop(s)


def measure_host_calls(procs, bin_dir, program, results):
    """ns per terminal call of a host program, bare and through varnock-host."""
    with tempfile.TemporaryDirectory(prefix="varnock-bench-") as work:
        devices = os.path.join(work, "devices")
        os.makedirs(devices, mode=0o700)
        sim, row = start_plc(procs, bin_dir, "ethernet", devices)
        bridge = Bridge(procs, bin_dir, work, "host-calls", [row])
        env = dict(os.environ, VARNOCK_DEVICE_DIR=devices)
        for name, prefix in (("bare", []), ("launcher", [os.path.join(bin_dir, "varnock-host")])):
            out = subprocess.run(prefix + [program, bridge.port("COM50")], env=env, check=True,
                                 capture_output=True, text=True).stdout
            results["host_calls"][name] = json.loads(out)
        bridge.stop()
        procs.stop(sim)


def table(results):
    rt, tp, idle = results["round_trip"], results["throughput"], results["idle"]
    lines = []
    waits = SETTINGS["MaxTimeBetweenLDRData"] * 10 + MONITOR_CYCLE_MS
    lines.append(f"Round trip of a {REQUEST_BYTES}-byte request (ms); mandated waits {waits} ms "
                 f"(MaxTimeBetweenLDRData x 10 + monitor cycle)")
    lines.append("  over: minus those waits; reads: the reply phase's timed reads (2 per request);")
    lines.append("  rest: minus both")
    lines.append(f"  {'path':10} {'median':>8} {'p99':>8} {'over med':>9} {'over p99':>9} {'reads':>6} "
                 f"{'rest med':>9} {'rest p99':>9}   target")
    for kind in ("ethernet", "serial", "relay"):
        if kind in rt:
            r = rt[kind]
            target = "-" if kind == "relay" else (
                "met" if r["overhead_median_ms"] <= 2 and r["overhead_p99_ms"] <= 10 else "missed")
            lines.append(f"  {kind:10} {r['median_ms']:8.1f} {r['p99_ms']:8.1f} "
                         f"{r['overhead_median_ms']:9.1f} {r['overhead_p99_ms']:9.1f} "
                         f"{r['timed_read_waits_ms']:6d} {r['beyond_all_waits_median_ms']:9.1f} "
                         f"{r['beyond_all_waits_p99_ms']:9.1f}   {target}")
    lines.append("1 MiB request and its echo")
    lines.append(f"  {'path':10} {'seconds':>8} {'MiB/s':>8} {'net MiB/s':>10} {'CPU s/MiB':>10} "
                 f"{'x relay':>8}   target")
    relay_cpu = tp.get("relay", {}).get("cpu_seconds_per_mib")
    for kind in ("ethernet", "serial", "relay"):
        if kind in tp:
            t = tp[kind]
            ratio = t["cpu_seconds_per_mib"] / relay_cpu if relay_cpu else float("nan")
            target = "-" if kind == "relay" else ("met" if ratio <= 3 else "missed")
            lines.append(f"  {kind:10} {t['seconds']:8.2f} {t['bytes_per_second'] / MIB:8.2f} "
                         f"{t['net_bytes_per_second'] / MIB:10.2f} {t['cpu_seconds_per_mib']:10.3f} "
                         f"{ratio:8.1f}   {target}")
    lines.append("Idle CPU of connected Ethernet channels (% of one core)")
    lines.append(f"  {'channels':>8} {'total':>8} {'per chan':>9}   target")
    for key in ("1", "8", "32"):
        if key in idle:
            i = idle[key]
            target = "met" if i["cpu_percent_per_channel"] < 0.2 else "missed"
            lines.append(f"  {i['channels']:8d} {i['cpu_percent']:8.3f} {i['cpu_percent_per_channel']:9.4f}   {target}")
    calls = results.get("host_calls", {})
    if calls:
        lines.append("Terminal calls of a host program (ns per call), bare and through varnock-host")
        for key in calls.get("bare", {}):
            lines.append(f"  {key[:-3]:22} {calls['bare'][key]:8.0f} {calls.get('launcher', {}).get(key, 0):8.0f}")
    return "\n".join(lines)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("bin_dir")
    ap.add_argument("--out", default="bench/results.json")
    ap.add_argument("--micro", help="Google Benchmark JSON output to include")
    ap.add_argument("--requests", type=int, default=200)
    ap.add_argument("--idle-seconds", type=float, default=30)
    ap.add_argument("--host-bench", help="varnock_host_bench, for the cost of the terminal calls")
    args = ap.parse_args()

    results = {"settings": SETTINGS, "round_trip": {}, "throughput": {}, "idle": {}, "host_calls": {},
               "load_average_at_start": os.getloadavg()}
    procs = Processes()
    try:
        measure_relay(procs, args.requests, results)
        measure_links(procs, args.bin_dir, args.requests, results)
        measure_idle(procs, args.bin_dir, args.idle_seconds, results)
        if args.host_bench:
            measure_host_calls(procs, args.bin_dir, args.host_bench, results)
    finally:
        procs.stop_all()
    results["load_average_at_end"] = os.getloadavg()
    if args.micro and os.path.exists(args.micro):
        with open(args.micro) as f:
            micro = json.load(f)
        results["micro"] = [{"name": b["name"], "ns": round(b["real_time"], 1),
                             "bytes_per_second": round(b.get("bytes_per_second", 0))}
                            for b in micro.get("benchmarks", [])]
    print(table(results))
    os.makedirs(os.path.dirname(os.path.abspath(args.out)), exist_ok=True)
    with open(args.out, "w") as f:
        json.dump(results, f, indent=2)
    print(f"figures written to {args.out}")


if __name__ == "__main__":
    sys.exit(main())
