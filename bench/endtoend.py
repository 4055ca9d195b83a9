#!/usr/bin/env python3
"""End-to-end measurements of the bridge: varnockd with varnock-plcsim behind
it, against a plain pty-to-TCP relay (socat) to an echo server (socat) as the
floor, all in one run. Prints a table and writes the figures as JSON.

usage: endtoend.py BIN_DIR [--out FILE] [--micro FILE] [--requests N]
                   [--idle-seconds S] [--host-bench PROGRAM] [--only PART,...]
PART: relay links line channels idle host scale network (the relay is always measured)
"""
import argparse
import glob
import json
import os
import re
import resource
import select
import shutil
import signal
import socket
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
# The design's waits in a small request's round trip: the end-of-request
# pause and up to one monitor cycle.
WAITS_MS = SETTINGS["MaxTimeBetweenLDRData"] * 10 + MONITOR_CYCLE_MS
REQUEST_BYTES = 32
# CPU time comes in clock ticks of 10 ms: enough runs for some dozens of them.
RELAY_RUNS = 50
THROUGHPUT_RUNS = 10
# The serial line whose rate the bridge must keep up with: the fastest rate
# the line-speed command knows, 8 data bits, even parity, one stop bit.
LINE_RATE = 115200
LINE_BITS = 11
LINE_BYTES = 64 * 1024
CHANNELS = 32
CHANNEL_ROUND_TRIPS = 40
# A bridge that serialises its channels takes seconds a round trip: cut short.
CHANNEL_SECONDS = 30
# The many-channel row: all connected, idle, then SCALE_BUSY of them busy.
SCALE_CHANNELS = 256
SCALE_BUSY = 32
SCALE_IDLE_SECONDS = 20
# Loopback addresses no test uses.
MANY_ADDRESS = "127.0.1.{}"
IDLE_ADDRESS = "127.0.3.{}"
LINK_ADDRESS = "127.0.1.200"
RELAY_ADDRESS = "127.0.1.201"
# A pty port and a network port, each with its PLC, and where the network
# port listens.
NETWORK_PLC_ADDRESSES = ("127.0.1.210", "127.0.1.211")
NETWORK_LISTEN = ("127.0.1.212", 2217)
# What the network port's median may exceed the pty's by.
NETWORK_MEDIAN_MARGIN_MS = 2


def load():
    return round(os.getloadavg()[0], 2)


def cpu_seconds(pid):
    """User plus system time of a process, exited threads included."""
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / CLOCK_TICKS


def thread_cpu_seconds(pid):
    """CPU time of the threads a process has now, to the nanosecond."""
    total = 0
    for stat in glob.glob(f"/proc/{pid}/task/*/schedstat"):
        try:
            with open(stat) as f:
                total += int(f.read().split()[0])
        except OSError:
            pass  # the thread ended meanwhile
    return total / 1e9


def status_field(pid, name):
    with open(f"/proc/{pid}/status") as f:
        return int(re.search(rf"^{name}:\s+(\d+)", f.read(), re.M).group(1))


def peak_rss_mib(pid):
    return status_field(pid, "VmHWM") / 1024


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


class NetworkHost:
    """The programming software's end of a network port, as an RFC 2217 client
    sees it at the socket: BINARY agreed both ways, every other option refused,
    the server's commands taken out of the data, 0xFF doubled on the way out."""
    IAC, DONT, DO, WONT, WILL, SB, SE, BINARY = 255, 254, 253, 252, 251, 250, 240, 0

    def __init__(self, address, port, timeout=10.0):
        end = time.monotonic() + timeout
        while True:
            try:
                self.sock = socket.create_connection((address, port), 1.0)
                break
            except OSError as e:
                if time.monotonic() >= end:
                    raise RuntimeError(f"the network port {address}:{port} does not answer ({e})") from e
                time.sleep(0.1)
        self.sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self.sock.setblocking(False)
        self.raw, self.data, self.answered = bytearray(), bytearray(), set()
        self.read(0.3)  # the server's negotiation
        self.data.clear()

    def close(self):
        self.sock.close()

    def answer(self, verb, option):
        if (verb, option) in self.answered or verb in (self.DONT, self.WONT):
            return
        self.answered.add((verb, option))
        if verb == self.DO:
            reply = self.WILL if option == self.BINARY else self.WONT
        else:
            reply = self.DO if option == self.BINARY else self.DONT
        self.sock.sendall(bytes((self.IAC, reply, option)))

    def parse(self):
        raw, i = self.raw, 0
        while i < len(raw):
            if raw[i] != self.IAC:
                self.data.append(raw[i])
                i += 1
                continue
            if i + 1 >= len(raw):
                break
            command = raw[i + 1]
            if command == self.IAC:
                self.data.append(self.IAC)
                i += 2
            elif command in (self.DO, self.DONT, self.WILL, self.WONT):
                if i + 2 >= len(raw):
                    break
                self.answer(command, raw[i + 2])
                i += 3
            elif command == self.SB:
                end = raw.find(bytes((self.IAC, self.SE)), i + 2)
                if end < 0:
                    break
                i = end + 2
            else:
                i += 2
        del raw[:i]

    def read(self, timeout):
        if select.select([self.sock], [], [], timeout)[0]:
            chunk = self.sock.recv(65536)
            if not chunk:
                raise RuntimeError("the network port closed the connection")
            self.raw += chunk
            self.parse()

    def exchange(self, data, timeout=30.0):
        """Writes data and reads as many bytes back; the seconds it took."""
        start = time.monotonic()
        self.sock.sendall(data.replace(b"\xff", b"\xff\xff"))
        while len(self.data) < len(data):
            left = start + timeout - time.monotonic()
            if left <= 0:
                raise RuntimeError(f"only {len(self.data)} of {len(data)} bytes came back over the network port")
            self.read(left)
        elapsed = time.monotonic() - start
        got, self.data = bytes(self.data), bytearray()
        if got != data:
            raise RuntimeError("the echo over the network port differs from the request")
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

    def __init__(self, procs, bin_dir, work, name, rows, settings=SETTINGS, sections=""):
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
                    f"items={len(rows)}\n" + matrix + sections)
        self.procs = procs
        self.rows = rows
        self.log = open(os.path.join(self.dir, "varnockd.log"), "w+")
        env = dict(os.environ, VARNOCK_DEVICE_DIR=self.devices)
        self.started = time.monotonic()
        self.process = procs.start([os.path.join(self.dir, "varnockd")], env=env,
                                   stdout=self.log, stderr=subprocess.STDOUT)
        # A channel whose connect failed stays so: no use waiting for it.
        wait_for(lambda: self.connected() + self.failed() >= len(rows) or self.process.poll() is not None,
                 30 + len(rows), "the channels to connect")
        if self.connected() != len(rows):
            raise RuntimeError("varnockd did not connect every channel:\n" + self.output())
        self.all_connected = time.monotonic()

    def output(self):
        self.log.flush()
        with open(self.log.name) as f:
            return f.read()

    def connected(self):
        return len(re.findall(r"^channel \d+: \S+ connected$", self.output(), re.M))

    def failed(self):
        return len(re.findall(r"^channel \d+: \S+ connect failed", self.output(), re.M))

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


def tcp_plcs(procs, bin_dir, addresses):
    """One simulator process playing a PLC at each address."""
    sim = plcsim(procs, bin_dir, *[a for address in addresses for a in ("--tcp", address)])
    for address in addresses:
        wait_tcp(address, 2538)
    return sim


def request_payload():
    return bytes((0x10 if i % 3 == 0 else i) & 0xFF for i in range(REQUEST_BYTES))


def round_trips(host, count):
    times = []
    payload = request_payload()
    host.exchange(payload)  # the first one opens the reply phase
    for _ in range(count):
        times.append(host.exchange(payload) * 1000)
    return times


def timed_read_waits(kind):
    """The reply phase's timed reads that run their full time-out on every
    request: the one that ends the previous reply phase and the one that
    takes the reply. An Ethernet read gives up 10 ms before its time-out; a
    serial read runs it out."""
    t = SETTINGS["PLCDataMonitorTime"]
    return 2 * (t - 10 if kind == "ethernet" else t)


def summarise_rtt(times, kind=None):
    med, p99 = statistics.median(times), percentile(times, 99)
    waits = WAITS_MS if kind else 0
    reads = timed_read_waits(kind) if kind else 0
    return {"median_ms": round(med, 2), "p99_ms": round(p99, 2), "mandated_waits_ms": waits,
            "timed_read_waits_ms": reads, "design_ms": waits + reads,
            "beyond_design_median_ms": round(med - waits - reads, 2),
            "beyond_design_p99_ms": round(p99 - waits - reads, 2), "samples": len(times)}


def throughput(host, pid, runs):
    """1 MiB requests and their echoes: median seconds, CPU seconds per run."""
    data = os.urandom(MIB)
    walls = []
    cpu0 = cpu_seconds(pid)
    for _ in range(runs):
        walls.append(host.exchange(data, timeout=300))
    return statistics.median(walls), (cpu_seconds(pid) - cpu0) / runs


def throughput_entry(seconds, cpu, payload=MIB):
    return {"seconds": round(seconds, 3), "mib_per_second": round(2 * payload / MIB / seconds, 2),
            "cpu_seconds_per_mib": round(cpu * MIB / payload, 4), "load": load()}


def start_plc(procs, bin_dir, kind, devices, *extra):
    """A simulated PLC for a channel of this kind; the allocation row for it."""
    if kind == "ethernet":
        sim = plcsim(procs, bin_dir, "--tcp", LINK_ADDRESS, *extra)
        wait_tcp(LINK_ADDRESS, 2538)
        return sim, f"COM50,Ethernet,{LINK_ADDRESS},,No"
    link = os.path.join(devices, "COM51")
    sim = plcsim(procs, bin_dir, "--pty", link, *extra)
    wait_for(lambda: os.path.islink(link), 10, "the simulator's pty")
    return sim, "COM50,COM51,,,No"


def with_bridge(procs, bin_dir, kind, name, run, settings=SETTINGS, sim_args=()):
    with tempfile.TemporaryDirectory(prefix="varnock-bench-") as work:
        devices = os.path.join(work, "devices")
        os.makedirs(devices, mode=0o700)
        sim, row = start_plc(procs, bin_dir, kind, devices, *sim_args)
        bridge = Bridge(procs, bin_dir, work, name, [row], settings)
        host = Host(bridge.port("COM50"))
        try:
            return run(host, bridge)
        finally:
            host.close()
            bridge.stop()
            procs.stop(sim)


def measure_links(procs, bin_dir, requests, results):
    for kind in ("ethernet", "serial"):
        results["round_trip"][kind] = with_bridge(
            procs, bin_dir, kind, "round-trip", lambda host, _: summarise_rtt(round_trips(host, requests), kind))
        # The simulator answers once the whole request is in.
        seconds, cpu = with_bridge(procs, bin_dir, kind, "throughput",
                                   lambda host, bridge: throughput(host, bridge.process.pid, THROUGHPUT_RUNS),
                                   sim_args=("--gather-bytes", str(MIB)))
        results["throughput"][kind] = throughput_entry(seconds, cpu)


def measure_line_rate(procs, bin_dir, results):
    """A serial PLC whose line moves bytes at its rate: what share of the
    rate's bytes per second the bridge keeps, request and echo together."""
    settings = dict(SETTINGS, BaudRate=LINE_RATE)
    data = os.urandom(LINE_BYTES)
    seconds = with_bridge(procs, bin_dir, "serial", "line-rate", lambda host, _: host.exchange(data, timeout=120),
                          settings, ("--line-bits", str(LINE_BITS), "--gather-bytes", str(LINE_BYTES)))
    allowed = LINE_RATE / LINE_BITS
    moved = 2 * LINE_BYTES / seconds
    results["line_rate"] = {"baud": LINE_RATE, "bits_per_char": LINE_BITS, "bytes": LINE_BYTES,
                            "seconds": round(seconds, 2), "bytes_per_second": round(moved),
                            "allowed_bytes_per_second": round(allowed), "share": round(moved / allowed, 3),
                            "load": load()}


def measure_relay(procs, requests, results):
    with tempfile.TemporaryDirectory(prefix="varnock-relay-") as work:
        echo = procs.start(["socat", f"TCP-LISTEN:2539,bind={RELAY_ADDRESS},reuseaddr,fork", "PIPE"],
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        wait_tcp(RELAY_ADDRESS, 2539)
        link = os.path.join(work, "relay")
        relay = procs.start(["socat", f"PTY,link={link},raw,echo=0", f"TCP:{RELAY_ADDRESS}:2539"],
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        host = Host(link)
        results["round_trip"]["relay"] = summarise_rtt(round_trips(host, requests))
        # The relay uses too little CPU for one MiB to show in clock ticks.
        seconds, cpu = throughput(host, relay.pid, RELAY_RUNS)
        results["throughput"]["relay"] = throughput_entry(seconds, cpu)
        host.close()
        procs.stop(relay)
        procs.stop(echo)


def many_round_trips(hosts, count, seconds):
    """Every host sends a small request as soon as its last echo came, until
    each has had `count` round trips or `seconds` have passed; the round
    trips of each, in ms, the first one (which opens the reply phase) left
    out. A round trip under way at the end counts with the time it has taken
    so far; the second value says how many did."""
    payload = request_payload()
    times = {h.fd: [] for h in hosts}
    state = {h.fd: [0.0, bytearray(), -1] for h in hosts}  # sent at, got, done

    def send(fd):
        state[fd][0], state[fd][1] = time.monotonic(), bytearray()
        os.write(fd, payload)

    for h in hosts:
        send(h.fd)
    end = time.monotonic() + seconds
    while any(s[2] < count for s in state.values()) and time.monotonic() < end:
        for fd in select.select(list(state), [], [], 0.5)[0]:
            try:
                state[fd][1] += os.read(fd, 4096)
            except BlockingIOError:
                continue
            if len(state[fd][1]) < len(payload) or state[fd][2] >= count:
                continue
            if bytes(state[fd][1]) != payload:
                raise RuntimeError("an echo differs from its request")
            if state[fd][2] >= 0:
                times[fd].append((time.monotonic() - state[fd][0]) * 1000)
            state[fd][2] += 1
            if state[fd][2] < count:
                send(fd)
    cut = 0
    for fd, (sent, _, done) in state.items():
        if done < count:
            times[fd].append((time.monotonic() - sent) * 1000)
            cut += 1
    return list(times.values()), cut


def measure_network(procs, bin_dir, requests, results):
    """The same request through a pty port and through a network port, each
    channel with its PLC, taken in turns so that both see the same load."""
    address, port = NETWORK_LISTEN
    with tempfile.TemporaryDirectory(prefix="varnock-network-") as work:
        sim = tcp_plcs(procs, bin_dir, NETWORK_PLC_ADDRESSES)
        rows = [f"COM{50 + i},Ethernet,{a},,No" for i, a in enumerate(NETWORK_PLC_ADDRESSES)]
        bridge = Bridge(procs, bin_dir, work, "network", rows,
                        sections=f"[NetworkPorts]\nCOM51={address}:{port}\n")
        pty = Host(bridge.port("COM50"))
        try:
            net = NetworkHost(address, port)
        except RuntimeError as e:
            raise RuntimeError(f"{e}: COM51 is not served over the network by this varnockd\n"
                               + bridge.output()) from e
        payload = request_payload()
        times = {"pty": [], "network": []}
        pty.exchange(payload)  # the first ones open the reply phases
        net.exchange(payload)
        for _ in range(requests):
            times["pty"].append(pty.exchange(payload) * 1000)
            times["network"].append(net.exchange(payload) * 1000)
        net.close()
        pty.close()
        bridge.stop()
        procs.stop(sim)
    entry = {kind: {"median_ms": round(statistics.median(t), 2), "p99_ms": round(percentile(t, 99), 2),
                    "samples": len(t)} for kind, t in times.items()}
    entry["median_difference_ms"] = round(entry["network"]["median_ms"] - entry["pty"]["median_ms"], 2)
    entry["load"] = load()
    results["network"] = entry


def measure_channels(procs, bin_dir, results):
    addresses = [MANY_ADDRESS.format(i + 1) for i in range(CHANNELS)]
    with tempfile.TemporaryDirectory(prefix="varnock-many-") as work:
        sim = tcp_plcs(procs, bin_dir, addresses)
        rows = [f"COM{100 + i},Ethernet,{a},,No" for i, a in enumerate(addresses)]
        bridge = Bridge(procs, bin_dir, work, "many", rows)
        hosts = [Host(bridge.port(f"COM{100 + i}")) for i in range(CHANNELS)]
        per_channel, cut = many_round_trips(hosts, CHANNEL_ROUND_TRIPS, CHANNEL_SECONDS)
        rss = peak_rss_mib(bridge.process.pid)
        for h in hosts:
            h.close()
        bridge.stop()
        procs.stop(sim)
    everything = [t for ts in per_channel for t in ts]
    design = WAITS_MS + timed_read_waits("ethernet")
    worst = max(percentile(ts, 99) for ts in per_channel)
    results["channels"] = {"channels": CHANNELS, "samples": len(everything), "cut_short": cut,
                           "median_ms": round(statistics.median(everything), 2),
                           "p99_ms": round(percentile(everything, 99), 2),
                           "worst_channel_p99_ms": round(worst, 2), "design_ms": design,
                           "worst_p99_beyond_design_ms": round(worst - design, 2),
                           "peak_rss_mib": round(rss, 1), "load": load()}


def measure_idle(procs, bin_dir, seconds, results):
    for count in (1, 8, 32):
        addresses = [IDLE_ADDRESS.format(i + 1) for i in range(count)]
        with tempfile.TemporaryDirectory(prefix="varnock-idle-") as work:
            sim = tcp_plcs(procs, bin_dir, addresses)
            rows = [f"COM{100 + i},Ethernet,{a},,No" for i, a in enumerate(addresses)]
            bridge = Bridge(procs, bin_dir, work, "idle", rows)
            time.sleep(1)
            pid = bridge.process.pid
            cpu0, t0 = thread_cpu_seconds(pid), time.monotonic()
            time.sleep(seconds)
            cpu, wall = thread_cpu_seconds(pid) - cpu0, time.monotonic() - t0
            percent = 100 * cpu / wall
            results["idle"][str(count)] = {"channels": count, "seconds": round(wall, 1),
                                           "cpu_percent": round(percent, 3),
                                           "cpu_percent_per_channel": round(percent / count, 4), "load": load()}
            bridge.stop()
            procs.stop(sim)


def scale_address(i):
    """127.0.4.1 to 127.0.4.250, then 127.0.5.1 on."""
    return f"127.0.{4 + i // 250}.{1 + i % 250}"


def measure_scale(procs, bin_dir, results):
    """SCALE_CHANNELS Ethernet channels, each to its own PLC: start-up until
    all are connected, idle CPU, memory, descriptors and threads, the round
    trips of SCALE_BUSY of them busy at once, and the stop: SIGTERM to exit,
    and whether every PLC got its disconnect command."""
    # A bridge holding more descriptors than the usual soft limit of 1024
    # would not start at all; the simulator needs two a PLC.
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    want = 8192 if hard == resource.RLIM_INFINITY else min(hard, 8192)
    resource.setrlimit(resource.RLIMIT_NOFILE, (max(soft, want), hard))
    addresses = [scale_address(i) for i in range(SCALE_CHANNELS)]
    r = {"channels": SCALE_CHANNELS, "busy": SCALE_BUSY}
    try:
        with tempfile.TemporaryDirectory(prefix="varnock-scale-") as work:
            log = open(os.path.join(work, "plcs.log"), "w+")
            sim = procs.start([os.path.join(bin_dir, "varnock-plcsim"), "--log",
                               *[a for address in addresses for a in ("--tcp", address)]],
                              stdout=log, stderr=subprocess.DEVNULL)
            for address in addresses:
                wait_tcp(address, 2538)
            rows = [f"COM{300 + i},Ethernet,{a},,No" for i, a in enumerate(addresses)]
            bridge = Bridge(procs, bin_dir, work, "scale", rows)
            pid = bridge.process.pid
            r["startup_s"] = round(bridge.all_connected - bridge.started, 2)
            time.sleep(1)
            cpu0, t0 = thread_cpu_seconds(pid), time.monotonic()
            time.sleep(SCALE_IDLE_SECONDS)
            cpu, wall = thread_cpu_seconds(pid) - cpu0, time.monotonic() - t0
            r["idle_cpu_percent"] = round(100 * cpu / wall, 2)
            r["rss_mib"] = round(status_field(pid, "VmRSS") / 1024, 1)
            r["descriptors"] = len(os.listdir(f"/proc/{pid}/fd"))
            r["threads"] = status_field(pid, "Threads")
            hosts = [Host(bridge.port(f"COM{300 + i}")) for i in range(SCALE_BUSY)]
            per_channel, cut = many_round_trips(hosts, CHANNEL_ROUND_TRIPS, CHANNEL_SECONDS)
            for h in hosts:
                h.close()
            everything = [t for ts in per_channel for t in ts]
            r["busy_p99_ms"] = round(percentile(everything, 99), 2)
            r["busy_cut_short"] = cut
            r["design_ms"] = WAITS_MS + timed_read_waits("ethernet")
            r["peak_rss_mib"] = round(peak_rss_mib(pid), 1)
            time.sleep(1)  # the reply phases end
            t0 = time.monotonic()
            bridge.process.send_signal(signal.SIGTERM)
            try:
                bridge.process.wait(60)
                r["sigterm_exit_s"] = round(time.monotonic() - t0, 2)
            except subprocess.TimeoutExpired:
                r["sigterm_exit_s"] = None
            log.flush()
            with open(log.name) as f:
                said_goodbye = set(re.findall(r"^(\S+) disconnect ", f.read(), re.M))
            r["plcs_disconnected"] = len(said_goodbye & set(addresses))
            procs.stop(sim)
            bridge.stop()
    finally:
        resource.setrlimit(resource.RLIMIT_NOFILE, (soft, hard))
    r["load"] = load()
    results["scale"] = r


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


def met(ok):
    return "met" if ok else "missed"


def table(results):
    rt, tp, idle = results["round_trip"], results["throughput"], results["idle"]
    lines = []
    lines.append(f"Round trip of a {REQUEST_BYTES}-byte request (ms). design: the waits the design "
                 f"prescribes, {WAITS_MS} ms")
    lines.append("  (MaxTimeBetweenLDRData x 10 + monitor cycle) and the reply phase's two timed reads;"
                 " beyond: the rest")
    lines.append(f"  {'path':10} {'median':>8} {'p99':>8} {'design':>7} {'beyond med':>11} {'beyond p99':>11}"
                 "   target (2 / 10 ms)")
    for kind in ("ethernet", "serial", "relay"):
        if kind in rt:
            r = rt[kind]
            target = "-" if kind == "relay" else met(
                r["beyond_design_median_ms"] <= 2 and r["beyond_design_p99_ms"] <= 10)
            lines.append(f"  {kind:10} {r['median_ms']:8.1f} {r['p99_ms']:8.1f} {r['design_ms']:7d} "
                         f"{r['beyond_design_median_ms']:11.1f} {r['beyond_design_p99_ms']:11.1f}   {target}")
    ch = results.get("channels")
    if ch:
        lines.append(f"{ch['channels']} Ethernet channels, each with its PLC, doing round trips at the same time "
                     f"(ms; {ch['samples']} round trips, {ch['cut_short']} cut short at {CHANNEL_SECONDS} s)")
        lines.append(f"  {'median':>8} {'p99':>8} {'worst channel p99':>18} {'design':>7} {'beyond':>7}"
                     f" {'peak RSS MiB':>13}   target (20 ms, 64 MB)")
        lines.append(f"  {ch['median_ms']:8.1f} {ch['p99_ms']:8.1f} {ch['worst_channel_p99_ms']:18.1f} "
                     f"{ch['design_ms']:7d} {ch['worst_p99_beyond_design_ms']:7.1f} {ch['peak_rss_mib']:13.1f}   "
                     + met(ch["worst_p99_beyond_design_ms"] <= 20 and ch["peak_rss_mib"] * MIB < 64e6))
    lines.append("1 MiB request and its echo: MiB/s counts both over the wall time, the design's pauses included")
    lines.append(f"  {'path':10} {'seconds':>8} {'MiB/s':>8} {'CPU s/MiB':>10} {'x relay':>8}   target (4 MiB/s, 10x)")
    relay_cpu = tp.get("relay", {}).get("cpu_seconds_per_mib")
    for kind in ("ethernet", "serial", "relay"):
        if kind in tp:
            t = tp[kind]
            ratio = t["cpu_seconds_per_mib"] / relay_cpu if relay_cpu else float("nan")
            target = "-" if kind != "ethernet" else met(ratio <= 10 and t["mib_per_second"] >= 4)
            lines.append(f"  {kind:10} {t['seconds']:8.3f} {t['mib_per_second']:8.2f} "
                         f"{t['cpu_seconds_per_mib']:10.4f} {ratio:8.1f}   {target}")
    lr = results.get("line_rate")
    if lr:
        lines.append(f"Serial line at {lr['baud']} baud ({lr['bits_per_char']} bits a character), "
                     f"{lr['bytes'] // 1024} KiB request and its echo")
        lines.append(f"  {'seconds':>8} {'bytes/s':>8} {'line allows':>12} {'share':>6}   target (80 %)")
        lines.append(f"  {lr['seconds']:8.2f} {lr['bytes_per_second']:8d} {lr['allowed_bytes_per_second']:12d} "
                     f"{100 * lr['share']:5.1f}%   {met(lr['share'] >= 0.8)}")
    lines.append("Idle CPU of connected Ethernet channels (% of one core), main loop included")
    lines.append(f"  {'channels':>8} {'total':>8} {'per chan':>9}   target (0.1 %)")
    for key in ("1", "8", "32"):
        if key in idle:
            i = idle[key]
            lines.append(f"  {i['channels']:8d} {i['cpu_percent']:8.3f} {i['cpu_percent_per_channel']:9.4f}   "
                         + met(i["cpu_percent_per_channel"] <= 0.1))
    sc = results.get("scale")
    if sc:
        lines.append(f"{sc['channels']} Ethernet channels, each with its PLC: start-up to all connected, idle "
                     f"over {SCALE_IDLE_SECONDS} s, then {sc['busy']} busy, then SIGTERM")
        lines.append(f"  {'start s':>8} {'idle CPU%':>9} {'RSS MiB':>8} {'fds':>5} {'threads':>7} {'p99':>7} "
                     f"{'design':>6} {'exit s':>7} {'goodbyes':>9}   target (5 s, 2 %, 64 MB, 1024, 3 s)")
        exit_s = sc["sigterm_exit_s"]
        missed = [name for name, ok in (
            ("start", sc["startup_s"] <= 5), ("idle", sc["idle_cpu_percent"] <= 2),
            ("RSS", sc["peak_rss_mib"] * MIB < 64e6), ("fds", sc["descriptors"] < 1024),
            ("exit", exit_s is not None and exit_s <= 3 and sc["plcs_disconnected"] == sc["channels"])) if not ok]
        lines.append(f"  {sc['startup_s']:8.2f} {sc['idle_cpu_percent']:9.2f} {sc['rss_mib']:8.1f} "
                     f"{sc['descriptors']:5d} {sc['threads']:7d} {sc['busy_p99_ms']:7.1f} {sc['design_ms']:6d} "
                     f"{exit_s if exit_s is not None else float('nan'):7.2f} "
                     f"{sc['plcs_disconnected']:4d}/{sc['channels']:<4d}   "
                     + ("met" if not missed else "missed: " + ", ".join(missed)))
    net = results.get("network")
    if net:
        lines.append(f"The same {REQUEST_BYTES}-byte request through a pty port and through a network port "
                     "(RFC 2217 client on loopback), each to its Ethernet PLC (ms)")
        lines.append(f"  {'port':10} {'median':>8} {'p99':>8}   target (network median within "
                     f"{NETWORK_MEDIAN_MARGIN_MS} ms of the pty's)")
        for kind in ("pty", "network"):
            target = met(net["median_difference_ms"] <= NETWORK_MEDIAN_MARGIN_MS) if kind == "network" else ""
            lines.append(f"  {kind:10} {net[kind]['median_ms']:8.1f} {net[kind]['p99_ms']:8.1f}   {target}".rstrip())
    calls = results.get("host_calls", {})
    if calls:
        lines.append("Terminal calls of a host program (ns per call), bare and through varnock-host")
        for key in calls.get("bare", {}):
            lines.append(f"  {key[:-3]:22} {calls['bare'][key]:8.0f} {calls.get('launcher', {}).get(key, 0):8.0f}")
    lines.append(f"Load average (1 min) at start {results['load_average_at_start'][0]:.2f}, "
                 f"at end {results['load_average_at_end'][0]:.2f}")
    return "\n".join(lines)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("bin_dir")
    ap.add_argument("--out", default="bench/results.json")
    ap.add_argument("--micro", help="Google Benchmark JSON output to include")
    ap.add_argument("--requests", type=int, default=200)
    ap.add_argument("--idle-seconds", type=float, default=30)
    ap.add_argument("--host-bench", help="varnock_host_bench, for the cost of the terminal calls")
    ap.add_argument("--only", default="relay,links,line,channels,idle,host,scale,network")
    args = ap.parse_args()
    parts = set(args.only.split(","))

    results = {"settings": SETTINGS, "round_trip": {}, "throughput": {}, "idle": {}, "host_calls": {},
               "load_average_at_start": os.getloadavg()}
    procs = Processes()
    try:
        measure_relay(procs, args.requests, results)
        if "links" in parts:
            measure_links(procs, args.bin_dir, args.requests, results)
        if "line" in parts:
            measure_line_rate(procs, args.bin_dir, results)
        if "channels" in parts:
            measure_channels(procs, args.bin_dir, results)
        if "idle" in parts:
            measure_idle(procs, args.bin_dir, args.idle_seconds, results)
        if "scale" in parts:
            measure_scale(procs, args.bin_dir, results)
        if args.host_bench and "host" in parts:
            measure_host_calls(procs, args.bin_dir, args.host_bench, results)
        if "network" in parts:
            measure_network(procs, args.bin_dir, args.requests, results)
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
