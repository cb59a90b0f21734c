"""The whole repair, end to end: the shipped program under Wine downloads the
cabinet from a real HTTP server on the update host (127.0.0.1:80 inside the
sandbox) directly or through real proxies, unpacks it with the system's
cabinet library, checks the signature and the version, and swaps the
updater. Also the cases that must leave the installation as it was."""
import base64
import contextlib
import os
import pathlib
import subprocess
import sys
import time

import pytest

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "servers"))
import peers  # noqa: E402
from fixtures import cabinet as cabinet_fixture  # noqa: E402
from fixtures import signing  # noqa: E402
from fixtures import updater as updater_fixture  # noqa: E402
from sandbox_runner import UPDATER, WORK_FOLDER, Case  # noqa: E402
from scripted import ScriptedServer, answer, http  # noqa: E402

INSTALLED = "10.1.2300.0"
SUM = b"checksum of the 10.2.2218 updater for build 2300\n"
CAB_PATH = "files/emupdate/20150209.cab"


@pytest.fixture(scope="session")
def new_updater(codesign, tmp_path_factory):
    """The signed 10.2.2218 updater that a good cabinet carries."""
    folder = tmp_path_factory.mktemp("new-updater")
    return signing.sign(updater_fixture.make_updater("10.2.2218.0", marker="new"),
                        folder / UPDATER, *codesign)


def make_site(root, updater, extra=None, with_sum=True):
    """A web root whose cabinet holds the updater (and 2300.sum)."""
    entries = {UPDATER: updater, "2217.sum": b"for another build\n"}
    if with_sum:
        entries["2300.sum"] = SUM
    entries.update(extra or {})
    cab = root / CAB_PATH
    cab.parent.mkdir(parents=True, exist_ok=True)
    cabinet_fixture.make_cabinet(cab, entries)
    return root


@pytest.fixture
def site(tmp_path, new_updater):
    return make_site(tmp_path / "site", new_updater)


def ini(**keys):
    lines = ["[Common]"] + [f"{k}={v}" for k, v in keys.items()]
    return ("\r\n".join(lines) + "\r\n").encode("latin-1")


def case(**keys):
    files = {"Setup/setup.ini": ini(**keys)} if keys else {}
    return Case(installed=INSTALLED, files=files)


def nt(path):
    return "\\??\\" + path


def assert_repaired(outcome, new_updater):
    assert outcome.exit_code == 995, outcome.lines
    installation = outcome.installation
    assert (installation / UPDATER).read_bytes() == new_updater.read_bytes(), outcome.lines
    old = installation / "QuarnEmUpdate.old"
    assert old.read_bytes() == updater_fixture.make_updater(INSTALLED).read_bytes()
    assert (installation / "QuarnEmUpdate.exe.sum").read_bytes() == SUM
    assert not (installation / WORK_FOLDER).exists()
    win = outcome.win_installation
    assert outcome.pending == [(nt(f"{win}\\{WORK_FOLDER}"), ""),
                               (nt(f"{win}\\QuarnEmUpdate.old"), "")]


def assert_unchanged(outcome, extra_files=()):
    assert outcome.exit_code == 995, outcome.lines
    assert sorted(outcome.files) == sorted(["Setup/", "Setup/setup.ini", UPDATER, *extra_files])
    installed = updater_fixture.make_updater(INSTALLED).read_bytes()
    assert (outcome.installation / UPDATER).read_bytes() == installed
    win = outcome.win_installation
    assert outcome.pending == [(nt(f"{win}\\{WORK_FOLDER}"), "")]


def test_direct(runner, site, new_updater):
    with peers.file_server(site, 80) as server:
        outcome = runner.run(case(NetAcc=0))
    assert_repaired(outcome, new_updater)
    assert [r for r, _ in server.requests] == [f"GET /{CAB_PATH} HTTP/1.0"]
    assert "HttpGetWinsock(http://update.quarn.com/files/emupdate/20150209.cab)" in outcome.lines


def test_http_proxy(runner, site, new_updater):
    with peers.file_server(site, 80), peers.squid() as proxy:
        outcome = runner.run(case(NetAcc=2, NetIP="127.0.0.1", NetPort=proxy.port))
        log = proxy.access_log()
    assert_repaired(outcome, new_updater)
    assert f"PULLAR: Proxy 127.0.0.1:{proxy.port}" in outcome.lines
    assert "GET http://update.quarn.com/files/emupdate/20150209.cab" in log


@pytest.mark.parametrize("stored", ["s3cret", "b?" + base64.b64encode(b"s3cret").decode()],
                         ids=["plain", "encoded"])
def test_http_proxy_with_basic_authentication(runner, site, new_updater, stored):
    with peers.file_server(site, 80), peers.squid({"alice": "s3cret"}) as proxy:
        outcome = runner.run(case(NetAcc=2, NetIP="127.0.0.1", NetPort=proxy.port,
                                  NetUser="alice", NetPwd=stored))
        log = proxy.access_log()
    assert_repaired(outcome, new_updater)
    assert "TCP_DENIED/407" in log and " alice " in log
    assert not any("s3cret" in line for line in outcome.lines)


def test_socks_proxy(runner, site, new_updater):
    with peers.file_server(site, 80) as server, peers.dante() as port:
        outcome = runner.run(case(NetAcc=3, NetIP="127.0.0.1", NetPort=port))
    assert_repaired(outcome, new_updater)
    assert "PULLAR: Type: SOCKS proxy (rfc1928,1929)" in outcome.lines
    assert [r for r, _ in server.requests] == [f"GET /{CAB_PATH} HTTP/1.0"]


@contextlib.contextmanager
def internet_settings(runner, proxy_port):
    """The Internet Explorer proxy settings of the prefix's user, for one case."""
    key = r"HKCU\Software\Microsoft\Windows\CurrentVersion\Internet Settings"
    runner.wine_tool("reg", "add", key, "/v", "ProxyEnable", "/t", "REG_DWORD", "/d", "1", "/f")
    runner.wine_tool("reg", "add", key, "/v", "ProxyServer", "/d", f"127.0.0.1:{proxy_port}", "/f")
    try:
        yield
    finally:
        runner.wine_tool("reg", "delete", key, "/v", "ProxyEnable", "/f", check=False)
        runner.wine_tool("reg", "delete", key, "/v", "ProxyServer", "/f", check=False)


def test_internet_explorer_settings_through_wininet(runner, site, new_updater):
    with peers.file_server(site, 80), peers.squid() as proxy, internet_settings(runner, proxy.port):
        outcome = runner.run(case(NetAcc=1))
        log = proxy.access_log()
    assert_repaired(outcome, new_updater)
    assert "PULLAR: Type: use IE settings" in outcome.lines
    assert not any(line.startswith("HttpGetWinsock(") for line in outcome.lines)
    assert "http://update.quarn.com/files/emupdate/20150209.cab" in log


def test_ntlm_switch(runner, site, new_updater):
    with peers.file_server(site, 80), peers.squid() as proxy:
        outcome = runner.run(case(NetAcc=2, NetIP="127.0.0.1", NetPort=proxy.port, UseNTLM=1,
                                  NetUser="QUARN\\alice", NetPwd="s3cret"))
    assert_repaired(outcome, new_updater)
    assert "PULLAR: Auth: NTLM" in outcome.lines
    assert any(line.startswith("ERROR: ImpersonateLoggedOnUser failed 0x") or
               line.startswith("ERROR: LogonUser(QUARN\\alice) failed 0x") for line in outcome.lines)


def test_cabinet_without_checksum_still_swaps(runner, tmp_path, new_updater):
    site = make_site(tmp_path / "site", new_updater, with_sum=False)
    with peers.file_server(site, 80):
        outcome = runner.run(case(NetAcc=0))
    assert outcome.exit_code == 995
    assert (outcome.installation / UPDATER).read_bytes() == new_updater.read_bytes()
    assert not (outcome.installation / "QuarnEmUpdate.exe.sum").exists()
    assert not (outcome.installation / WORK_FOLDER).exists()


def bad_updaters(codesign, folder):
    unsigned = updater_fixture.make_updater("10.2.2218.0", marker="new")
    tampered = signing.tamper(signing.sign(unsigned, folder / "tampered.exe", *codesign))
    older = signing.sign(updater_fixture.make_updater("10.2.2217.0", marker="new"),
                         folder / "older.exe", *codesign)
    newer = signing.sign(updater_fixture.make_updater("10.2.2219.0", marker="new"),
                         folder / "newer.exe", *codesign)
    return {"unsigned": unsigned, "tampered": tampered, "10.2.2217": older, "10.2.2219": newer}


@pytest.mark.parametrize("which", ["unsigned", "tampered", "10.2.2217", "10.2.2219"])
def test_untrusted_or_wrong_updater_is_not_installed(runner, tmp_path, codesign, which):
    folder = tmp_path / "bad"
    folder.mkdir()
    site = make_site(tmp_path / "site", bad_updaters(codesign, folder)[which])
    with peers.file_server(site, 80):
        outcome = runner.run(case(NetAcc=0))
    assert_unchanged(outcome)


def test_download_status_other_than_200_changes_nothing(runner):
    with ScriptedServer([answer(http(404, ["Content-Length: 0"]))], port=80):
        outcome = runner.run(case(NetAcc=0))
    assert_unchanged(outcome)


def test_304_changes_nothing(runner):
    with ScriptedServer([answer(http(304))], port=80):
        outcome = runner.run(case(NetAcc=0))
    assert_unchanged(outcome)


def test_cancel_from_the_listener_changes_nothing(runner, site, build_dir, tmp_path):
    record = tmp_path / "record.txt"
    listener = subprocess.Popen(
        ["wine", str(build_dir / "progress_listener.exe"),
         "--record", "Z:" + str(record).replace("/", "\\"), "--answer", "6:2:-1",
         "--timeout", "120"],
        env=runner.env, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    try:
        assert listener.stdout.readline().strip() == b"LISTENING"
        with peers.file_server(site, 80):
            outcome = runner.run(case(NetAcc=0))
    finally:
        listener.terminate()
        listener.wait(30)
    assert_unchanged(outcome)
    kinds = [line.split()[2] for line in record.read_text().splitlines() if line.startswith("MSG")]
    assert kinds[:3] == ["kind=3", "kind=9", "kind=0"] and "kind=6" in kinds


def test_failing_final_move_restores_the_updater(runner, site, tmp_path):
    # The work folder lives on another file system: the new updater cannot
    # be renamed into the installation, while the old one can be renamed
    # within it.
    elsewhere = pathlib.Path("/dev/shm") / f"quarn-work-{os.getpid()}"
    elsewhere.mkdir()
    try:
        c = case(NetAcc=0)
        c.links = {WORK_FOLDER: elsewhere}
        with peers.file_server(site, 80):
            outcome = runner.run(c)
    finally:
        subprocess.run(["rm", "-rf", str(elsewhere)])
    assert outcome.exit_code == 995
    installed = updater_fixture.make_updater(INSTALLED).read_bytes()
    assert (outcome.installation / UPDATER).read_bytes() == installed
    assert not (outcome.installation / "QuarnEmUpdate.old").exists()
