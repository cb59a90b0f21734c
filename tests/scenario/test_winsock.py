"""The Winsock transport against real peers on 127.0.0.1, through the test
driver program: a real HTTP server, a real SOCKS 4 proxy (dante) in front
of it, and scripted servers for what a real one will not do. Also checks the
diagnostic lines, which only a separate process shows whole."""
import os
import pathlib
import sys
import time

import pytest

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "servers"))
from conftest import BUILD, run_windows  # noqa: E402
import peers  # noqa: E402
from scripted import ScriptedServer, answer, http  # noqa: E402

BODY = os.urandom(300 * 1024)


def win(path):
    return "Z:" + str(path).replace("/", "\\")


class Fetch:
    def __init__(self, out):
        self.lines = out.replace("\r\n", "\n").splitlines()
        self.results = [tuple(int(x) for x in l.split()[1::2]) for l in self.lines if l.startswith("RESULT ")]
        self.progress = [tuple(int(x) for x in l.split()[1:3]) for l in self.lines if l.startswith("PROGRESS ")]
        self.headers = [bytes.fromhex(l[8:]) for l in self.lines if l.startswith("HEADERS")]
        self.context = next((l for l in self.lines if l.startswith("CONTEXT ")), "")

    @property
    def result(self):
        assert len(self.results) == 1, self.lines
        return self.results[0]

    def log(self):
        """The transport's own diagnostic lines."""
        return [l for l in self.lines if l.startswith(("HttpGetWinsock(", "ERROR:"))]


def fetch(url, *args, out=None):
    exe = BUILD / "transport_fetch.exe"
    if not exe.exists():
        pytest.fail(f"no {exe}; build the transport_fetch target")
    argv = ["--transport", "winsock", "--url", url, *map(str, args)]
    if "--mode" not in argv:
        argv += ["--mode", "0"]
    if out is not None:
        argv += ["--out", win(out)]
    rc, stdout, stderr = run_windows("transport_fetch.exe", argv, timeout=180)
    assert rc == 0, stderr
    return Fetch(stdout)


@pytest.fixture(scope="module")
def origin(tmp_path_factory):
    """A real HTTP server on 127.0.0.1 serving BODY as /files/body.bin."""
    root = tmp_path_factory.mktemp("origin")
    (root / "files").mkdir()
    (root / "files" / "body.bin").write_bytes(BODY)
    with peers.file_server(root) as server:
        yield server.port


@pytest.fixture(scope="module")
def socks_proxy():
    """A real SOCKS 4 proxy (dante) on 127.0.0.1, tunnelling to 127.0.0.0/8."""
    if not os.path.exists(peers.DANTED):
        pytest.skip("dante-server is not installed")
    with peers.dante() as port:
        yield port


@pytest.fixture(scope="module")
def basic_proxy():
    """A real HTTP proxy (squid) that wants Basic proxy authentication."""
    if not os.path.exists(peers.SQUID):
        pytest.skip("squid is not installed")
    with peers.squid(users={"quarnuser": "Pa55:word"}) as proxy:
        yield proxy


def test_direct_download_from_a_real_server_twice_in_one_process(origin, tmp_path):
    url = f"http://127.0.0.1:{origin}/files/body.bin"
    f = fetch(url, "--repeat", "2", out=tmp_path / "body.bin")
    assert f.results == [(0, 200), (0, 200)]
    # The driver program opens the file afresh for each call.
    assert (tmp_path / "body.bin").read_bytes() == BODY
    assert f.log() == [f"HttpGetWinsock({url})"] * 2
    # Winsock was started by the first call and the second one still works.
    assert "winsockStarted=1" in f.context
    lengths = [v for k, v in f.progress if k == 0]
    assert lengths == [len(BODY)] * 2
    # Kind 1 counts up to the whole body in each call.
    runs = [[]]
    for value in (v for k, v in f.progress if k == 1):
        if runs[-1] and value < runs[-1][-1]:
            runs.append([])
        runs[-1].append(value)
    assert [run[-1] for run in runs] == [len(BODY)] * 2
    assert all(run == sorted(run) for run in runs)
    assert [k for k, _ in f.progress].count(2) == 2
    assert f.headers[0].startswith(b"HTTP/1.0 200 OK\r\n")
    assert b"Content-Length: %d\r\n" % len(BODY) in f.headers[0]


def test_socks4_tunnel_through_a_real_proxy(origin, socks_proxy, tmp_path):
    url = f"http://127.0.0.1:{origin}/files/body.bin"
    f = fetch(url, "--mode", "3", "--proxy-host", "127.0.0.1", "--proxy-port", socks_proxy,
              "--user", "alice", "--password", "pw", out=tmp_path / "body.bin")
    assert f.result == (0, 200)
    assert (tmp_path / "body.bin").read_bytes() == BODY
    assert f.log() == [f"HttpGetWinsock({url})"]


def test_socks4_refusal_of_a_real_proxy_ends_without_a_request(socks_proxy):
    # Nothing listens on the destination: the proxy answers 91.
    url = f"http://127.0.0.1:{peers.free_port()}/files/body.bin"
    f = fetch(url, "--mode", "3", "--proxy-host", "127.0.0.1", "--proxy-port", socks_proxy)
    assert f.result == (3, 91)
    assert f.log() == [f"HttpGetWinsock({url})"]
    assert f.headers == [b""]


@pytest.mark.parametrize("url_form, status, code_text", [
    ("refused", 10061, "0x0000274D"),
    ("HTTP://127.0.0.1:{port}/files/body.bin", 11001, "0x00002AF9"),
    ("/files/emupdate/20150209.cab", 11001, "0x00002AF9"),
])
def test_no_connection_lines(origin, url_form, status, code_text):
    url = (f"http://127.0.0.1:{peers.free_port()}/x" if url_form == "refused"
           else url_form.format(port=origin))
    f = fetch(url)
    assert f.result == (1, status)
    # Only the transport's line: the connect layer writes none for a
    # refused connection.
    assert f.log() == [f"HttpGetWinsock({url})",
                       f"ERROR:HttpGetWinsock, WinsockTcpConnect() returned {code_text}"]
    assert f.progress == []


def test_body_cut_short_is_a_transient_failure(tmp_path):
    cut = http(200, ["Content-Length: 1000"], b"x" * 400)
    with ScriptedServer([answer(cut)]) as server:
        f = fetch(f"http://127.0.0.1:{server.port}/f", out=tmp_path / "f")
    assert f.result == (2, 38)
    assert f.log()[1:] == ["ERROR:HttpGetWinsock, catch returned 0x00000026"]
    assert [p for p in f.progress if p[0] in (0, 2)] == [(0, 1000), (2, 0)]


def test_cancel_while_the_server_is_silent():
    # The second idle second is answered with -1.
    # The server reads the request, then waits for the transport to hang up.
    with ScriptedServer([lambda conn, _: conn.recv(1)]) as server:
        f = fetch(f"http://127.0.0.1:{server.port}/f", "--answer", "6:2:-1")
    assert f.result == (1223, 0)
    assert f.progress == [(6, 0), (6, 0)]
    assert f.log()[1:] == []


def test_http_proxy_with_basic_authentication_through_a_real_proxy(origin, basic_proxy, tmp_path):
    url = f"http://127.0.0.1:{origin}/files/body.bin"
    proxy = ["--mode", "2", "--proxy-host", "127.0.0.1", "--proxy-port", basic_proxy.port,
             "--user", "quarnuser", "--password", "Pa55:word"]
    # No authentication chosen yet: the proxy's challenge comes back whole,
    # in the case it was sent in.
    f = fetch(url, *proxy)
    assert f.result == (3, 407)
    assert b"Proxy-Authenticate: Basic realm=\"quarn\"\r\n" in f.headers[0]
    # Basic chosen: the token goes with the request and the body arrives.
    f = fetch(url, *proxy, "--auth-mode", "1", out=tmp_path / "body.bin")
    assert f.result == (0, 200)
    assert (tmp_path / "body.bin").read_bytes() == BODY
    # The proxy saw the whole URL as the target, and the user of the token.
    assert f"GET {url} quarnuser " in basic_proxy.access_log()
