"""The web service of docs/services.md (examples/web_service.py), served by
a real gunicorn with several workers on the loopback interface and asked
by a real HTTP client: the counter ends at the number of increments that
were answered, with and without --preload, and with a worker killed (-9)
in the middle of the run."""

import http.client
import json
import os
import signal
import socket
import subprocess
import sys
import threading
import time
from pathlib import Path

import pytest

import kvstore
from support.paths import ROOT

pytest.importorskip("gunicorn", reason="gunicorn (requirements-dev.txt) serves the example")

# Workers killed in the middle of a run, a server on the loopback interface.
pytestmark = pytest.mark.serial

EXAMPLES = ROOT / "examples"
WORKERS = 4
CLIENTS = 4
INCREMENTS = 100  # by each client
DEADLINE = 120.0  # seconds for any wait of this file


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def request(port, method, path, headers=None):
    """(status, JSON body, response headers) of one request on a new connection."""
    connection = http.client.HTTPConnection("127.0.0.1", port, timeout=30)
    try:
        connection.request(method, path, headers=headers or {})
        response = connection.getresponse()
        return response.status, json.loads(response.read()), response
    finally:
        connection.close()


def workers_of(master):
    children = Path(f"/proc/{master}/task/{master}/children")
    if children.exists():
        return [int(pid) for pid in children.read_text().split()]
    return [int(stat.parent.name) for stat in Path("/proc").glob("[0-9]*/stat")
            if stat.read_text().rsplit(")", 1)[-1].split()[1] == str(master)]


@pytest.fixture(params=["each worker imports", "--preload"])
def service(request, tmp_path):
    """The example served by gunicorn: (its port, its master process, the database path)."""
    port = free_port()
    database = tmp_path / "service.db"
    command = [sys.executable, "-m", "gunicorn", "--workers", str(WORKERS), "--bind", f"127.0.0.1:{port}",
               "--chdir", str(EXAMPLES), "--graceful-timeout", "5", "--log-level", "warning",
               *(["--preload"] if request.param == "--preload" else []), "web_service:app"]
    env = dict(os.environ, SERVICE_DB=str(database))
    with open(tmp_path / "gunicorn.log", "w") as log:
        master = subprocess.Popen(command, env=env, cwd=tmp_path, stdout=subprocess.DEVNULL, stderr=log)
    end = time.monotonic() + DEADLINE
    while True:
        try:
            if request_ok(port):
                break
        except OSError:
            pass
        assert master.poll() is None, (tmp_path / "gunicorn.log").read_text()
        assert time.monotonic() < end, "gunicorn did not answer"
        time.sleep(0.1)
    yield port, master, database
    master.send_signal(signal.SIGTERM)
    try:
        master.wait(DEADLINE)
    except subprocess.TimeoutExpired:
        master.kill()
        master.wait()


def request_ok(port):
    return request(port, "GET", "/count")[0] == 200


def increment(port, answered, failed):
    """POSTs /count INCREMENTS times; counts the answered requests and those
    that got no answer (a worker killed while it served them)."""
    for _ in range(INCREMENTS):
        try:
            status, body, _ = request(port, "POST", "/count")
        except (OSError, http.client.HTTPException):
            failed.append(1)
            continue
        assert status == 200, body
        answered.append(body["visits"])


@pytest.mark.parametrize("kill", [False, True], ids=["", "a worker killed"])
def test_the_counter_counts_every_answered_increment(service, kill):
    port, master, database = service
    answered, failed = [], []
    clients = [threading.Thread(target=increment, args=(port, answered, failed)) for _ in range(CLIENTS)]
    for client in clients:
        client.start()
    if kill:
        end = time.monotonic() + DEADLINE
        while len(answered) < INCREMENTS and time.monotonic() < end:
            time.sleep(0.01)
        os.kill(workers_of(master.pid)[0], signal.SIGKILL)
    for client in clients:
        client.join(DEADLINE)
        assert not client.is_alive()
    visits = request(port, "GET", "/count")[1]["visits"]
    # An increment whose worker was killed before it answered may or may not
    # have been stored, and never twice.
    assert len(answered) <= visits <= len(answered) + len(failed)
    assert len(answered) + len(failed) == CLIENTS * INCREMENTS
    assert len(set(answered)) == len(answered)
    if not kill:
        assert visits == CLIENTS * INCREMENTS
    assert kvstore.Shared(database, "r")[b"visits"] == b"%d" % visits
    # The service answers after the kill: gunicorn started a new worker.
    assert request_ok(port)


def test_the_cache_and_the_sessions(service):
    port, _, _ = service
    assert request(port, "GET", "/square/12")[1] == {"square": 144, "cached": False}
    assert all(request(port, "GET", "/square/12")[1] == {"square": 144, "cached": True} for _ in range(8))
    status, body, response = request(port, "GET", "/session")
    assert (status, body) == (200, {"requests": 1})
    cookie = response.getheader("Set-Cookie").split(";")[0]
    # Any worker may serve the next requests: the session is in the file.
    for number in range(2, 10):
        assert request(port, "GET", "/session", {"Cookie": cookie})[1] == {"requests": number}
    assert request(port, "GET", "/session")[1] == {"requests": 1}
    assert request(port, "GET", "/nowhere")[0] == 404
