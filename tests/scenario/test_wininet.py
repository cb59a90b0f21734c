"""The WinInet transport under Wine's real WinInet, through the test driver
program, against peers on 127.0.0.1: a scripted HTTP proxy where a case
needs exact bytes or misbehaviour, the real squid (with and without Basic
proxy authentication), Python's file server, and a TLS file server whose
test authority the prefix trusts for the length of a test. Runs inside the
hermetic sandbox, where origin.test and proxy.test resolve to 127.0.0.1."""
import base64
import dataclasses
import os
import pathlib
import sys
import time
import typing

import pytest

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "servers"))
from conftest import BUILD, run_windows, win_path  # noqa: E402
import peers  # noqa: E402
import sandbox_runner  # noqa: E402
from scripted import ScriptedServer, answer, http  # noqa: E402
import wininet_tls  # noqa: E402

pytestmark = pytest.mark.skipif(not os.environ.get("QUARN_SANDBOXED"),
                                reason="needs the hermetic sandbox (origin.test, proxy.test)")

AGENT = "Pullar/5.00 (unknown)"
ORIGIN_URL = "http://origin.test:8000/files/emupdate/20150209.cab"
BODY = bytes(range(256)) * 97  # 24832 bytes: several reads of 8192
LAST_MODIFIED = "Last-Modified: Mon, 09 Feb 2015 10:00:00 GMT"
HEADER_NOT_FOUND = 12150       # ERROR_HTTP_HEADER_NOT_FOUND
CONNECTION_ABORTED = 12030
UNRECOGNIZED_SCHEME = 12006


@dataclasses.dataclass
class Fetch:
    result: int
    status: int
    headers: str
    progress: list      # (kind, value) in order
    context: dict
    lines: list         # the log lines: neither progress nor the driver's own
    body: typing.Optional[bytes]
    results: list       # (result, status) of every call, for --repeat



def fetch(tmp_path, *args, out=True, timeout=180):
    """One run of the test driver with the WinInet transport."""
    target = tmp_path / "body.bin"
    cmd = ["--transport", "wininet", *args]
    if out:
        cmd += ["--out", win_path(target)]
    rc, text, err = run_windows("transport_fetch.exe", cmd, timeout=timeout)
    assert rc == 0, err
    lines = text.replace("\r\n", "\n").splitlines()
    results = [l.split() for l in lines if l.startswith("RESULT ")]
    headers = [bytes.fromhex(l[len("HEADERS "):].strip()).decode("latin-1")
               for l in lines if l.startswith("HEADERS")]
    progress = [tuple(int(x) for x in l.split()[1:3]) for l in lines if l.startswith("PROGRESS ")]
    ctx = next(l for l in lines if l.startswith("CONTEXT "))
    context = dict(item.split("=") for item in ctx.split()[1:])
    log = [l for l in lines if not l.startswith(("PROGRESS ", "RESULT ", "HEADERS", "CONTEXT "))]
    return Fetch(int(results[-1][1]), int(results[-1][3]), headers[-1], progress, context, log,
                 target.read_bytes() if out and target.exists() else None,
                 [(int(r[1]), int(r[3])) for r in results])


def via_proxy(port, *args):
    return ("--mode", "2", "--proxy-host", "127.0.0.1", "--proxy-port", str(port), *args)


def header_lines(raw: bytes):
    head = raw.split(b"\r\n\r\n", 1)[0].decode("latin-1").split("\r\n")
    return head[0], head[1:]


def catch_line(code):
    return f"ERROR:HttpGetWininet, catch returned 0x{code:08X} ({code})"


def ok(lines=(), body=BODY, length=True):
    head = [*lines, "Connection: close"]
    if length:
        head.append(f"Content-Length: {len(body)}")
    return http(200, head, body, reason="OK")


def check_progress_bracket(progress, total, announced=None):
    """kind 0 with the announced length, per chunk kind 6 then kind 1 with
    the running total, kind 2 at the end."""
    assert progress[0] == (0, total if announced is None else announced)
    assert progress[-1] == (2, 0)
    middle = progress[1:-1]
    assert [k for k, _ in middle] == [6, 1] * (len(middle) // 2)
    running = 0
    for (_, chunk), (_, so_far) in zip(middle[0::2], middle[1::2]):
        assert 0 < chunk <= 8192
        running += chunk
        assert so_far == running
    assert running == total


# --- An explicit proxy, scripted --------------------------------------------

def test_request_through_explicit_proxy_carries_agent_and_no_cookies_or_cache(tmp_path):
    first = ok([LAST_MODIFIED, "Set-Cookie: session=abc; Path=/", 'ETag: "v1"',
                "Cache-Control: max-age=3600"])
    with ScriptedServer([answer(first)]) as proxy:
        f = fetch(tmp_path, *via_proxy(proxy.port, "--url", ORIGIN_URL, "--repeat", "2"))
    assert f.results == [(0, 200), (0, 200)]
    assert f.body == BODY
    # The cache would answer the second call itself, or revalidate it.
    assert len(proxy.requests) == 2
    for raw in proxy.requests:
        request_line, lines = header_lines(raw)
        assert request_line == f"GET {ORIGIN_URL} HTTP/1.1"
        assert lines.count(f"UserAgent: {AGENT}") == 1
        assert f"User-Agent: {AGENT}" in lines
        assert "Pragma: no-cache" in lines
        names = [l.split(":", 1)[0].lower() for l in lines]
        for absent in ("cookie", "if-modified-since", "if-none-match", "proxy-authorization"):
            assert absent not in names, raw
    assert f.context["wininetLoaded"] == "1"


@dataclasses.dataclass
class Answered:
    """A scripted answer and what the call must make of it."""
    name: str
    raw: bytes
    result: int
    status: int
    body: bytes = b""
    header_has: tuple = ()
    progress: typing.Any = ()     # exact list, or "bracket" for check_progress_bracket
    args: tuple = ()
    log_has: tuple = ()
    log_lacks: tuple = ()


ANSWERS = [
    Answered("redirect_not_followed",
             http(302, ["Location: http://origin.test/elsewhere.cab", "Content-Length: 5",
                        "Connection: close"], b"moved"),
             3, 302, header_has=("Location: http://origin.test/elsewhere.cab\r\n",)),
    # Past the first header buffer: the block is asked for again, whole.
    Answered("long_header_block", ok([LAST_MODIFIED, "X-Filler: " + "f" * 3000]), 0, 200, BODY,
             progress="bracket", header_has=("X-Filler: " + "f" * 3000 + "\r\n",)),
    Answered("not_modified", http(304, ["Connection: close", LAST_MODIFIED]), 0, 304),
    Answered("not_found", http(404, ["Content-Length: 9", "Connection: close"], b"not here!"), 3, 404),
    Answered("with_length", ok([LAST_MODIFIED]), 0, 200, BODY, progress="bracket",
             header_has=(f"Content-Length: {len(BODY)}\r\n", "HTTP/1.0 200 OK\r\n"),
             log_lacks=("http response failed",)),
    Answered("without_length", ok([LAST_MODIFIED], length=False), 0, 200, BODY, progress="chunks"),
    Answered("empty_with_length", ok([LAST_MODIFIED], body=b""), 0, 200, b"",
             progress=[(0, 0), (2, 0)]),
    Answered("no_last_modified", ok(), 0, 200, BODY, progress="bracket",
             log_has=(f"http response failed, 0x{HEADER_NOT_FOUND:08X}",)),
    # Announced 10000, cut after 4000: a short file must not pass for whole.
    Answered("short_body", http(200, ["Content-Length: 10000", "Connection: close", LAST_MODIFIED],
                                BODY[:4000]),
             2, CONNECTION_ABORTED, BODY[:4000], progress="short",
             log_has=(catch_line(CONNECTION_ABORTED),)),
    Answered("cancel_first_chunk", ok([LAST_MODIFIED]), 1223, 200, progress="cancelled",
             args=("--answer", "6:1:-1")),
]


@pytest.mark.parametrize("case", ANSWERS, ids=lambda c: c.name)
def test_answers_through_explicit_proxy(tmp_path, case):
    with ScriptedServer([answer(case.raw)]) as proxy:
        f = fetch(tmp_path, *via_proxy(proxy.port, "--url", ORIGIN_URL, *case.args))
    assert (f.result, f.status) == (case.result, case.status)
    assert len(proxy.requests) == 1  # one attempt, no redirect followed
    for text in case.header_has:
        assert text in f.headers
    if case.status not in (CONNECTION_ABORTED,):
        assert f.headers.startswith(f"HTTP/1.0 {case.status} ")
        assert f.headers.endswith("\r\n\r\n")
    for text in case.log_has:
        assert text in f.lines
    for text in case.log_lacks:
        assert not any(text in l for l in f.lines)
    if case.progress == "bracket":
        check_progress_bracket(f.progress, len(case.body))
    elif case.progress == "short":
        check_progress_bracket(f.progress, len(case.body), announced=10000)
    elif case.progress == "chunks":
        assert f.progress and all(k == 6 and v > 0 for k, v in f.progress)
        assert sum(v for _, v in f.progress) == len(case.body)
    elif case.progress == "cancelled":
        # The chunk that was answered with -1 stays written; the bracket
        # still closes.
        assert [k for k, _ in f.progress] == [0, 6, 2]
        assert f.progress[0] == (0, len(BODY))
        assert f.body == BODY[:f.progress[1][1]]
    else:
        assert f.progress == list(case.progress)
    if case.progress != "cancelled":
        assert f.body == case.body


def test_address_without_scheme_opens_nothing(tmp_path):
    with ScriptedServer([answer(ok())]) as proxy:
        f = fetch(tmp_path, *via_proxy(proxy.port, "--url", "/files/emupdate/20150209.cab"))
    assert (f.result, f.status) == (1, UNRECOGNIZED_SCHEME)
    assert catch_line(UNRECOGNIZED_SCHEME) in f.lines
    assert proxy.requests == []
    assert f.progress == []


@pytest.mark.parametrize("mode", [0, 3])
def test_modes_without_root_handle_fail_to_start(tmp_path, mode):
    with ScriptedServer([answer(ok())]) as peer:
        f = fetch(tmp_path, "--mode", str(mode), "--proxy-host", "127.0.0.1",
                  "--proxy-port", str(peer.port), "--url", f"http://127.0.0.1:{peer.port}/a")
    assert f.result == 4
    assert f.status != 0
    assert f"ERROR:HttpGetWininet, InitWininet() returned 0x{f.status:08X}" in f.lines
    assert f.context["wininetLoaded"] == "1"
    assert peer.requests == []
    assert f.body == b""


# --- NTLM logon under Wine -----------------------------------------------------

def test_ntlm_user_without_domain_is_refused_and_credentials_still_go_out(tmp_path):
    challenge = http(407, ['Proxy-Authenticate: Basic realm="quarn"', "Content-Length: 0",
                           "Connection: close"])
    with ScriptedServer([answer(challenge), answer(ok([LAST_MODIFIED]))]) as proxy:
        f = fetch(tmp_path, *via_proxy(proxy.port, "--url", ORIGIN_URL, "--ntlm",
                                       "--user", "alice", "--password", "s3cret"))
    assert "ERROR: Invalid username alice" in f.lines
    assert not any(l.startswith("ERROR: LogonUser") for l in f.lines)
    # WinInet answers the challenge itself with the credentials set on the
    # connection.
    assert (f.result, f.status) == (0, 200)
    assert f.body == BODY
    token = base64.b64encode(b"alice:s3cret").decode()
    assert f"Proxy-Authorization: Basic {token}" in header_lines(proxy.requests[-1])[1]
    assert not any("s3cret" in l for l in f.lines)


def test_ntlm_domain_user_logs_on_and_request_runs_without_impersonation(tmp_path):
    with ScriptedServer([answer(ok([LAST_MODIFIED]))]) as proxy:
        f = fetch(tmp_path, *via_proxy(proxy.port, "--url", ORIGIN_URL, "--ntlm",
                                       "--user", "CORP\\bob", "--password", "pw"))
    # Wine's logon hands out a token that cannot be impersonated: the
    # refusal is logged and the request goes on without impersonation.
    refusals = [l for l in f.lines if l.startswith(("ERROR: LogonUser(", "ERROR: ImpersonateLoggedOnUser"))]
    assert refusals == ["ERROR: ImpersonateLoggedOnUser failed 0x00000006"]
    assert not any("Invalid username" in l for l in f.lines)
    assert (f.result, f.status) == (0, 200)
    assert f.body == BODY
    assert len(proxy.requests) == 1


# --- The real squid ------------------------------------------------------------

@pytest.fixture(scope="module")
def origin(tmp_path_factory):
    root = tmp_path_factory.mktemp("origin")
    (root / "a.cab").write_bytes(BODY)
    with peers.file_server(root) as server:
        server.root = root
        yield server


def test_squid_plain_download(tmp_path, origin):
    with peers.squid() as proxy:
        f = fetch(tmp_path, *via_proxy(proxy.port, "--url", f"http://origin.test:{origin.port}/a.cab"))
        log = proxy.access_log()
    assert (f.result, f.status) == (0, 200)
    assert f.body == BODY
    check_progress_bracket(f.progress, len(BODY))
    assert f"origin.test:{origin.port}/a.cab" in log
    line, headers = origin.requests[-1]
    assert headers.get("User-Agent") == AGENT
    assert headers.get("UserAgent") == AGENT


def test_squid_challenge_without_and_with_credentials(tmp_path, origin):
    url = f"http://origin.test:{origin.port}/a.cab"
    with peers.squid(users={"carol": "pa55"}) as proxy:
        refused = fetch(tmp_path, *via_proxy(proxy.port, "--url", url))
        accepted = fetch(tmp_path, *via_proxy(proxy.port, "--url", url,
                                              "--user", "carol", "--password", "pa55"))
    assert (refused.result, refused.status) == (3, 407)
    assert 'Proxy-Authenticate: Basic realm="quarn"\r\n' in refused.headers
    assert refused.progress == []
    assert refused.body == b""
    assert (accepted.result, accepted.status) == (0, 200)
    assert accepted.body == BODY


def test_squid_ntlm_switch_with_plain_user_still_authenticates(tmp_path, origin):
    url = f"http://origin.test:{origin.port}/a.cab"
    with peers.squid(users={"carol": "pa55"}) as proxy:
        f = fetch(tmp_path, *via_proxy(proxy.port, "--url", url, "--ntlm",
                                       "--user", "carol", "--password", "pa55"))
    assert "ERROR: Invalid username carol" in f.lines
    assert (f.result, f.status) == (0, 200)
    assert f.body == BODY


# --- HTTPS -------------------------------------------------------------------

@pytest.fixture(scope="module")
def tls_origin(tmp_path_factory, wine_env):
    folder = tmp_path_factory.mktemp("tls")
    authority = wininet_tls.make_authority(folder, "origin.test")
    root = folder / "www"
    root.mkdir()
    (root / "a.cab").write_bytes(BODY)
    with wininet_tls.tls_file_server(root, authority) as server:
        server.authority = authority
        yield server


@pytest.fixture
def trusted(tls_origin, wine_env):
    with wininet_tls.trusted_root(tls_origin.authority.der(), sandbox_runner.wine64_or_wine(wine_env),
                                  wine_env) as key:
        yield key


def test_https_direct_with_trusted_test_authority(tmp_path, tls_origin, trusted):
    f = fetch(tmp_path, "--mode", "1", "--url", f"https://origin.test:{tls_origin.port}/a.cab")
    assert (f.result, f.status) == (0, 200)
    assert f.body == BODY
    assert tls_origin.requests[-1][0] == "GET /a.cab HTTP/1.1"


def test_https_through_squid(tmp_path, tls_origin, trusted):
    with peers.squid() as proxy:
        f = fetch(tmp_path, *via_proxy(proxy.port, "--url", f"https://origin.test:{tls_origin.port}/a.cab"))
        log = proxy.access_log()
    assert (f.result, f.status) == (0, 200)
    assert f.body == BODY
    assert f"CONNECT origin.test:{tls_origin.port}" in log


def test_https_refused_without_trust_or_for_another_name(tmp_path, tls_origin, wine_env):
    before = len(tls_origin.requests)
    untrusted = fetch(tmp_path, "--mode", "1", "--url", f"https://origin.test:{tls_origin.port}/a.cab")
    with wininet_tls.trusted_root(tls_origin.authority.der(), sandbox_runner.wine64_or_wine(wine_env),
                                  wine_env):
        wrong_name = fetch(tmp_path, "--mode", "1", "--url", f"https://proxy.test:{tls_origin.port}/a.cab")
    # An unknown authority: Windows says 12045 (invalid CA), Wine 12057.
    assert untrusted.result == 1 and untrusted.status in (12045, 12057)
    assert (wrong_name.result, wrong_name.status) == (1, 12038)  # certificate name invalid
    for f in (untrusted, wrong_name):
        assert catch_line(f.status) in f.lines
        assert f.body == b""
        assert f.progress == []
    assert len(tls_origin.requests) == before


# --- Throughput (measured, not asserted) ---------------------------------------

def test_throughput_64_mib(tmp_path):
    root = tmp_path / "www"
    root.mkdir()
    size = 64 * 1024 * 1024
    (root / "big.bin").write_bytes(os.urandom(size))
    (root / "small.bin").write_bytes(b"x")
    with peers.file_server(root) as server:
        base = f"http://origin.test:{server.port}/"
        timings = {}
        for name in ("small.bin", "big.bin"):
            start = time.monotonic()
            # Reports go to the (absent) listener's pipe, as in the product.
            f = fetch(tmp_path, "--mode", "1", "--url", base + name, "--pipe", timeout=600)
            timings[name] = time.monotonic() - start
            assert (f.result, f.status) == (0, 200)
    assert (tmp_path / "body.bin").stat().st_size == size
    seconds = timings["big.bin"] - timings["small.bin"]
    rate = size / 1e6 / seconds
    report = f"HttpGetWininet 64 MiB: {seconds:.1f} s beyond start-up, {rate:.1f} MB/s\n"
    (BUILD / "wininet_throughput.txt").write_text(report)
    print(report)
