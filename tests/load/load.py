#!/usr/bin/python3
"""Load with failover through lighttpd (run by tests/load/run.sh).

200 concurrent clients send uploads of 0 bytes to 2 MiB and GETs to the
gateway behind lighttpd; the gateway's ServerURL lists two sample engines
with MultipleServers on. Half-way, engine A is stopped and, a little later,
started again on its port. Checked:

- every response is the engine's /echo page or the gateway's report (only
  "Communication failure" reports: with engine B always up, a connect never
  fails for good, so "Unable to connect" would mean broken failover);
- each upload's size and SHA-256 as the engine read them from the spooled
  file match what the client sent;
- the engines served: A before its stop, B, and A after its restart;
- FileMode 1 leaves nothing in the spool directory;
- FileMode 2: two uploads on one keep-alive connection within one second
  (so with the same request identifier) keep both files, each intact.

Everything runs on 127.0.0.1; the number of requests and the run's time are
bounded. Standard library only.
"""

import argparse
import hashlib
import http.client
import os
import queue
import random
import re
import signal
import subprocess
import sys
import threading
import time

CLIENTS = 200
MAX_UPLOAD = 2 * 1024 * 1024
# short: `make test`; long: `make stress`.
MODES = {
    "short": {"per_client": 10, "down_seconds": 4, "deadline": 150},
    "long": {"per_client": 100, "down_seconds": 10, "deadline": 1500},
}
REQUEST_TIMEOUT = 180  # seconds, per request
# Each wait for an engine is bounded, so that no gateway can hang the run.
ENGINE_TIMEOUT = 60

DISCONNECTED = "\nCommunication failure - Engine Server has disconnected\n"
REPORT = re.compile(
    r"\n(\nCommunication failure - Engine Server has disconnected\n"
    r"|Unable to connect to Engine Server [^\n]* - [^\n]*\n)\n"
)
REPORT_HEADER = "Content-type: text/plain\n\n"


def fail(message):
    print("load: FAIL: " + message, file=sys.stderr, flush=True)
    raise SystemExit(1)


def log(message):
    print("load: " + message, flush=True)


def read(path):
    with open(path, encoding="utf-8") as f:
        return f.read().strip()


# ---------------------------------------------------------------- the site


class Site:
    def __init__(self, directory, build):
        self.dir = directory
        self.build = build
        self.url = read(os.path.join(directory, "url"))
        m = re.match(r"http://127\.0\.0\.1:(\d+)(/.*)$", self.url)
        if not m:
            fail("unexpected site url " + self.url)
        self.port = int(m.group(1))
        self.path = m.group(2)
        self.port_a = int(read(os.path.join(directory, "engine.port")))
        self.port_b = None
        self.engine_b = None
        self.restarted_a = None

    def logs(self, name):
        return os.path.join(self.dir, "logs", name)

    def write_registry(self, file_mode, spool):
        spool_path = os.path.join(self.dir, spool) + "/"
        text = (
            "Windows Registry Editor Version 5.00\n\n"
            "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Halvorn\\KAVRO3\\shop]\n"
            '"ServerURL"="127.0.0.1,127.0.0.1"\n'
            f'"ServerPort"="{self.port_a},{self.port_b}"\n'
            '"MultipleServers"="1"\n'
            '"ApplicationName"="shop"\n'
            f'"FilePath"="{spool_path}"\n'
            f'"FileMode"="{file_mode}"\n'
            f'"EngineTimeout"="{ENGINE_TIMEOUT}"\n'
        )
        target = os.path.join(self.dir, "kavro3.reg")
        with open(target + ".new", "w", encoding="utf-8") as f:
            f.write(text)
        os.chmod(target + ".new", 0o644)
        os.replace(target + ".new", target)

    def start_engine(self, port, log_name, pid_name):
        """A sample engine on `port` (0: any); its port once it listens."""
        log_path = self.logs(log_name)
        for attempt in range(50):
            with open(log_path, "wb") as err:
                proc = subprocess.Popen(
                    [os.path.join(self.build, "sample-engine"), "--address", "127.0.0.1", "--port", str(port)],
                    stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=err, start_new_session=True)
            with open(os.path.join(self.dir, pid_name), "w") as f:
                f.write(f"{proc.pid}\n")
            for _ in range(200):
                line = open(log_path, encoding="utf-8", errors="replace").readline()
                m = re.match(r"sample-engine: listening on 127\.0\.0\.1:(\d+)", line)
                if m:
                    return proc, int(m.group(1))
                if proc.poll() is not None:
                    break
                time.sleep(0.05)
            proc.kill()
            proc.wait()
            time.sleep(0.2)  # the port may still be held by the engine just stopped
        fail(f"the sample engine did not start on port {port}; see {log_path}")

    def stop_engine_a(self):
        """SIGTERM to the engine that site.sh started; it ends its conversations."""
        pid = int(read(os.path.join(self.dir, "engine.pid")))
        comm = read(f"/proc/{pid}/comm")
        if comm != "sample-engine":
            fail(f"engine.pid names {comm}, not the sample engine")
        os.kill(pid, signal.SIGTERM)
        for _ in range(300):  # not our child: watch /proc until it is gone
            try:
                state = read(f"/proc/{pid}/stat").rsplit(")", 1)[1].split()[0]
            except OSError:
                return
            if state in ("Z", "X"):
                return
            time.sleep(0.05)
        fail(f"engine A ({pid}) did not stop within 15 s")

    def served(self, log_name):
        try:
            with open(self.logs(log_name), encoding="utf-8", errors="replace") as f:
                return sum(1 for line in f if " -> " in line)
        except OSError:
            return 0

    def stop_ours(self):
        for proc in (self.engine_b, self.restarted_a):
            if proc is not None and proc.poll() is None:
                proc.send_signal(signal.SIGTERM)
                try:
                    proc.wait(15)
                except subprocess.TimeoutExpired:
                    proc.kill()
                    proc.wait()


# ---------------------------------------------------------------- requests


def multipart(note, file_name, data):
    boundary = "kavro3-load-" + hashlib.sha256(note.encode()).hexdigest()[:24]
    head = (
        f'--{boundary}\r\nContent-Disposition: form-data; name="note"\r\n\r\n{note}\r\n'
        f'--{boundary}\r\nContent-Disposition: form-data; name="up"; filename="{file_name}"\r\n'
        "Content-Type: application/octet-stream\r\n\r\n"
    ).encode()
    return boundary, head + data + f"\r\n--{boundary}--\r\n".encode()


def request(conn, site, job, pool=None):
    """One request; (kind, body) where kind is 'engine' or 'report'."""
    if job["kind"] == "upload" and "data" not in job:
        # Cut from the pool only now: the long run's uploads add up to gigabytes.
        job = dict(job, data=pool[job["start"]:job["start"] + job["size"]])
        job["sha"] = hashlib.sha256(job["data"]).hexdigest()
    if job["kind"] == "get":
        conn.request("GET", f"{site.path}/echo?n={job['id']}&client={job['client']}")
    else:
        boundary, body = multipart(str(job["id"]), f"f{job['id']}.bin", job["data"])
        conn.request("POST", f"{site.path}/echo", body=body,
                     headers={"Content-Type": "multipart/form-data; boundary=" + boundary})
    response = conn.getresponse()
    body = response.read().decode("latin-1")
    if response.status != 200:
        raise AssertionError(f"status {response.status}: {body[:300]!r}")
    if body.startswith("row 0 QUERY_STRING="):
        check_echo(job, body)
        return "engine", body
    check_report(body)
    return "report", body


def check_echo(job, body):
    lines = body.split("\n")
    if job["kind"] == "get":
        if f"field n={job['id']}" not in lines:
            raise AssertionError(f"echo page of GET {job['id']} lacks its field")
        return
    if f"field note={job['id']}" not in lines:
        raise AssertionError(f"echo page of upload {job['id']} lacks its note")
    files = [line for line in lines if line.startswith("file up ")]
    want = f"file up {len(job['data'])} {job['sha']} f{job['id']}.bin"
    if files != [want]:
        raise AssertionError(f"upload {job['id']}: the engine read {files}, the client sent [{want!r}]")


def check_report(body):
    rest = body
    first = True
    while first or rest:
        if not first:
            if not rest.startswith(REPORT_HEADER):
                raise AssertionError(f"neither the engine's page nor a report: {body[:300]!r}")
            rest = rest[len(REPORT_HEADER):]
        m = REPORT.match(rest)
        if not m:
            raise AssertionError(f"neither the engine's page nor a report: {body[:300]!r}")
        if m.group(1) != DISCONNECTED:
            raise AssertionError(f"a report other than a cut conversation: {m.group(1)!r}")
        rest = rest[m.end():]
        first = False


# ---------------------------------------------------------------- the load


def make_jobs(per_client, rng):
    jobs = []
    for client in range(CLIENTS):
        for _ in range(per_client):
            job = {"id": len(jobs), "client": client}
            pick = rng.random()
            if pick < 0.4:
                job["kind"] = "get"
            else:
                job["kind"] = "upload"
                # Mostly small, with the bounds themselves in every run.
                if pick < 0.45:
                    size = 0
                elif pick < 0.5:
                    size = MAX_UPLOAD
                else:
                    size = int(MAX_UPLOAD * rng.random() ** 3)
                job["start"] = rng.randrange(0, MAX_UPLOAD - size + 1)
                job["size"] = size
            jobs.append(job)
    return jobs


class Load:
    def __init__(self, site, jobs, pool, deadline):
        self.site = site
        self.jobs = jobs
        self.pool = pool
        self.deadline = deadline
        self.lock = threading.Lock()
        self.done = 0
        self.engine_pages = 0
        self.reports = 0
        # Engine pages of requests sent after engine A had gone and answered
        # before it was back: engine B's, reached directly or by failover.
        self.pages_while_down = 0
        self.a_gone = None  # monotonic time A was gone
        self.a_back = None
        self.failures = []
        self.retries = 0
        self.half = threading.Event()
        self.per_client = {}
        for job in jobs:
            self.per_client.setdefault(job["client"], []).append(job)

    def client(self, number):
        conn = None
        answered = None  # of the last request on `conn`
        for job in self.per_client[number]:
            if time.monotonic() > self.deadline:
                self.failed(f"client {number}: out of time")
                return
            sent = time.monotonic()
            try:
                if conn is None:
                    conn = http.client.HTTPConnection("127.0.0.1", self.site.port, timeout=REQUEST_TIMEOUT)
                    answered = None
                try:
                    kind, _ = request(conn, self.site, job, self.pool)
                except (http.client.RemoteDisconnected, BrokenPipeError, ConnectionResetError):
                    if answered is None:
                        raise
                    # lighttpd closes a keep-alive connection idle for 5 s; a
                    # client starved of CPU by 200 gateways can send into that
                    # close. Nothing was served: again on a new connection, as
                    # browsers do.
                    with self.lock:
                        self.retries += 1
                    conn.close()
                    conn = http.client.HTTPConnection("127.0.0.1", self.site.port, timeout=REQUEST_TIMEOUT)
                    kind, _ = request(conn, self.site, job, self.pool)
                answered = time.monotonic()
            except (AssertionError, OSError, http.client.HTTPException) as e:
                idle = f" ({sent - answered:.1f} s after the last answer on this connection)" if answered else ""
                self.failed(f"{job['kind']} {job['id']}: {e}{idle}")
                if conn is not None:
                    conn.close()
                conn = None
                continue
            with self.lock:
                self.done += 1
                if kind == "engine":
                    self.engine_pages += 1
                    if self.a_gone is not None and sent > self.a_gone and (
                            self.a_back is None or answered < self.a_back):
                        self.pages_while_down += 1
                else:
                    self.reports += 1
                if self.done * 2 >= len(self.jobs):
                    self.half.set()
        if conn is not None:
            conn.close()

    def failed(self, text):
        with self.lock:
            self.failures.append(text)
            self.done += 1
            if self.done * 2 >= len(self.jobs):
                self.half.set()


def ensure_served(site, log_name, what):
    """Requests one at a time until `log_name` shows a conversation: the start
    server is drawn per second, so a few seconds reach both engines."""
    end = time.monotonic() + 15
    while site.served(log_name) == 0:
        if time.monotonic() > end:
            fail(f"{what} served no request in 15 s")
        conn = http.client.HTTPConnection("127.0.0.1", site.port, timeout=REQUEST_TIMEOUT)
        try:
            job = {"kind": "get", "id": 0, "client": -1}
            request(conn, site, job)
        except (AssertionError, OSError, http.client.HTTPException) as e:
            fail(f"probe for {what}: {e}")
        finally:
            conn.close()
        time.sleep(0.25)


def spool_entries(site, spool):
    return sorted(os.listdir(os.path.join(site.dir, spool)))


def run_load(site, mode, seed, per_client=None):
    settings = dict(MODES[mode])
    if per_client:
        settings["per_client"] = per_client
    rng = random.Random(seed)
    pool = rng.randbytes(MAX_UPLOAD)
    jobs = make_jobs(settings["per_client"], rng)
    uploads = [j for j in jobs if j["kind"] == "upload"]
    log(f"{len(jobs)} requests from {CLIENTS} clients: {len(uploads)} uploads "
        f"({sum(j['size'] for j in uploads) // 1024} KiB), {len(jobs) - len(uploads)} GETs; seed {seed}")

    started = time.monotonic()
    load = Load(site, jobs, pool, started + settings["deadline"])
    threads = [threading.Thread(target=load.client, args=(n,), daemon=True) for n in range(CLIENTS)]
    for t in threads:
        t.start()

    # Half-way: engine A goes, and comes back on its port.
    if not load.half.wait(settings["deadline"]):
        fail("half of the requests did not complete in time")
    ensure_served(site, "engine.log", "engine A before its stop")
    stop_at = time.monotonic()
    site.stop_engine_a()
    with load.lock:
        load.a_gone = time.monotonic()
    log(f"engine A stopped after {load.done} responses ({stop_at - started:.1f} s)")
    time.sleep(settings["down_seconds"])
    with load.lock:
        load.a_back = time.monotonic()
    site.restarted_a, port = site.start_engine(site.port_a, "engine-restarted.log", "engine.pid")
    log(f"engine A back on port {port} after {time.monotonic() - stop_at:.1f} s; "
        f"{load.pages_while_down} requests served meanwhile")

    for t in threads:
        t.join(max(0.0, load.deadline - time.monotonic()) + 1)
    if any(t.is_alive() for t in threads):
        fail(f"clients still running after {settings['deadline']} s")
    elapsed = time.monotonic() - started
    ensure_served(site, "engine-restarted.log", "engine A after its restart")

    log(f"{len(jobs)} responses in {elapsed:.1f} s: {load.engine_pages} engine pages, "
        f"{load.reports} reports of a cut conversation, {load.retries} sent again after an idle close; "
        f"conversations served: engine A "
        f"{site.served('engine.log')} + {site.served('engine-restarted.log')} after its restart, "
        f"engine B {site.served('engine2.log')}")
    if load.failures:
        for text in load.failures[:20]:
            print("  " + text, file=sys.stderr)
        fail(f"{len(load.failures)} of {len(jobs)} requests failed")
    if load.pages_while_down == 0:
        fail("no request sent while engine A was down was served")
    if site.served("engine2.log") == 0:
        fail("engine B served nothing")
    left = spool_entries(site, "spool")
    if left:
        fail(f"FileMode 1 left {len(left)} spooled file(s): {left[:5]}")


def keep_alive_pair(site, pool):
    """FileMode 2: two uploads on one connection within one second share the
    request identifier; the second must take the next index, not the first
    file's name."""
    spool = os.path.join(site.dir, "spool2")
    for attempt in range(10):
        conn = http.client.HTTPConnection("127.0.0.1", site.port, timeout=REQUEST_TIMEOUT)
        paths, sockets = [], []
        jobs = []
        for n in range(2):
            data = pool[n * 1000:n * 1000 + 300000 + n]
            job = {"kind": "upload", "id": 900000 + attempt * 2 + n, "client": -2, "data": data,
                   "sha": hashlib.sha256(data).hexdigest()}
            jobs.append(job)
            kind, body = request(conn, site, job)
            if kind != "engine":
                fail(f"FileMode 2 upload answered with a report: {body!r}")
            m = re.search(r"^field up=(.*)$", body, re.M)
            if not m:
                fail("FileMode 2: no spooled path in the echo page")
            paths.append(m.group(1))
            sockets.append(conn.sock.getsockname() if conn.sock else None)
        conn.close()
        if sockets[0] is None or sockets[0] != sockets[1]:
            fail("the two FileMode 2 uploads did not share one keep-alive connection")
        ids = [os.path.basename(p)[-32:] for p in paths]
        if ids[0] != ids[1]:
            continue  # a second boundary fell between them: try again
        if paths[0] == paths[1]:
            fail(f"both uploads were spooled as {paths[0]}")
        for path, job in zip(paths, jobs):
            if os.path.dirname(path) != spool:
                fail(f"spooled outside {spool}: {path}")
            with open(path, "rb") as f:
                if hashlib.sha256(f.read()).hexdigest() != job["sha"]:
                    fail(f"{path} does not hold its upload")
        log(f"FileMode 2: two uploads on one connection in one second kept as "
            f"{os.path.basename(paths[0])} and {os.path.basename(paths[1])}, both intact")
        return
    fail("ten tries never put two uploads in the same second")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--site", required=True)
    parser.add_argument("--build", required=True)
    parser.add_argument("--mode", choices=sorted(MODES), default="short")
    parser.add_argument("--seed", type=int, default=None)
    # A sanitizer build runs the gateway several times slower: fewer requests
    # keep the short run near a minute there too.
    parser.add_argument("--per-client", type=int, default=None)
    args = parser.parse_args()
    seed = args.seed if args.seed is not None else random.randrange(1 << 30)

    site = Site(args.site, args.build)
    try:
        site.engine_b, site.port_b = site.start_engine(0, "engine2.log", "engine2.pid")
        site.write_registry(1, "spool")
        run_load(site, args.mode, seed, args.per_client)

        spool2 = os.path.join(site.dir, "spool2")
        os.makedirs(spool2, exist_ok=True)
        owner = os.stat(os.path.join(site.dir, "spool"))
        os.chown(spool2, owner.st_uid, owner.st_gid)
        site.write_registry(2, "spool2")
        keep_alive_pair(site, random.Random(seed).randbytes(400000))
    finally:
        site.stop_ours()
    log("passed")


if __name__ == "__main__":
    main()
