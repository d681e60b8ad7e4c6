#!/usr/bin/python3
"""Soak run of the headless Sentrel: 300 monitors against loopback servers that flap.

Starts loopback HTTP servers that flap between up (200 with a body), down (500), slow
(answers after more than 10 s), refusing (port closed) and silent (accepts, never
answers); TCP listeners that flap between up, refusing and silent (a full accept queue,
so the handshake never completes); a loopback SMTP sink (aiosmtpd) that counts mails.
Writes a server file with 300 monitors on 127.0.0.1 / 127.0.0.x, an events.ini whose
events fire popup, program and mail, runs `sentrel --headless` for the given time,
fetches the status page in a loop, samples the program's resident memory and open
descriptors every 10 s and prints a summary at the end.

Everything it talks to is on the loopback interface; no name is ever looked up.
The run is bounded (at most HARD_LIMIT_MINUTES) and tears everything down at its end,
also on Ctrl-C or SIGTERM.

Exit code 0 when nothing leaked, nothing crashed or hung and no unexpected line reached
"Sentrel errors.log"; 1 otherwise; 2 for bad arguments or a set-up failure.
"""

import argparse
import asyncio
import errno
import logging
import os
import random
import re
import signal
import socket
import subprocess
import sys
import tempfile
import time

try:
    from aiosmtpd.smtp import SMTP
except ImportError:  # pragma: no cover - reported at start-up
    SMTP = None

HARD_LIMIT_MINUTES = 120
SAMPLE_EVERY_S = 10
BASELINE_AT_S = 60
MEMORY_LIMIT_KB = 1024
SLOW_ANSWER_S = 12          # "slow": the answer comes after more than 10 s
PAGE_EVERY_S = 0.25         # the status page client: at most four pages a second
PAGE_TIMEOUT_S = 10
STALL_LIMIT_S = 90          # no new log record for this long counts as a hang

# Phase tables: (mode, seconds). Each server runs through its table from its own offset.
HTTP_CYCLE = [("up", 100), ("slow", 40), ("up", 20), ("down", 50), ("refusing", 40),
              ("silent", 20), ("up", 30)]
# A server that hangs longer than the monitors' interval: their next check aborts the
# request still waiting for it.
HANG_CYCLE = [("up", 120), ("silent", 120)]
PORT_CYCLE = [("up", 140), ("refusing", 130), ("silent", 130)]

OK_BODY = b"<html><body>SOAK-OK all fine</body></html>\n"
DOWN_BODY = b"<html><body>SOAK-ERROR internal trouble</body></html>\n"

# Mail addresses never reach a resolver: the SMTP sink takes them as they are.
SINK_RCPT = "ops@localhost"
RED_RCPT = "red@localhost"
BROKEN_RCPT = "broken@localhost"


def log(text):
    print(text, flush=True)


# ---------------------------------------------------------------------------------------
# Ports. The servers here close and reopen their listening ports while the program runs,
# so their numbers are taken from below the kernel's ephemeral range: no outgoing
# connection (of the program or anybody else) and no bind to port 0 can take such a
# port while it is closed. Each is checked free before use.

def ephemeral_range():
    try:
        with open("/proc/sys/net/ipv4/ip_local_port_range") as f:
            lo, hi = map(int, f.read().split())
        return lo, hi
    except (OSError, ValueError):
        return 32768, 60999


class PortPool:
    def __init__(self, rng):
        lo, hi = ephemeral_range()
        if lo > 12000:
            candidates = list(range(10000, lo))
        else:
            candidates = list(range(hi + 1, 65536))
        rng.shuffle(candidates)
        self._candidates = candidates

    def take(self):
        while self._candidates:
            port = self._candidates.pop()
            s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
            try:
                s.bind(("0.0.0.0", port))
                return port
            except OSError:
                continue
            finally:
                s.close()
        raise RuntimeError("no free port below the ephemeral range")


def phase_at(cycle, offset, t):
    """The phase (index, mode) of a table at time t (seconds since the start)."""
    total = sum(d for _, d in cycle)
    x = (t + offset) % total
    for i, (mode, d) in enumerate(cycle):
        if x < d:
            return i, mode
        x -= d
    return len(cycle) - 1, cycle[-1][0]


# ---------------------------------------------------------------------------------------
# The flapping servers.

class Stats:
    def __init__(self):
        self.http_requests = {m: 0 for m in ("up", "down", "slow", "silent")}
        self.port_accepts = 0
        self.mails = 0
        self.mails_by_rcpt = {}
        self.pages = 0
        self.page_failures = 0
        self.page_failure_texts = []
        self.page_bytes_last = 0
        self.page_slowest = 0.0
        self.mode_changes = 0
        self.rebind_failures = 0


class HttpBackend:
    def __init__(self, name, port, cycle, offset, stats):
        self.name, self.port, self.cycle, self.offset = name, port, cycle, offset
        self.stats = stats
        self.mode = None
        self.phase = None
        self.server = None
        self.release = asyncio.Event()
        self.tasks = set()

    async def apply(self, phase, mode):
        if phase == self.phase:
            return
        self.phase = phase
        old, self.mode = self.mode, mode
        if old is not None:
            self.stats.mode_changes += 1
        # A silent phase ends like a server that is restarted: its waiting
        # connections are closed without an answer.
        self.release.set()
        self.release = asyncio.Event()
        if mode == "refusing":
            if self.server is not None:
                self.server.close()
                self.server = None
        elif self.server is None:
            try:
                self.server = await asyncio.start_server(
                    self.handle, "127.0.0.1", self.port, reuse_address=True, backlog=128)
            except OSError as e:
                self.stats.rebind_failures += 1
                log(f"soak: {self.name} cannot listen on {self.port} again: {e}")
                self.phase = None  # try again on the next tick

    async def handle(self, reader, writer):
        self.tasks.add(asyncio.current_task())
        try:
            try:
                await asyncio.wait_for(reader.readuntil(b"\r\n\r\n"), 30)
            except (asyncio.IncompleteReadError, asyncio.LimitOverrunError,
                    asyncio.TimeoutError, ConnectionError):
                return
            mode = self.mode
            if mode == "refusing":
                mode = "up"  # accepted just before the port closed
            self.stats.http_requests[mode] += 1
            if mode == "silent":
                await self.release.wait()
                return
            if mode == "slow":
                await asyncio.sleep(SLOW_ANSWER_S)
            if mode == "down":
                head, body = b"HTTP/1.0 500 Internal Server Error", DOWN_BODY
            else:
                head, body = b"HTTP/1.0 200 OK", OK_BODY
            writer.write(head + b"\r\nContent-Type: text/html\r\nContent-Length: " +
                         str(len(body)).encode() + b"\r\n\r\n" + body)
            await writer.drain()
        except (ConnectionError, OSError):
            pass
        finally:
            self.tasks.discard(asyncio.current_task())
            writer.close()

    def close(self):
        self.release.set()
        if self.server is not None:
            self.server.close()
            self.server = None


class PortListener:
    """Up: accepts and reads the probe. Refusing: nothing listens. Silent: a listener
    whose accept queue is kept full, so new handshakes are never answered."""

    def __init__(self, name, port, cycle, offset, stats):
        self.name, self.port, self.cycle, self.offset = name, port, cycle, offset
        self.stats = stats
        self.mode = None
        self.phase = None
        self.server = None
        self.raw = None
        self.filler = None

    def _drop(self):
        if self.server is not None:
            self.server.close()
            self.server = None
        for s in (self.filler, self.raw):
            if s is not None:
                s.close()
        self.filler = self.raw = None

    async def apply(self, phase, mode):
        if phase == self.phase:
            return
        self.phase = phase
        old, self.mode = self.mode, mode
        if old is not None:
            self.stats.mode_changes += 1
        self._drop()
        try:
            if mode == "up":
                self.server = await asyncio.start_server(
                    self.handle, "127.0.0.1", self.port, reuse_address=True, backlog=128)
            elif mode == "silent":
                raw = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
                raw.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
                raw.bind(("127.0.0.1", self.port))
                raw.listen(0)
                self.raw = raw
                filler = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
                filler.setblocking(False)
                try:
                    filler.connect(("127.0.0.1", self.port))
                except BlockingIOError:
                    pass
                self.filler = filler
        except OSError as e:
            self._drop()
            self.stats.rebind_failures += 1
            log(f"soak: {self.name} cannot listen on {self.port} again: {e}")
            self.phase = None

    async def handle(self, reader, writer):
        self.stats.port_accepts += 1
        try:
            await asyncio.wait_for(reader.read(64), 15)
        except (asyncio.TimeoutError, ConnectionError, OSError):
            pass
        finally:
            writer.close()

    def close(self):
        self._drop()


class MailSink:
    def __init__(self, stats):
        self.stats = stats

    async def handle_DATA(self, server, session, envelope):
        self.stats.mails += 1
        for r in envelope.rcpt_tos:
            self.stats.mails_by_rcpt[r] = self.stats.mails_by_rcpt.get(r, 0) + 1
        return "250 Message accepted for delivery"


# ---------------------------------------------------------------------------------------
# The configuration the program runs on.

class Monitor:
    def __init__(self, name, typ, port, data, interval):
        self.name, self.typ, self.port, self.data, self.interval = name, typ, port, data, interval


class Server:
    def __init__(self, name, ip, group):
        self.name, self.ip, self.group = name, ip, group
        self.monitors = []


def build_configuration(http_backends, hang_backend, port_listeners, stable_listeners):
    """300 monitors on 100 servers: 24 ping, 24 port and 252 HTTP."""
    servers = []
    broken_monitors = []
    http_index = 0
    counter = {"k": 0}

    def events_for(k):
        if k % 50 == 7:
            broken_monitors.append(k)
            return ["GYtoR=Broken"]
        if k % 4 == 1:
            return ["GtoY=Yellow", "GYtoR=Red", "RYtoG=Red"]
        return []

    def http_monitor(name, backend, k):
        items = [f"url=http://127.0.0.1:{backend.port}/m{k}"]
        if k % 3 == 0:
            items.append("mustinclude=SOAK-OK")
        elif k % 3 == 1:
            items.append("maynotinclude=SOAK-ERROR")
        if k % 5 == 0:
            items += ["username=soak", "password=pw"]
        items += events_for(k)
        return Monitor(name, "http", backend.port, ",".join(items), 30 + 10 * (k % 3))

    hang_slots = {(96, 2), (97, 2), (98, 2), (99, 2)}
    flapping_port_slots = {30: port_listeners[0], 31: port_listeners[0],
                           40: port_listeners[1], 41: port_listeners[1]}
    for i in range(100):
        if i < 24:
            ip, group = f"127.0.0.{2 + i}", "Ping"
        elif i < 48:
            ip, group = "127.0.0.1", "Ports"
        else:
            ip, group = "127.0.0.1", "Web"
        s = Server(f"s{i:03d}", ip, group)
        if i < 24:
            k = counter["k"]
            counter["k"] += 1
            s.monitors.append(Monitor("ping", "ping", 0, ",".join(events_for(k)), 30))
        elif i < 48:
            k = counter["k"]
            counter["k"] += 1
            listener = flapping_port_slots.get(i) or stable_listeners[i % len(stable_listeners)]
            s.monitors.append(Monitor("port", "port", listener.port, ",".join(events_for(k)), 60))
        while len(s.monitors) < 3:
            j = len(s.monitors)
            k = counter["k"]
            counter["k"] += 1
            backend = hang_backend if (i, j) in hang_slots else \
                http_backends[http_index % len(http_backends)]
            if backend is not hang_backend:
                http_index += 1
            s.monitors.append(http_monitor(f"http{j}", backend, k))
        servers.append(s)
    return servers, broken_monitors


def server_file_text(servers):
    lines = []
    for s in servers:
        lines += [f"[{s.name}]", f"IP={s.ip}", "Location=soak", "Notes=", f"Logfile={s.name}.log",
                  f"Group={s.group}", "GroupExpand=1", "PortExpand=1"]
        for m in s.monitors:
            lines += [f"[{s.name}:{m.name}]", f"Typ={m.typ}", f"Port={m.port}", f"Data={m.data}",
                      "Alarm=default", f"intervall={m.interval}"]
    return "\r\n".join(lines) + "\r\n"


def event_section(name, popup, exe, exe_path, mail, rcpt, template):
    keys = [f"[{name}]", f"UsePopup={int(popup)}", "PopupText=", "UseSound=0", "Sound=",
            f"UseExe={int(exe)}", f"Exe={exe_path if exe else ''}",
            "ExePara=<#server> <#status>" if exe else "ExePara=",
            f"UseMail={int(mail)}", f"MailAddress={rcpt}", f"Mailtext={template}"]
    keys += ["UseNetSend=0", "NetSend=", "NetSendText=", "UseShutdown=0", "Shutdown=",
             "UsePrint=0", "Printer=", "PrinterText=", "UseSerial=0",
             "SerialOptions=port=0,bits=3,baud=4,parity=0,stop=0", "SerialText="]
    for i in range(8):
        keys += [f"count{i}=2", f"always{i}=0"]
    return keys


def write_configuration(work, data, servers, smtp_port, closed_port):
    exe = os.path.join(work, "exe-hook.sh")
    runs = os.path.join(work, "exe-runs.txt")
    with open(exe, "w") as f:
        f.write("#!/bin/sh\n# Counts its runs and ends at once.\n"
                f"printf '%s\\n' \"$*\" >> '{runs}'\n")
    os.chmod(exe, 0o755)
    sink = os.path.join(work, "mail-sink.txt")
    with open(sink, "w") as f:
        f.write(f"127.0.0.1:{smtp_port}:soak\r\nsentrel@localhost\r\n<#server> <#status>\r\n"
                "<#msg>\r\n.a line that starts with a dot\r\n<#hist>\r\n")
    broken = os.path.join(work, "mail-broken.txt")
    with open(broken, "w") as f:
        f.write(f"127.0.0.1:{closed_port}:soak\r\nsentrel@localhost\r\n<#server> <#status>\r\n"
                "<#msg>\r\n")
    lines = []
    lines += event_section("Default", True, True, exe, True, SINK_RCPT, sink)
    lines += event_section("Yellow", True, True, exe, True, SINK_RCPT, sink)
    lines += event_section("Red", True, True, exe, True, RED_RCPT, sink)
    lines += event_section("Broken", True, False, exe, True, BROKEN_RCPT, broken)
    with open(os.path.join(data, "events.ini"), "w", newline="") as f:
        f.write("\r\n".join(lines) + "\r\n")
    mcf = os.path.join(work, "soak.mcf")
    with open(mcf, "w", newline="") as f:
        f.write(server_file_text(servers))
    return mcf, runs


# ---------------------------------------------------------------------------------------
# Watching the program.

TCP_CONNECTION_STATES = {"01", "02", "03", "04", "05", "09", "0B"}  # in flight
TCP_CLOSE_WAIT = "08"


def socket_inodes():
    """inode -> (table, state) for every socket the kernel lists."""
    table = {}
    for name in ("tcp", "tcp6", "udp", "udp6", "raw", "raw6", "icmp", "icmp6", "unix"):
        try:
            with open(f"/proc/net/{name}") as f:
                next(f)
                for line in f:
                    parts = line.split()
                    if name == "unix":
                        if len(parts) >= 7:
                            table[parts[6]] = ("unix", "")
                    elif len(parts) >= 10:
                        table[parts[9]] = (name, parts[3])
        except (OSError, StopIteration):
            pass
    return table


def child_processes(pid):
    children, zombies = 0, 0
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/stat") as f:
                stat = f.read()
        except OSError:
            continue
        rest = stat[stat.rfind(")") + 2:].split()
        if len(rest) >= 2 and rest[1] == str(pid):
            children += 1
            if rest[0] == "Z":
                zombies += 1
    return children, zombies


def sample(pid):
    """One look at the program: memory, descriptors by kind, children."""
    s = {"t": time.monotonic()}
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                s["rss"] = int(line.split()[1])
            elif line.startswith("Threads:"):
                s["threads"] = int(line.split()[1])
    sockets = socket_inodes()
    total = in_flight = close_wait = unlisted = pidfds = 0
    for fd in os.listdir(f"/proc/{pid}/fd"):
        try:
            target = os.readlink(f"/proc/{pid}/fd/{fd}")
        except OSError:
            continue
        total += 1
        m = re.match(r"socket:\[(\d+)\]", target)
        if m:
            kind = sockets.get(m.group(1))
            if kind is None:
                unlisted += 1  # a TCP socket that is closed (refused, reset) but still open
            elif kind[0].startswith("tcp") and kind[1] in TCP_CONNECTION_STATES:
                in_flight += 1
            elif kind[0].startswith("tcp") and kind[1] == TCP_CLOSE_WAIT:
                close_wait += 1
        elif "pidfd" in target:
            pidfds += 1
    s.update(fds=total, in_flight=in_flight, close_wait=close_wait, unlisted=unlisted,
             pidfds=pidfds, steady=total - in_flight - unlisted - pidfds)
    s["children"], s["zombies"] = child_processes(pid)
    return s


def count_records(data):
    counts = {"lines": 0, "OK": 0, "LOST": 0, "DOWN": 0, "UP": 0, "ping": 0, "other": 0,
              "files": 0}
    for name in os.listdir(data):
        if not name.endswith(".log") or name == "Sentrel errors.log":
            continue
        counts["files"] += 1
        with open(os.path.join(data, name), "rb") as f:
            for line in f:
                counts["lines"] += 1
                words = line.split()
                if len(words) >= 3 and words[2].startswith(b"Ping:"):
                    counts["ping"] += 1
                elif len(words) >= 6 and words[5].decode("latin-1") in counts:
                    counts[words[5].decode("latin-1")] += 1
                else:
                    counts["other"] += 1
    return counts


def read_lines(path):
    try:
        with open(path, "rb") as f:
            return f.read().decode("latin-1").splitlines()
    except OSError:
        return []


async def fetch_page(port):
    start = time.monotonic()
    reader, writer = await asyncio.open_connection("127.0.0.1", port)
    try:
        writer.write(b"GET / HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n")
        await writer.drain()
        data = await reader.read()
    finally:
        writer.close()
    return data, time.monotonic() - start


# ---------------------------------------------------------------------------------------

class Soak:
    def __init__(self, args):
        self.args = args
        self.stats = Stats()
        self.stop = asyncio.Event()
        self.interrupted = False
        self.problems = []
        self.samples = []
        self.proc = None
        self.web_port = None
        self.page_client_on = True
        self.rng = random.Random(args.seed)

    def problem(self, text):
        self.problems.append(text)
        log(f"soak: PROBLEM: {text}")

    async def scheduler(self, servers, start, flap_end):
        while not self.stop.is_set():
            t = time.monotonic() - start
            for srv in servers:
                if time.monotonic() >= flap_end:
                    phase, mode = ("settle", "up")
                else:
                    phase, mode = phase_at(srv.cycle, srv.offset, t)
                    phase = (int((t + srv.offset) // sum(d for _, d in srv.cycle)), phase)
                await srv.apply(phase, mode)
            try:
                await asyncio.wait_for(self.stop.wait(), 0.5)
            except asyncio.TimeoutError:
                pass

    async def page_client(self):
        while not self.stop.is_set():
            if self.web_port and self.page_client_on:
                try:
                    data, took = await asyncio.wait_for(fetch_page(self.web_port),
                                                        PAGE_TIMEOUT_S)
                    if data.startswith(b"HTTP/1.0 200") and b"</html>" in data.lower():
                        self.stats.pages += 1
                        self.stats.page_bytes_last = len(data)
                        self.stats.page_slowest = max(self.stats.page_slowest, took)
                    else:
                        self.stats.page_failures += 1
                        self.stats.page_failure_texts.append(f"bad page: {data[:80]!r}")
                except (asyncio.TimeoutError, OSError) as e:
                    self.stats.page_failures += 1
                    self.stats.page_failure_texts.append(f"{type(e).__name__}: {e}")
            try:
                await asyncio.wait_for(self.stop.wait(), PAGE_EVERY_S)
            except asyncio.TimeoutError:
                pass

    def find_web_port(self, out_path):
        for line in read_lines(out_path):
            m = re.search(r"Sentrel-Webserver \(Port (\d+)\): idle", line)
            if m:
                return int(m.group(1))
        return None

    async def run(self):
        args = self.args
        if SMTP is None:
            log("soak: python3-aiosmtpd is missing (apt-get install python3-aiosmtpd)")
            return 2
        if not os.access(args.binary, os.X_OK):
            log(f"soak: no program at {args.binary} (build it first: ninja -C build sentrel)")
            return 2
        work = args.work_dir or tempfile.mkdtemp(prefix="sentrel-soak-")
        os.makedirs(work, exist_ok=True)
        data = os.path.join(work, "data")
        os.makedirs(data, exist_ok=True)
        if os.listdir(data):
            log(f"soak: {data} is not empty; give a fresh --work-dir")
            return 2
        logging.getLogger("mail.log").setLevel(logging.CRITICAL)
        loop = asyncio.get_running_loop()
        for sig in (signal.SIGINT, signal.SIGTERM):
            loop.add_signal_handler(sig, self.on_signal)

        pool = PortPool(self.rng)
        http_backends = [HttpBackend(f"web{b:02d}", pool.take(), HTTP_CYCLE,
                                     b * sum(d for _, d in HTTP_CYCLE) // 19, self.stats)
                         for b in range(19)]
        hang = HttpBackend("hang", pool.take(), HANG_CYCLE, 60, self.stats)
        flapping_ports = [PortListener(f"tcp-flap{i}", pool.take(), PORT_CYCLE, 200 * i + 100,
                                       self.stats) for i in range(2)]
        stable_ports = [PortListener(f"tcp{i}", pool.take(), [("up", 3600)], 0, self.stats)
                        for i in range(4)]
        all_servers = http_backends + [hang] + flapping_ports + stable_ports
        closed_port = pool.take()   # nothing ever listens here: the Broken event's mail
        web_ports = [pool.take(), pool.take()]

        smtp = await loop.create_server(
            lambda: SMTP(MailSink(self.stats), hostname="localhost", ident="soak sink"),
            "127.0.0.1", 0)
        smtp_port = smtp.sockets[0].getsockname()[1]

        servers, broken = build_configuration(http_backends, hang, flapping_ports, stable_ports)
        n_mon = sum(len(s.monitors) for s in servers)
        kinds = {}
        for s in servers:
            for m in s.monitors:
                kinds[m.typ] = kinds.get(m.typ, 0) + 1
        mcf, runs_path = write_configuration(work, data, servers, smtp_port, closed_port)
        out_path = os.path.join(work, "sentrel.out")
        err_path = os.path.join(work, "sentrel.err")

        duration = args.minutes * 60
        settle = min(args.settle, duration / 3)
        log(f"soak: work dir {work}")
        log(f"soak: {n_mon} monitors on {len(servers)} servers "
            f"({', '.join(f'{v} {k}' for k, v in sorted(kinds.items()))}); "
            f"{len(http_backends) + 1} HTTP servers, {len(flapping_ports) + len(stable_ports)} "
            f"TCP listeners, SMTP sink on {smtp_port}")
        log(f"soak: running {duration:.0f} s, the last {settle:.0f} s with every server up")

        start = time.monotonic()
        flap_end = start + duration - settle
        sched = asyncio.create_task(self.scheduler(all_servers, start, flap_end))
        await asyncio.sleep(0.2)  # every server in its first phase before the program starts

        cmd = [args.binary, "--headless", "--data-dir", data, "--settings",
               os.path.join(work, "settings.ini"), "--web-ports",
               ",".join(map(str, web_ports)), mcf]
        log("soak: " + " ".join(cmd))
        out = open(out_path, "wb")
        err = open(err_path, "wb")
        started = self.started = time.monotonic()
        self.proc = subprocess.Popen(cmd, cwd=work, stdout=out, stderr=err,
                                     stdin=subprocess.DEVNULL, start_new_session=True)
        pid = self.proc.pid
        exit_code = None
        pages = asyncio.create_task(self.page_client())
        baseline = None
        first = None
        last_records = -1
        last_records_change = time.monotonic()
        try:
            for _ in range(100):
                self.web_port = self.find_web_port(out_path)
                if self.web_port or self.proc.poll() is not None:
                    break
                await asyncio.sleep(0.05)
            if not self.web_port:
                self.problem("the status web server did not report its port")
            first = sample(pid)
            self.samples.append(first)
            self.print_sample(first, started, data)
            next_sample = started + SAMPLE_EVERY_S
            end = started + duration
            while not self.stop.is_set():
                now = time.monotonic()
                if self.proc.poll() is not None:
                    self.problem(f"the program ended by itself with {self.proc.returncode}")
                    break
                if now >= end:
                    break
                if now >= next_sample:
                    next_sample += SAMPLE_EVERY_S
                    try:
                        s = sample(pid)
                    except OSError:
                        continue  # the program has just ended: the next round says so
                    self.samples.append(s)
                    if baseline is None and s["t"] - started >= BASELINE_AT_S - 0.5:
                        baseline = s
                    records = self.print_sample(s, started, data)
                    if records != last_records:
                        last_records, last_records_change = records, now
                    elif now - last_records_change > STALL_LIMIT_S:
                        self.problem(f"no new log record for {now - last_records_change:.0f} s")
                        last_records_change = now
                try:
                    await asyncio.wait_for(self.stop.wait(),
                                           max(0.05, min(next_sample, end) - time.monotonic()))
                except asyncio.TimeoutError:
                    pass

            # The end figures: with every server up and the page client quiet, nothing
            # should be in flight; the smallest of a few looks is the program at rest.
            final = None
            if self.proc.poll() is None:
                self.page_client_on = False
                await asyncio.sleep(2)
                looks = []
                for _ in range(3):
                    try:
                        looks.append(sample(pid))
                    except OSError:
                        break
                    await asyncio.sleep(1)
                if looks:
                    final = min(looks, key=lambda x: (x["fds"], x["rss"]))
                    final["t"] = looks[-1]["t"]
                    self.samples.append(final)
                    self.print_sample(final, started, data, label="end")
        finally:
            self.stop.set()
            exit_code = await self.stop_program()
            for srv in all_servers:
                srv.close()
            smtp.close()
            for task in (sched, pages):
                task.cancel()
            await asyncio.gather(sched, pages, return_exceptions=True)
            tasks = [t for srv in http_backends + [hang] for t in srv.tasks]
            for t in tasks:
                t.cancel()
            await asyncio.gather(*tasks, return_exceptions=True)
            out.close()
            err.close()

        return self.summary(work, data, runs_path, out_path, err_path, first, baseline, final,
                            exit_code, duration, settle, n_mon, kinds, len(servers), broken)

    def on_signal(self):
        if not self.stop.is_set():
            log("soak: interrupted; tearing down")
        self.interrupted = True
        self.stop.set()

    async def stop_program(self):
        if self.proc is None:
            return None
        if self.proc.poll() is not None:
            return self.proc.returncode
        self.proc.send_signal(signal.SIGTERM)
        for _ in range(300):
            if self.proc.poll() is not None:
                return self.proc.returncode
            await asyncio.sleep(0.1)
        self.problem("the program did not end within 30 s of SIGTERM (killed)")
        self.proc.kill()
        self.proc.wait()
        return None

    def print_sample(self, s, started, data, label=None):
        counts = count_records(data)
        records = counts["lines"]
        s["records"] = records
        s["state_changes"] = counts["DOWN"] + counts["UP"]
        when = label or f"{s['t'] - started:5.0f}s"
        log(f"sample {when}: rss {s['rss']} kB, fds {s['fds']} (steady {s['steady']}, "
            f"in flight {s['in_flight'] + s['unlisted']}, close-wait {s['close_wait']}, "
            f"pidfds {s['pidfds']}), threads {s['threads']}, children {s['children']} "
            f"(zombies {s['zombies']}), records {records}, pages {self.stats.pages}, "
            f"mails {self.stats.mails}")
        return records

    def summary(self, work, data, runs_path, out_path, err_path, first, baseline, final,
                exit_code, duration, settle, n_mon, kinds, n_servers, broken):
        st = self.stats
        rec = count_records(data)
        errors = read_lines(os.path.join(data, "Sentrel errors.log"))
        stderr_lines = [l for l in read_lines(err_path) if l.strip()]
        out_lines = read_lines(out_path)
        popups = sum(1 for l in out_lines if l.startswith("Popup: "))
        exe_runs = len(read_lines(runs_path))
        mail_log = read_lines(os.path.join(work, "mail.log"))

        def mail_lines(word, rcpt):
            return sum(1 for l in mail_log if f" {word} {rcpt} " in l)

        broken_attempts = mail_lines("MAIL", BROKEN_RCPT)
        on_purpose = [l for l in errors if " RunTimeError Connection Failed " in l]
        unexpected = [l for l in errors if l not in on_purpose]
        # Each mail of the Broken event goes to a port where nothing listens: exactly one
        # "Connection Failed" line each. More than that means a real mail failed too.
        excess = max(0, len(on_purpose) - broken_attempts)
        if excess:
            unexpected += on_purpose[-excess:]
            on_purpose = on_purpose[:len(on_purpose) - excess]
        zombies_end = final["zombies"] if final else None

        log("")
        log("=== Sentrel soak summary ===")
        log(f"run                 : {duration:.0f} s planned ({duration - settle:.0f} s flapping, "
            f"{settle:.0f} s settling)" + (", INTERRUPTED" if self.interrupted else ""))
        log(f"configuration       : {n_mon} monitors "
            f"({', '.join(f'{v} {k}' for k, v in sorted(kinds.items()))}) on {n_servers} servers")
        ok = True
        if first and baseline and final:
            growth = final["rss"] - baseline["rss"]
            log(f"memory (VmRSS)      : start {first['rss']} kB, after 1 min {baseline['rss']} kB, "
                f"end {final['rss']} kB; growth after 1 min {growth:+d} kB "
                f"(limit {str(self.args.memory_limit_kb) + ' kB' if self.args.memory_limit_kb else 'none'}); peak {max(s['rss'] for s in self.samples)} kB")
            # The "Messages/Errors" pane (the status page's History, the mails' <#hist>)
            # grows until it holds its 1001 lines: one per DOWN or UP record after the
            # start line. What memory does after that shows whether anything else grows.
            full = next((s for s in self.samples if s.get("state_changes", 0) >= 1000), None)
            if full is not None and full is not final:
                log(f"after the History   : the Messages/Errors pane was full at "
                    f"{full['t'] - self.started:.0f} s ({full['rss']} kB); memory growth from "
                    f"then to the end {final['rss'] - full['rss']:+d} kB")
            else:
                log("after the History   : the Messages/Errors pane did not fill up "
                    "(1000 DOWN and UP records) before the end")
            # Descriptors at rest at the end against the fewest not in flight in any look
            # from the first minute on (a transient one at that moment must not hide a leak).
            rest = min(s["steady"] for s in self.samples if s["t"] >= baseline["t"])
            log(f"descriptors         : start {first['fds']}, after 1 min {baseline['fds']} "
                f"(not in flight {baseline['steady']}, fewest not in flight from then on "
                f"{rest}), end {final['fds']} at rest ({final['in_flight']} connections, "
                f"{final['unlisted']} closed sockets, {final['pidfds']} pidfds); "
                f"growth after 1 min {final['fds'] - rest:+d}; "
                f"peak {max(s['fds'] for s in self.samples)}")
            if self.args.memory_limit_kb and growth > self.args.memory_limit_kb:
                self.problem(f"memory grew {growth} kB after the first minute")
            if final["fds"] > rest:
                self.problem(f"descriptors grew: {rest} after 1 min (not in flight), "
                             f"{final['fds']} at rest at the end")
            worst_cw = max(s["close_wait"] for s in self.samples)
            log(f"close-wait sockets  : at most {worst_cw} in a sample, {final['close_wait']} at the end")
            if final["close_wait"]:
                self.problem(f"{final['close_wait']} sockets left in CLOSE_WAIT at the end")
            log(f"children            : at most {max(s['children'] for s in self.samples)}, "
                f"zombies at most {max(s['zombies'] for s in self.samples)}, "
                f"at the end {final['children']} (zombies {zombies_end})")
            if zombies_end:
                self.problem(f"{zombies_end} unreaped children at the end")
        else:
            self.problem("the run ended before the end figures could be taken")
        checks = rec["OK"] + rec["LOST"]
        log(f"checks done         : {checks} (OK {rec['OK']}, LOST {rec['LOST']})")
        log(f"records written     : {rec['lines']} in {rec['files']} log files "
            f"(OK {rec['OK']}, LOST {rec['LOST']}, DOWN {rec['DOWN']}, UP {rec['UP']}, "
            f"ping messages {rec['ping']}, other {rec['other']})")
        if rec["other"]:
            self.problem(f"{rec['other']} log lines of an unknown form")
        log(f"pages served        : {st.pages} (failed {st.page_failures}, slowest "
            f"{st.page_slowest:.2f} s, last {st.page_bytes_last} bytes)")
        if st.page_failures:
            self.problem(f"{st.page_failures} status page fetches failed: "
                         f"{'; '.join(st.page_failure_texts[:5])}")
        log(f"server side         : HTTP requests {st.http_requests}, port accepts "
            f"{st.port_accepts}, mode changes {st.mode_changes}, rebind failures "
            f"{st.rebind_failures}")
        log(f"mails received      : {st.mails} {dict(sorted(st.mails_by_rcpt.items()))}; "
            f"mail.log MAIL {sum(1 for l in mail_log if ' MAIL ' in l)}, "
            f"DONE {sum(1 for l in mail_log if ' DONE ' in l)}, "
            f"Broken event attempts {broken_attempts}")
        for rcpt in (SINK_RCPT, RED_RCPT):
            sent, done = mail_lines("MAIL", rcpt), mail_lines("DONE", rcpt)
            got = st.mails_by_rcpt.get(rcpt, 0)
            if not (sent == done == got):
                self.problem(f"mails to {rcpt}: {sent} MAIL, {done} DONE, {got} received")
        log(f"exe runs            : {exe_runs}")
        log(f"popups              : {popups}")
        log(f"Sentrel errors.log  : {len(errors)} lines: {len(on_purpose)} on purpose "
            f"(\"Connection Failed\" of the Broken event's mail to a closed port, "
            f"{len(broken)} monitors), {len(unexpected)} not")
        for l in unexpected[:20]:
            log(f"  unexpected: {l}")
        if unexpected:
            self.problem(f"{len(unexpected)} unexpected lines in Sentrel errors.log")
        log(f"program stderr      : {len(stderr_lines)} lines")
        for l in stderr_lines[:20]:
            log(f"  stderr: {l}")
        if stderr_lines:
            self.problem(f"{len(stderr_lines)} lines on the program's standard error")
        log(f"program exit        : {exit_code} after SIGTERM")
        if exit_code != 0:
            self.problem(f"the program's exit code was {exit_code}")
        if not st.mails or not exe_runs or not popups:
            self.problem("an action never ran (mail, exe or popup)")
        log(f"work dir            : {work}")
        if self.interrupted:
            self.problem("the run was interrupted")
        if self.problems:
            log("RESULT: FAIL")
            for p in self.problems:
                log(f"  - {p}")
            return 1
        log("RESULT: PASS")
        return 0


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    here = os.path.dirname(os.path.abspath(__file__))
    parser.add_argument("--binary", default=os.path.join(here, "..", "..", "build", "bin",
                                                         "sentrel"))
    parser.add_argument("--minutes", type=float, default=10.0,
                        help=f"length of the run (default 10, at most {HARD_LIMIT_MINUTES})")
    parser.add_argument("--settle", type=float, default=60.0,
                        help="seconds at the end with every server up (default 60)")
    parser.add_argument("--work-dir", help="where files go (default: a new directory in /tmp)")
    parser.add_argument("--memory-limit-kb", type=int, default=MEMORY_LIMIT_KB,
                        help="allowed growth of VmRSS after the first minute (default 1024; "
                             "0: not judged, for a sanitizer build)")
    parser.add_argument("--seed", type=int, default=8, help="seed for the port choice")
    args = parser.parse_args()
    if not 0 < args.minutes <= HARD_LIMIT_MINUTES:
        parser.error(f"--minutes must lie in (0, {HARD_LIMIT_MINUTES}]")
    args.binary = os.path.abspath(args.binary)
    if args.work_dir:
        args.work_dir = os.path.abspath(args.work_dir)
    return asyncio.run(Soak(args).run())


if __name__ == "__main__":
    sys.exit(main())
