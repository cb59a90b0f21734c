"""The download driver against scripted servers on 127.0.0.1, through the
test driver program: attempts, redirects, the 407 reaction, SOCKS refusals,
cancellation and what is left on disk. Runs inside the hermetic sandbox,
where the update host resolves to 127.0.0.1 and port 80 is ours."""
import os
import pathlib
import sys

import pytest

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "servers"))
from conftest import run_windows  # noqa: E402
from scripted import ScriptedServer, answer, http, socks_reply  # noqa: E402

pytestmark = pytest.mark.skipif(not os.environ.get("QUARN_SANDBOXED"),
                                reason="needs the hermetic sandbox (port 80, update host)")

TRANSFER_FAILED = 0x20000004
PROXY_AUTH_FAILED = 0x20000005
HTTP_STATUS = 0x20000006
PATH = "/files/emupdate/20150209.cab"
BODY = bytes(range(256)) * 40


def win(path):
    return "Z:" + str(path).replace("/", "\\")


def fetch(tmp_path, *args):
    target = tmp_path / "20150209.cab"
    if "--mode" not in args:
        args = ("--mode", "0") + args
    rc, out, err = run_windows("transport_fetch.exe",
                               ["--transport", "driver", "--out", win(target), *args], timeout=180)
    assert rc == 0, err
    lines = out.replace("\r\n", "\n").splitlines()
    result = next(l for l in lines if l.startswith("RESULT "))
    _, r, _, s = result.split()
    progress = [l.split(" ", 3)[1:] for l in lines if l.startswith("PROGRESS ")]
    ctx = next(l for l in lines if l.startswith("CONTEXT "))
    return int(r), int(s), progress, ctx, lines, target


def kinds(progress, kind):
    return [p for p in progress if p[0] == str(kind)]


def leftovers(tmp_path):
    return sorted(p.name for p in tmp_path.iterdir())


def test_success_moves_the_file_into_place(tmp_path):
    ok = http(200, [f"Content-Length: {len(BODY)}"], BODY)
    with ScriptedServer([answer(ok)], port=80) as server:
        r, s, progress, _, _, target = fetch(tmp_path)
    assert (r, s) == (0, 200)
    assert target.read_bytes() == BODY
    assert leftovers(tmp_path) == ["20150209.cab"]
    assert server.requests[0].startswith(f"GET {PATH} HTTP/1.0\r\n".encode())
    texts = [p[2] if len(p) > 2 else "" for p in kinds(progress, 3)]
    assert texts == [" 20150209.cab", " 20150209.cab"]
    assert len(kinds(progress, 9)) == 1 and not kinds(progress, 10)


def test_transient_failure_every_time_makes_five_attempts(tmp_path):
    # The body ends before its announced length: a transient failure.
    cut = answer(http(200, ["Content-Length: 1000"], b"x" * 10))
    with ScriptedServer([cut], port=80) as server:
        r, s, progress, _, _, _ = fetch(tmp_path)
    assert r == TRANSFER_FAILED
    assert len(server.requests) == 5
    url = "http://update.quarn.com" + PATH
    assert [p[2] for p in kinds(progress, 3)[1:]] == [" " + url] * 5
    assert len(kinds(progress, 10)) == 5
    assert leftovers(tmp_path) == []


def test_no_connection_gives_up_at_once(tmp_path):
    r, s, progress, _, _, _ = fetch(tmp_path)  # nothing listens on port 80
    assert (r, s) == (TRANSFER_FAILED, 10061)
    texts = kinds(progress, 3)
    assert texts[1] == ["3", "0", ""]  # one empty text after the start message
    assert not kinds(progress, 10)
    assert leftovers(tmp_path) == []


@pytest.mark.parametrize("line, expected_path", [
    ("LOCATION: http://update.quarn.com/Second/B.cab", "/Second/B.cab"),
    ("Location:http://update.quarn.com/nospace.cab", "/nospace.cab"),
    ("Location: /relative/R.cab", "/relative/R.cab"),
])
def test_redirect_is_followed_once(tmp_path, line, expected_path):
    moved = http(302, [line])
    ok = http(200, ["Content-Length: 3"], b"abc")
    with ScriptedServer([answer(moved), answer(ok)], port=80) as server:
        r, s, _, _, _, target = fetch(tmp_path, "--mode", "1", "--auth-mode", "2")
    assert (r, s) == (0, 200)
    assert target.read_bytes() == b"abc"
    second = server.requests[1].split(b"\r\n", 1)[0]
    assert second == f"GET {expected_path} HTTP/1.1".encode()


@pytest.mark.parametrize("steps, attempts", [
    ([answer(http(302, []))], 1),                                               # no location
    ([answer(http(302, ["Location: http://update.quarn.com/loop"]))], 5),   # endless
])
def test_redirect_without_end_fails(tmp_path, steps, attempts):
    with ScriptedServer(steps, port=80) as server:
        r, s, _, _, _, _ = fetch(tmp_path)
    assert (r, s) == (HTTP_STATUS, 302)
    assert len(server.requests) == attempts
    assert leftovers(tmp_path) == []


def proxy_args(port, user="alice", password="s3cret"):
    return ["--mode", "2", "--proxy-host", "127.0.0.1", "--proxy-port", str(port),
            "--user", user, "--password", password]


CHALLENGE = http(407, ["Proxy-Authenticate: NTLM", 'Proxy-Authenticate: Basic realm="q"'])


def test_407_with_basic_retries_through_winsock_with_the_token(tmp_path):
    ok = http(200, ["Content-Length: 3"], b"abc")
    with ScriptedServer([answer(CHALLENGE), answer(ok)]) as proxy:
        r, s, _, ctx, _, target = fetch(tmp_path, *proxy_args(proxy.port))
    assert (r, s) == (0, 200)
    assert "authMode=1" in ctx
    assert b"Proxy-Authorization" not in proxy.requests[0]
    assert b"Proxy-Authorization: Basic YWxpY2U6czNjcmV0\r\n" in proxy.requests[1]
    assert proxy.requests[1].startswith(b"GET http://update.quarn.com" + PATH.encode())


@pytest.mark.parametrize("user, requests", [("alice", 2), ("", 1)])
def test_407_is_answered_once(tmp_path, user, requests):
    with ScriptedServer([answer(CHALLENGE)]) as proxy:
        r, s, _, ctx, _, _ = fetch(tmp_path, *proxy_args(proxy.port, user=user))
    assert (r, s) == (PROXY_AUTH_FAILED, 407)
    assert len(proxy.requests) == requests
    assert "authMode=1" in ctx


@pytest.mark.parametrize("code, expected", [
    (91, TRANSFER_FAILED), (92, TRANSFER_FAILED), (93, PROXY_AUTH_FAILED), (94, HTTP_STATUS)])
def test_socks_refusals(tmp_path, code, expected):
    with ScriptedServer([socks_reply(code)], read_request="once") as proxy:
        r, s, _, _, _, _ = fetch(tmp_path, "--mode", "3", "--proxy-host", "127.0.0.1",
                                 "--proxy-port", str(proxy.port))
    assert (r, s) == (expected, code)
    assert len(proxy.requests) == 1


def test_304_replaces_the_target_with_an_empty_file(tmp_path):
    (tmp_path / "20150209.cab").write_bytes(b"old")
    with ScriptedServer([answer(http(304))], port=80):
        r, s, _, _, _, target = fetch(tmp_path)
    assert (r, s) == (0, 304)
    assert target.read_bytes() == b""


def test_404_reports_its_status(tmp_path):
    with ScriptedServer([answer(http(404, ["Content-Length: 2"], b"no"))], port=80):
        r, s, progress, _, _, _ = fetch(tmp_path)
    assert (r, s) == (HTTP_STATUS, 404)
    assert [p[2] for p in kinds(progress, 3)[1:]] == [" 404"]
    assert leftovers(tmp_path) == []


def test_transport_that_cannot_start_gives_its_status(tmp_path):
    # The WinInet binding has no root handle in direct mode.
    r, s, _, _, _, _ = fetch(tmp_path, "--mode", "0", "--ntlm")
    assert s != 0 and r == s
    assert leftovers(tmp_path) == []


def test_cancel_before_the_first_attempt(tmp_path):
    with ScriptedServer([answer(http(200, [], b"abc"))], port=80) as server:
        r, _, _, _, _, _ = fetch(tmp_path, "--answer", "9:1:-1")
    assert r == 1223
    assert server.requests == []
    assert leftovers(tmp_path) == []


def test_cancel_at_the_end_message_leaves_the_file(tmp_path):
    with ScriptedServer([answer(http(200, [], b"abc"))], port=80):
        r, _, _, _, _, target = fetch(tmp_path, "--answer", "3:2:-1")
    assert r == 1223
    assert target.read_bytes() == b"abc"


def test_read_only_target_is_replaced(tmp_path):
    target = tmp_path / "20150209.cab"
    target.write_bytes(b"old")
    os.chmod(target, 0o444)  # Wine shows a file without write bits as read-only
    with ScriptedServer([answer(http(200, [], b"new"))], port=80):
        r, s, _, _, _, _ = fetch(tmp_path)
    assert (r, s) == (0, 200)
    assert target.read_bytes() == b"new"


def test_retry_after_a_partial_body_keeps_only_the_last_attempt(tmp_path):
    partial = answer(http(200, ["Content-Length: 6"], b"AAA"))
    full = answer(http(200, ["Content-Length: 6"], b"BBBBBB"))
    with ScriptedServer([partial, full], port=80):
        r, s, _, _, _, target = fetch(tmp_path)
    assert (r, s) == (0, 200)
    assert target.read_bytes() == b"BBBBBB"
