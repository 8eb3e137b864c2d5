"""A small threaded HTTP server for tests and benchmarks that read tiles over HTTP.

It serves a folder and/or in-memory files on 127.0.0.1 with an ephemeral
port, records every request, and injects faults per path:

    with TileServer(folder, latency=0.025) as server:
        server.put("/a/tileset.json", b"{...}")        # in-memory file (wins over the folder)
        server.fail("/a/t.glb", 503, times=2)          # two 503s, then the file
        server.fail("/a/u.glb", 429, retry_after=1)    # one 429 with Retry-After: 1
        server.reset("/a/v.glb")                       # connection reset before any byte
        server.truncate("/a/w.glb", times=None)        # body cut short of Content-Length, for good
        server.gzip("/a/x.glb")                        # Content-Encoding: gzip
        server.gzip("/a/y.glb", truncate=True)         # gzip stream that ends early
        server.require_header("Authorization", "Bearer k")   # 401 without it
        server.require_query("key", "K")                     # 403 without it
        url = server.url + "/a/tileset.json"
        ...
        server.requests            # [Request(path, query, headers), ...] in arrival order
        server.requests_for("/a/t.glb")

Faults count down per path (`times`; None = every request); a path of None
applies to every path. Paths are the decoded URL path, starting with '/'.
Everything is answered with HTTP/1.1 keep-alive and a Content-Length.
"""

from __future__ import annotations

import gzip as _gzip
import io
import socket
import struct
import threading
import time
from dataclasses import dataclass, field
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from pathlib import Path
from urllib.parse import parse_qs, unquote, urlsplit


@dataclass
class Request:
    path: str
    query: dict[str, list[str]]
    headers: dict[str, str]  # names in lower case


@dataclass
class _Fault:
    kind: str  # "status", "reset", "truncate"
    times: int | None
    status: int = 503
    retry_after: float | str | None = None


@dataclass
class _Gzip:
    truncate: bool = False


class TileServer:
    def __init__(self, root: str | Path | None = None, *, latency: float = 0.0):
        self.root = Path(root).resolve() if root is not None else None
        self.latency = latency
        self.files: dict[str, bytes] = {}
        self.requests: list[Request] = []
        self._faults: dict[str | None, list[_Fault]] = {}
        self._gzip: dict[str | None, _Gzip] = {}
        self._headers: list[tuple[str, str]] = []
        self._queries: list[tuple[str, str]] = []
        self._lock = threading.Lock()
        self._httpd: ThreadingHTTPServer | None = None
        self._thread: threading.Thread | None = None

    # ------------------------------------------------------------ setup
    def put(self, path: str, data: bytes) -> str:
        """Serves `data` at `path`; returns the full URL."""
        self.files[path] = data
        return self.url + path

    def fail(self, path: str | None, status: int = 503, *, times: int | None = 1,
             retry_after: float | str | None = None) -> None:
        self._add(path, _Fault("status", times, status, retry_after))

    def reset(self, path: str | None, *, times: int | None = 1) -> None:
        self._add(path, _Fault("reset", times))

    def truncate(self, path: str | None, *, times: int | None = 1) -> None:
        self._add(path, _Fault("truncate", times))

    def gzip(self, path: str | None, *, truncate: bool = False) -> None:
        self._gzip[path] = _Gzip(truncate)

    def require_header(self, name: str, value: str) -> None:
        self._headers.append((name.lower(), value))

    def require_query(self, name: str, value: str) -> None:
        self._queries.append((name, value))

    def _add(self, path, fault):
        with self._lock:
            self._faults.setdefault(path, []).append(fault)

    # ---------------------------------------------------------- queries
    @property
    def url(self) -> str:
        host, port = self._httpd.server_address[:2]
        return f"http://{host}:{port}"

    def requests_for(self, path: str) -> list[Request]:
        with self._lock:
            return [r for r in self.requests if r.path == path]

    # -------------------------------------------------------- lifecycle
    def __enter__(self) -> "TileServer":
        owner = self

        class Handler(_Handler):
            server_owner = owner

        self._httpd = _Server(("127.0.0.1", 0), Handler)
        self._httpd.daemon_threads = True
        self._thread = threading.Thread(target=self._httpd.serve_forever, kwargs={"poll_interval": 0.05},
                                        daemon=True)
        self._thread.start()
        return self

    def __exit__(self, *exc) -> None:
        self._httpd.shutdown()
        self._httpd.server_close()
        self._thread.join(5)

    # ---------------------------------------------------------- serving
    def _take_fault(self, path: str) -> _Fault | None:
        with self._lock:
            for key in (path, None):
                for fault in self._faults.get(key, []):
                    if fault.times is None:
                        return fault
                    if fault.times > 0:
                        fault.times -= 1
                        return fault
        return None

    def _content(self, path: str) -> bytes | None:
        if path in self.files:
            return self.files[path]
        if self.root is None:
            return None
        target = (self.root / path.lstrip("/")).resolve()
        if not target.is_relative_to(self.root) or not target.is_file():
            return None
        return target.read_bytes()


class _Server(ThreadingHTTPServer):
    # The default listen backlog (5) drops connections when many clients
    # connect at once, and each dropped SYN costs the client a second.
    request_queue_size = 128


class _Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    # Headers and body go out in separate writes; with Nagle's algorithm the body
    # then waits for the client's delayed ACK (about 40 ms per request on Linux),
    # which would add to the latency the server is asked to simulate.
    disable_nagle_algorithm = True
    server_owner: TileServer

    def log_message(self, format, *args):  # keep test output clean
        pass

    def do_HEAD(self):
        self.do_GET(head=True)

    def do_GET(self, head: bool = False):
        srv = self.server_owner
        split = urlsplit(self.path)
        path = unquote(split.path)
        query = parse_qs(split.query, keep_blank_values=True)
        headers = {k.lower(): v for k, v in self.headers.items()}
        with srv._lock:
            srv.requests.append(Request(path, query, headers))
        if srv.latency:
            time.sleep(srv.latency)
        fault = srv._take_fault(path)
        if fault is not None and fault.kind == "reset":
            return self._reset()
        if fault is not None and fault.kind == "status":
            extra = [("Retry-After", str(fault.retry_after))] if fault.retry_after is not None else []
            return self._send(fault.status, b"fault injected\n", extra, head)
        for name, value in srv._headers:
            if headers.get(name) != value:
                return self._send(401, b"missing or wrong header\n", [], head)
        for name, value in srv._queries:
            if query.get(name) != [value]:
                return self._send(403, b"missing or wrong query parameter\n", [], head)
        body = srv._content(path)
        if body is None:
            return self._send(404, b"not found\n", [], head)
        extra = []
        gz = srv._gzip.get(path) or srv._gzip.get(None)
        if gz is not None:
            body = _gzip.compress(body, mtime=0)
            if gz.truncate:
                body = body[:max(1, len(body) // 2)]
            extra.append(("Content-Encoding", "gzip"))
        if fault is not None and fault.kind == "truncate":
            self.send_response(200)
            self.send_header("Content-Length", str(len(body)))
            for k, v in extra:
                self.send_header(k, v)
            self.end_headers()
            self.wfile.write(body[:len(body) // 2])
            self.close_connection = True  # the server closes: the client sees the body end early
            return
        self._send(200, body, extra, head)

    def _send(self, status, body, extra, head):
        self.send_response(status)
        self.send_header("Content-Length", str(len(body)))
        for k, v in extra:
            self.send_header(k, v)
        self.end_headers()
        if not head:
            self.wfile.write(body)

    def _reset(self):
        """Closes the connection with a TCP reset before sending anything."""
        self.close_connection = True
        sock = self.connection
        self.rfile.close()
        self.wfile.close()
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        sock.close()
        self.wfile = io.BytesIO()  # what the handler still flushes goes nowhere
