"""A web service whose workers share one gdbm file through kvstore.Shared:
a visit counter, a cache of slow answers and sessions kept in a cookie.

    gunicorn --workers 4 --chdir examples web_service:app

GET /count reads the counter and POST /count adds one; GET /square/N
answers N squared after a slow computation, which the first request for N
stores and the others read; GET /session counts the requests of the
client's session, named by its cookie. The file is service.db in the
current folder, or the one that SERVICE_DB names.
"""

import json
import os
import secrets
import time
from collections.abc import Iterable
from http.cookies import SimpleCookie
from wsgiref.types import StartResponse, WSGIEnvironment

import kvstore

# Made once, at import: a Shared holds nothing open between operations, so
# gunicorn may import this module before it forks its workers (--preload)
# or in each worker, and every worker uses the file in turns.
store = kvstore.Shared(os.environ.get("SERVICE_DB", "service.db"), timeout=10)

SESSION_SECONDS = 30 * 60


def app(environ: WSGIEnvironment, start_response: StartResponse) -> Iterable[bytes]:
    path = environ.get("PATH_INFO", "/")
    try:
        if path == "/count":
            return counter(environ, start_response)
        if path.startswith("/square/") and path.removeprefix("/square/").isdigit():
            return square(int(path.removeprefix("/square/")), start_response)
        if path == "/session":
            return session(environ, start_response)
    except kvstore.error as failed:
        # A turn that waited longer than the timeout: the file is busy.
        return reply(start_response, {"error": failed.strerror}, "503 Service Unavailable")
    return reply(start_response, {"error": "not found"}, "404 Not Found")


def counter(environ: WSGIEnvironment, start_response: StartResponse) -> Iterable[bytes]:
    if environ["REQUEST_METHOD"] == "POST":
        # Read, add and store in one writer's turn: no increment is lost.
        visits = store.incr(b"visits")
    else:
        visits = int(store.get(b"visits", b"0"))
    return reply(start_response, {"visits": visits})


def square(number: int, start_response: StartResponse) -> Iterable[bytes]:
    key = b"square:%d" % number
    cached = store.get(key)
    if cached is None:
        time.sleep(0.05)  # the slow computation
        # The first answer stored is the one every worker gives from then on.
        cached = store.setdefault(key, b"%d" % (number * number))
        return reply(start_response, {"square": int(cached), "cached": False})
    return reply(start_response, {"square": int(cached), "cached": True})


def session(environ: WSGIEnvironment, start_response: StartResponse) -> Iterable[bytes]:
    cookie = SimpleCookie(environ.get("HTTP_COOKIE", ""))
    name = cookie["session"].value if "session" in cookie else secrets.token_hex(16)
    now = time.time()

    def visit(stored: bytes | None) -> bytes:
        data = json.loads(stored) if stored is not None else {}
        if not data or now - data["seen"] > SESSION_SECONDS:
            data = {"started": now, "requests": 0}
        data["requests"] += 1
        data["seen"] = now
        return json.dumps(data).encode()

    # Read the session, change it and store it back in one writer's turn.
    data = json.loads(store.transform(b"session:" + name.encode(), visit) or b"{}")
    headers = [("Set-Cookie", f"session={name}; HttpOnly; Path=/; Max-Age={SESSION_SECONDS}")]
    return reply(start_response, {"requests": data["requests"]}, headers=headers)


def reply(start_response: StartResponse, body: object, status: str = "200 OK",
          headers: list[tuple[str, str]] | None = None) -> Iterable[bytes]:
    content = json.dumps(body).encode()
    start_response(status, [("Content-Type", "application/json"),
                            ("Content-Length", str(len(content))), *(headers or [])])
    return [content]
