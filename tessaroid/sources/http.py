"""HTTP(S) reads with requests, retried by urllib3's Retry within a time budget.

One Session per process and FetchConfig, made lazily under a lock, with a
connection pool as large as the configured number of concurrent downloads.
Status retries (429 and 5xx), connection errors and resets are handled by
urllib3 inside the request. The body is read here, outside urllib3: requests
always asks urllib3 for an unread body (preload_content=False), so a body cut
short of its Content-Length, or a gzip transfer encoding that ends early, is
not retried by urllib3 itself; that case goes through the same Retry object's
increment() and sleep() and a new request.
"""

from __future__ import annotations

import os
import threading
import time

from .base import SourceError, TruncatedStream, decode_stream, stats

_sessions: dict = {}
_sessions_lock = threading.Lock()
_local = threading.local()  # per-thread deadline of the fetch in progress

RETRY_STATUSES = frozenset({429, 500, 502, 503, 504})
_CHUNK = 1 << 20


def _retry_class():
    from urllib3.exceptions import MaxRetryError
    from urllib3.util.retry import Retry

    class BudgetRetry(Retry):
        """Retry whose give-up point is a deadline (the fetch's time budget)
        rather than only a count; Retry-After is a minimum wait, backoff may
        make it longer. A wait that would end past the deadline is not taken."""

        def _wait(self, response=None) -> float:
            wait = self.get_backoff_time()
            if response is not None and self.respect_retry_after_header:
                after = self.get_retry_after(response)
                if after is not None:
                    wait = max(wait, after)
            return wait

        def parse_retry_after(self, retry_after: str) -> float:
            # Fractions of seconds are taken too; a header that is neither
            # seconds nor a date is ignored (the backoff applies) rather than
            # failing the fetch.
            try:
                return max(0.0, float(retry_after))
            except ValueError:
                pass
            try:
                return super().parse_retry_after(retry_after)
            except Exception:
                return 0.0

        def increment(self, method=None, url=None, response=None, error=None, _pool=None, _stacktrace=None):
            new = super().increment(method, url, response=response, error=error, _pool=_pool,
                                    _stacktrace=_stacktrace)
            deadline = getattr(_local, "deadline", None)
            if deadline is not None and time.monotonic() + new._wait(response) > deadline:
                from urllib3.exceptions import ResponseError

                reason = error or ResponseError(f"HTTP {getattr(response, 'status', '?')}")
                raise MaxRetryError(_pool, url, reason) from reason
            stats.add("retries")
            stats.add("requests")
            _local.tries = getattr(_local, "tries", 1) + 1
            return new

        def sleep(self, response=None) -> None:
            wait = self._wait(response)
            if wait > 0:
                time.sleep(wait)

    return BudgetRetry


def _make_retry(budget: float):
    # Backoff grows 2x per try from a factor scaled to the budget (so a short
    # budget in tests still gets several tries), capped so that a long budget
    # keeps trying at a steady pace; jitter spreads clients that failed together.
    factor = min(0.5, budget / 16) if budget > 0 else 0.0
    return _retry_class()(
        total=1000 if budget > 0 else 0,
        connect=None, read=None, status=None, other=None, redirect=10,
        backoff_factor=factor,
        backoff_jitter=factor,
        backoff_max=max(factor, min(30.0, budget / 4)),
        status_forcelist=RETRY_STATUSES,
        allowed_methods=frozenset({"GET", "HEAD"}),
        respect_retry_after_header=True,
        raise_on_status=False,  # the last answer comes back; its status goes into the error
        raise_on_redirect=True,
    )


def session_for(config):
    key = (os.getpid(), config)
    session = _sessions.get(key)
    if session is not None:
        return session
    with _sessions_lock:
        session = _sessions.get(key)
        if session is None:
            import requests
            from requests.adapters import HTTPAdapter

            session = requests.Session()
            adapter = HTTPAdapter(pool_connections=4, pool_maxsize=max(10, config.downloads),
                                  max_retries=_make_retry(config.retry_seconds), pool_block=False)
            session.mount("http://", adapter)
            session.mount("https://", adapter)
            # Only the transfer encodings decoded below; a user header may override.
            session.headers["Accept-Encoding"] = "gzip, deflate"
            session.headers["User-Agent"] = "tessaroid"
            for name, value in config.headers:
                session.headers[name] = value
            _sessions[key] = session
    return session


class _Truncated(Exception):
    pass


def _read_body(resp, limit: int, display: str) -> bytes:
    """The whole body, transfer-decoded; _Truncated when it ends early."""
    from urllib3.exceptions import HTTPError as Urllib3Error

    raw = resp.raw
    parts = []
    size = 0
    try:
        while True:
            chunk = raw.read(_CHUNK, decode_content=False)
            if not chunk:
                break
            size += len(chunk)
            if size > limit:
                raise SourceError(display, f"larger than {limit} bytes (refused)")
            parts.append(chunk)
    except (Urllib3Error, OSError) as e:  # IncompleteRead, reset mid-body, read timeout
        raise _Truncated(str(e)) from e
    body = b"".join(parts)
    stats.add("bytes", len(body))
    encoding = resp.headers.get("Content-Encoding", "").strip().lower()
    for enc in [e.strip() for e in reversed(encoding.split(",")) if e.strip()]:
        if enc in ("identity",):
            continue
        if enc not in ("gzip", "x-gzip", "deflate"):
            raise SourceError(display, f"unsupported Content-Encoding {enc!r}")
        try:
            if enc == "deflate":
                # Servers send either zlib-wrapped or raw deflate under this name.
                try:
                    body = decode_stream(body, limit, wbits=15)
                except Exception:
                    body = decode_stream(body, limit, wbits=-15)
            else:
                body = decode_stream(body, limit, wbits=31)
        except TruncatedStream:
            raise _Truncated(f"{enc} transfer encoding ends early") from None
        except OverflowError:
            raise SourceError(display, f"decompresses to more than {limit} bytes (refused)") from None
        except Exception as e:
            raise SourceError(display, f"damaged {enc} transfer encoding ({e})") from None
    return body


def fetch(url: str, display: str, config) -> bytes:
    """GET `url` (with its query) and return the body; SourceError otherwise."""
    import requests
    from urllib3.exceptions import MaxRetryError, ProtocolError

    session = session_for(config)
    adapter = session.get_adapter(url)
    _local.deadline = time.monotonic() + config.retry_seconds
    _local.tries = 1
    stats.add("requests")
    timeout = (min(config.timeout, 30.0), config.timeout)
    retry = adapter.max_retries
    try:
        while True:
            try:
                resp = session.get(url, timeout=timeout, stream=True, allow_redirects=True)
            except requests.exceptions.Timeout as e:
                raise SourceError(display, f"timed out after {_local.tries} tries ({_reason(e, url)})") from None
            except requests.exceptions.ConnectionError as e:
                raise SourceError(display, f"cannot connect after {_local.tries} tries ({_reason(e, url)})") from None
            except requests.exceptions.RequestException as e:
                raise SourceError(display, f"request failed ({_reason(e, url)})") from None
            with resp:
                if resp.status_code >= 400:
                    tries = f" after {_local.tries} tries" if _local.tries > 1 else ""
                    raise SourceError(display, f"HTTP {resp.status_code} {resp.reason or ''}".rstrip() + tries,
                                      status=resp.status_code)
                try:
                    return _read_body(resp, config.max_bytes, display)
                except _Truncated as e:
                    # The tries of this request (status retries included) join
                    # those before it, so that backoff keeps growing.
                    inner = resp.raw.retries.history if resp.raw.retries is not None else ()
                    try:
                        retry = retry.new(history=retry.history + inner).increment(
                            "GET", url, error=ProtocolError(str(e)))
                    except MaxRetryError:
                        raise SourceError(display, f"body truncated after {_local.tries} tries ({e})") from None
            retry.sleep()
    except SourceError:
        stats.add("failed")
        raise
    finally:
        _local.deadline = None


def _reason(exc: BaseException, url: str = "") -> str:
    """The innermost useful cause of a requests/urllib3 error, in a few words."""
    from urllib3.exceptions import MaxRetryError

    e = exc
    for _ in range(8):
        inner = e.args[0] if e.args and isinstance(e.args[0], BaseException) else None
        if isinstance(e, MaxRetryError) and e.reason is not None:
            inner = e.reason
        if inner is None:
            inner = e.__cause__ or e.__context__
        if inner is None:
            break
        e = inner
    text = str(e) or type(e).__name__
    # urllib3 puts the connection object's repr in front: keep the part after it.
    if ">: " in text:
        text = text.split(">: ", 1)[1]
    text = text.strip("() ")
    # Never let the query (an API key) into a message.
    query = url.partition("?")[2]
    return text.replace(query, "...") if query else text
