"""Local servers for the transfer tests, the update-check tests and the benchmark: FTP
(pyftpdlib), HTTP with well-behaved, slow and hostile answers, and an authenticating squid proxy. All bind to 127.0.0.1 on
free ports; each is a context manager that stops what it started."""
import contextlib
import logging
import os
import re
import shutil
import socket
import struct
import subprocess
import tempfile
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from pathlib import Path

from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import FTPHandler
from pyftpdlib.servers import FTPServer

CHUNK = 1024 * 1024
# A slow server: about 80 KB/s, so that a person has time to press Cancel. Its last two reader
# blocks wait for the server's release event: a reader that stops at a block after the release
# has still not taken the whole file.
DRIP_BYTES, DRIP_SECONDS = 8192, 0.1
DRIP_HELD = 2 * 32768
# A server that stalls: less than a block of a reader, so the reader waits for the rest.
STALL_BYTES = 16384
# A hostile server: a byte a second; a file repeated up to a length no reader should take
# whole; a bound on the redirections it answers.
TRICKLE_SECONDS = 1.0
REPEAT_LENGTH = 2 * 1024 ** 3
REDIRECT_LIMIT = 100000

# pyftpdlib logs every connection and every poll of its loop to stderr unless its logger
# already has a handler.
logging.getLogger("pyftpdlib").addHandler(logging.NullHandler())
logging.getLogger("pyftpdlib").setLevel(logging.WARNING)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_for_port(port, timeout=20.0):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        with contextlib.suppress(OSError), socket.create_connection(("127.0.0.1", port), 0.2):
            return
        time.sleep(0.05)
    raise TimeoutError(f"nothing listens on 127.0.0.1:{port}")


class _PassiveRefused(FTPHandler):
    """A server behind which no passive connection can be made: only PORT works."""

    def ftp_PASV(self, line):
        self.respond("502 Passive mode not allowed here.")

    def ftp_EPSV(self, line):
        self.respond("502 Passive mode not allowed here.")


class _Cut:
    """A producer that passes on at most limit bytes of another."""

    def __init__(self, producer, limit):
        self.producer, self.left = producer, limit

    def more(self):
        data = self.producer.more()[:self.left]
        self.left -= len(data)
        return data


class _Cutting(FTPHandler):
    """Sends only the first cut_after bytes of each of the first cuts transfers (from wherever
    they start), as a connection that breaks off; with refuse_rest, REST is not implemented."""

    cuts, cut_after, refuse_rest = 0, 0, False
    use_sendfile = False        # it would send the whole file past the producer

    def push_dtp_data(self, data, isproducer=False, file=None, cmd=None):
        if cmd == "RETR" and type(self).cuts > 0:
            type(self).cuts -= 1
            data = _Cut(data, self.cut_after)
        super().push_dtp_data(data, isproducer, file, cmd)

    def ftp_REST(self, line):
        if self.refuse_rest:
            self.respond("502 Command not implemented.")
        else:
            super().ftp_REST(line)


@contextlib.contextmanager
def ftp_server(root, passive=True, cuts=0, cut_after=0, refuse_rest=False):
    """Anonymous read-only FTP on root; yields the base URL 'ftp://127.0.0.1:port'. With cuts,
    the first cuts transfers send cut_after bytes only (see _Cutting)."""
    authorizer = DummyAuthorizer()
    authorizer.add_anonymous(str(root))
    base = _Cutting if cuts or refuse_rest else FTPHandler if passive else _PassiveRefused
    handler = type("Handler", (base,),
                   {"authorizer": authorizer, "banner": "test ftp", "cuts": cuts,
                    "cut_after": cut_after, "refuse_rest": refuse_rest})
    server = FTPServer(("127.0.0.1", 0), handler)
    port = server.socket.getsockname()[1]
    stop = threading.Event()

    def loop():
        while not stop.is_set():
            server.serve_forever(timeout=0.05, blocking=False)
        server.close_all()

    thread = threading.Thread(target=loop, daemon=True)
    thread.start()
    try:
        yield f"ftp://127.0.0.1:{port}"
    finally:
        stop.set()
        thread.join(10)


class _Handler(BaseHTTPRequestHandler):
    """Paths: /len/NAME (Content-Length), /chunked/NAME, /status/CODE, /reset/NAME (half the
    body, then a connection reset once the server's reset event is set; a range of it is sent
    whole, as /range/ does), /gate/NAME (half the
    body, the rest once that event is set), /late/NAME (nothing until that event is set, then
    the whole answer), /close (closed before any header), /drip/NAME (the
    length, then DRIP_BYTES every DRIP_SECONDS, the last DRIP_HELD bytes once the server's
    release event is set), /stall/NAME (the length and STALL_BYTES of the body, then nothing
    more until the server stops), /linger/NAME (the whole body without a length, the connection
    closed, which ends it, once the release event is set).
    Hostile ones: /headers/NAME (the length, then nothing), /trickle/NAME (the length, then a
    byte every TRICKLE_SECONDS), /repeat/NAME (REPEAT_LENGTH bytes: the file over and over, made
    while sent); and for any name /mute/ (the request is read, nothing is sent), /proxy-auth/
    (407 for ever, as a proxy that wants a log-on) and /loop/ (302 to the same URL).
    Ranges (see _ranged): /range/NAME, /etag/NAME, /badrange/NAME, /rangeonly/NAME,
    /norange/NAME."""

    protocol_version = "HTTP/1.1"
    root = None
    stopping = None
    reset_now = None
    release = None

    def log_message(self, *args):
        pass

    def do_GET(self):
        parts = self.path.strip("/").split("/", 1)
        kind, name = parts[0], parts[1] if len(parts) > 1 else ""
        if kind == "close":
            self.close_connection = True
            return
        if kind == "status":
            body = f"error {name}\n".encode()
            self._head(int(name), len(body))
            self.wfile.write(body)
            return
        if kind in ("mute", "proxy-auth", "loop"):
            self._hostile(kind)
            return
        path = self.root / name
        if not path.is_file():
            self._head(404, 0)
            return
        size = path.stat().st_size
        if kind == "len":
            self._head(200, size)
            self._send(path, size)
        elif kind == "chunked":
            self._head(200, None)
            self._send_chunked(path)
        elif kind == "reset" and "Range" in self.headers:
            self._ranged("range", path.read_bytes())
        elif kind == "reset":
            self._head(200, size, etag=f'"{size}-0"')
            self._send(path, size // 2)
            self.wfile.flush()
            # Unread data is dropped when the reset arrives: the test says when the client has
            # taken some.
            self.reset_now.wait()
            self._reset()
        elif kind == "late":
            self.reset_now.wait()
            self._head(200, size)
            self._send(path, size)
        elif kind == "gate":
            data = path.read_bytes()
            self._head(200, size)
            self.wfile.write(data[:size // 2])
            self.wfile.flush()
            self.reset_now.wait()
            self.wfile.write(data[size // 2:])
        elif kind == "linger":
            self.send_response(200)
            self.end_headers()
            self.close_connection = True
            self.wfile.write(path.read_bytes())
            self.wfile.flush()
            self.release.wait()
        elif kind in ("drip", "stall"):
            self._head(200, size)
            self._send_slowly(path, kind == "stall")
        elif kind in ("headers", "trickle"):
            self._head(200, size)
            self._trickle(path, kind == "trickle")
        elif kind == "repeat":
            self._head(200, REPEAT_LENGTH)
            self._repeat(path)
        elif kind in ("range", "etag", "badrange", "rangeonly", "norange"):
            self._ranged(kind, path.read_bytes())
        else:
            self._head(404, 0)

    def _ranged(self, kind, data):
        """A "bytes=N-" range is answered with the rest of the file (206) unless an If-Range
        names another ETag than the file's. /etag/ gives every answer an ETag of its own (a file
        that changes between requests), /badrange/ answers a range with the whole file as 206
        from byte 0, /rangeonly/ answers 503 to a request without a range, /norange/ answers
        every request with the whole file (200)."""
        size = len(data)
        type(self).answers += 1
        etag = f'"{size}-{type(self).answers if kind == "etag" else 0}"'
        wanted = re.fullmatch(r"bytes=(\d+)-", self.headers.get("Range", ""))
        if wanted is None and kind == "rangeonly":
            self._head(503, 0)
            return
        start = int(wanted.group(1)) if wanted else None
        if self.headers.get("If-Range", etag) != etag or kind == "norange":
            start = None
        if start is not None and kind == "badrange":
            start = 0
        self.send_response(200 if start is None else 206)
        self.send_header("Content-Length", str(size - (start or 0)))
        self.send_header("ETag", etag)
        self.send_header("Accept-Ranges", "bytes")
        if start is not None:
            self.send_header("Content-Range", f"bytes {start}-{size - 1}/{size}")
        self.end_headers()
        self.wfile.write(data[start or 0:])

    def _hostile(self, kind):
        if kind == "mute":
            self.close_connection = True
            self.stopping.wait()
            return
        if kind == "proxy-auth":
            self.send_response(407)
            self.send_header("Proxy-Authenticate", 'Basic realm="setup-test"')
        else:
            type(self).redirected += 1
            if type(self).redirected > REDIRECT_LIMIT:
                self.close_connection = True
                return
            self.send_response(302)
            self.send_header("Location", f"http://{self.headers['Host']}{self.path}")
        self.send_header("Content-Length", "0")
        self.end_headers()

    def _trickle(self, path, trickle):
        self.close_connection = True
        with open(path, "rb") as f, contextlib.suppress(OSError):
            while trickle and (data := f.read(1)) and not self.stopping.is_set():
                self.wfile.write(data)
                self.stopping.wait(TRICKLE_SECONDS)
            self.stopping.wait()

    def _repeat(self, path):
        # Made while sent, never stored; a reader that stops ends it with a broken connection.
        self.close_connection = True
        data = path.read_bytes()
        block = memoryview(data * (CHUNK // max(1, len(data)) + 1))
        left = REPEAT_LENGTH if data else 0
        with contextlib.suppress(OSError):
            while left > 0 and not self.stopping.is_set():
                piece = block[:left]
                self.wfile.write(piece)
                left -= len(piece)

    def _send_slowly(self, path, stall):
        # A client that still waits for the rest learns, when the server stops, that none comes.
        self.close_connection = True
        with open(path, "rb") as f, contextlib.suppress(OSError):
            if stall:
                self.wfile.write(f.read(STALL_BYTES))
                self.wfile.flush()
                self.stopping.wait()
                return
            size = os.fstat(f.fileno()).st_size
            while (data := f.read(DRIP_BYTES)) and not self.stopping.is_set():
                if f.tell() > size - DRIP_HELD:
                    self.release.wait()
                self.wfile.write(data)
                self.wfile.flush()
                self.stopping.wait(DRIP_SECONDS)

    def _head(self, code, length, etag=None):
        self.send_response(code)
        self.send_header("Content-Type", "application/octet-stream")
        if etag:
            self.send_header("ETag", etag)
        if length is None:
            self.send_header("Transfer-Encoding", "chunked")
        else:
            self.send_header("Content-Length", str(length))
        self.end_headers()

    def _send(self, path, count):
        with open(path, "rb") as f:
            while count > 0:
                data = f.read(min(CHUNK, count))
                if not data:
                    break
                self.wfile.write(data)
                count -= len(data)

    def _send_chunked(self, path):
        with open(path, "rb") as f:
            while data := f.read(CHUNK):
                self.wfile.write(b"%x\r\n%s\r\n" % (len(data), data))
        self.wfile.write(b"0\r\n\r\n")

    def _reset(self):
        # Linger 0: close sends RST instead of FIN.
        self.connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        self.close_connection = True

    def finish(self):
        with contextlib.suppress(OSError, ValueError):
            super().finish()


@contextlib.contextmanager
def http_server(root, reset=None, release=None):
    """Serves root as described in _Handler; yields the base URL 'http://127.0.0.1:port'.
    reset: the event after which /reset/NAME resets its connection, /gate/NAME sends the rest and
    /late/NAME answers;
    release: the event after which /drip/NAME sends the end of its file (each at once when
    None)."""
    stopping = threading.Event()
    if reset is None:
        reset = threading.Event()
        reset.set()
    if release is None:
        release = threading.Event()
        release.set()
    handler = type("Handler", (_Handler,), {"root": Path(root), "stopping": stopping,
                                            "reset_now": reset, "release": release,
                                            "redirected": 0, "answers": 0})
    server = ThreadingHTTPServer(("127.0.0.1", 0), handler)
    server.daemon_threads = True
    thread = threading.Thread(target=server.serve_forever, kwargs={"poll_interval": 0.05},
                              daemon=True)
    thread.start()
    try:
        yield f"http://127.0.0.1:{server.server_address[1]}"
    finally:
        # Slow answers still being sent, and resets and releases still waiting, end first.
        stopping.set()
        reset.set()
        release.set()
        server.shutdown()
        server.server_close()
        thread.join(10)


SQUID_CONFIG = """\
http_port 127.0.0.1:{port}
visible_hostname setup-test
pid_filename {dir}/squid.pid
cache_log {dir}/cache.log
access_log none
cache deny all
coredump_dir {dir}
netdb_filename none
shutdown_lifetime 0 seconds
auth_param basic program /usr/lib/squid/basic_ncsa_auth {dir}/passwd
auth_param basic realm setup-test
acl authenticated proxy_auth REQUIRED
http_access allow authenticated
http_access deny all
"""


@contextlib.contextmanager
def squid_proxy(user, password):
    """squid with basic authentication for one user; yields 'http://127.0.0.1:port'."""
    directory = Path(tempfile.mkdtemp(prefix="setup-squid-"))
    try:
        # squid started as root works as its own user: everything here must be open to it.
        directory.chmod(0o777)
        subprocess.run(["htpasswd", "-bc", str(directory / "passwd"), user, password],
                       check=True, capture_output=True)
        (directory / "passwd").chmod(0o644)
        port = free_port()
        config = directory / "squid.conf"
        config.write_text(SQUID_CONFIG.format(port=port, dir=directory))
        process = subprocess.Popen(["squid", "-N", "-f", str(config)],
                                   stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                   stderr=subprocess.DEVNULL)
        try:
            wait_for_port(port)
            yield f"http://127.0.0.1:{port}"
        finally:
            process.terminate()
            try:
                process.wait(15)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait()
    finally:
        shutil.rmtree(directory, ignore_errors=True)


@contextlib.contextmanager
def closed_port():
    """A port on which nothing listens, for as long as the block lasts: bound but never
    listening, so that connections to it are refused and nothing else can take it meanwhile."""
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        yield s.getsockname()[1]


@contextlib.contextmanager
def unaccepting_port():
    """A port that listens but never accepts, its queue full, so that a further connection is
    never made (the system drops its request); yields the port."""
    with socket.socket() as server:
        server.bind(("127.0.0.1", 0))
        server.listen(0)
        port = server.getsockname()[1]
        fillers = []
        try:
            for _ in range(3):
                filler = socket.socket()
                filler.setblocking(False)
                filler.connect_ex(("127.0.0.1", port))
                fillers.append(filler)
            time.sleep(0.2)
            yield port
        finally:
            for filler in fillers:
                filler.close()


NGINX_CONFIG = """\
daemon on;
pid {dir}/nginx.pid;
error_log {dir}/error.log;
worker_processes 1;
events {{ worker_connections 64; }}
http {{
    access_log off;
    client_body_temp_path {dir}/body;
    proxy_temp_path {dir}/proxy;
    fastcgi_temp_path {dir}/fastcgi;
    uwsgi_temp_path {dir}/uwsgi;
    scgi_temp_path {dir}/scgi;
    server {{
        listen 127.0.0.1:{port};
        root {root};
    }}
}}
"""


@contextlib.contextmanager
def nginx_server(root):
    """Debian's nginx as a plain process serving root (ranges, ETag, Last-Modified); yields
    'http://127.0.0.1:port'."""
    directory = Path(tempfile.mkdtemp(prefix="setup-nginx-"))
    try:
        port = free_port()
        config = directory / "nginx.conf"
        # Its workers would run as nobody, who can't enter a test's own folders.
        user = "user root;\n" if os.geteuid() == 0 else ""
        config.write_text(user + NGINX_CONFIG.format(port=port, dir=directory,
                                                     root=Path(root).resolve()))
        subprocess.run(["nginx", "-c", str(config), "-e", str(directory / "error.log")],
                       check=True, stdin=subprocess.DEVNULL, capture_output=True)
        try:
            wait_for_port(port)
            yield f"http://127.0.0.1:{port}"
        finally:
            subprocess.run(["nginx", "-c", str(config), "-e", str(directory / "error.log"),
                            "-s", "quit"], stdin=subprocess.DEVNULL, capture_output=True)
            pid = directory / "nginx.pid"
            deadline = time.monotonic() + 10
            while pid.exists() and time.monotonic() < deadline:
                time.sleep(0.05)
    finally:
        shutil.rmtree(directory, ignore_errors=True)


@contextlib.contextmanager
def cutting_relay(target, cuts, after, then="pass"):
    """A TCP relay in front of target ('http://127.0.0.1:port'): each of its first cuts
    connections is closed once it has passed after bytes towards the client; later ones pass
    whole, or are closed at once (then="refuse"), or are held without an answer until the relay
    stops (then="stall"). Yields the relay's base URL and a list of the connections it cut."""
    target_port = int(target.rsplit(":", 1)[1])
    listener = socket.socket()
    listener.bind(("127.0.0.1", 0))
    listener.listen(16)
    listener.settimeout(0.05)
    stopping = threading.Event()
    cut = []
    stalled = []

    def pump(source, sink, limit):
        passed = 0
        with contextlib.suppress(OSError):
            while not stopping.is_set():
                data = source.recv(65536 if limit is None else min(65536, limit - passed))
                if not data:
                    break
                sink.sendall(data)
                passed += len(data)
                if limit is not None and passed >= limit:
                    cut.append(passed)
                    break
        for s in (source, sink):
            with contextlib.suppress(OSError):
                s.shutdown(socket.SHUT_RDWR)

    def serve(client, limit):
        with client, socket.create_connection(("127.0.0.1", target_port)) as upstream:
            up = threading.Thread(target=pump, args=(client, upstream, None), daemon=True)
            up.start()
            pump(upstream, client, limit)
            up.join(5)

    pumps = []

    def accept():
        while not stopping.is_set():
            try:
                client, _ = listener.accept()
            except socket.timeout:
                continue
            except OSError:
                break
            if len(pumps) >= cuts and then != "pass":
                if then == "stall":
                    stalled.append(client)
                else:
                    client.close()
                continue
            limit = after if len(pumps) < cuts else None
            thread = threading.Thread(target=serve, args=(client, limit), daemon=True)
            pumps.append(thread)
            thread.start()

    acceptor = threading.Thread(target=accept, daemon=True)
    acceptor.start()
    try:
        yield f"http://127.0.0.1:{listener.getsockname()[1]}", cut
    finally:
        stopping.set()
        acceptor.join(5)
        listener.close()
        for client in stalled:
            client.close()
        for thread in pumps:
            thread.join(5)


def make_file(path, size):
    """Writes size pseudo-random bytes; returns the path."""
    path = Path(path)
    with open(path, "wb") as f:
        left = size
        while left > 0:
            n = min(CHUNK, left)
            f.write(os.urandom(n))
            left -= n
    return path
