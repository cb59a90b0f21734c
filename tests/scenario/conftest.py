"""Shared fixtures of the scenario tier: where the build is, how to run a
Windows program of the build under Wine with the build's prefix, the runner
for cases of the shipped program, and the fixture makers."""
import os
import pathlib
import re
import subprocess
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
BUILD = pathlib.Path(os.environ.get("QUARN_BUILD", ROOT / "build")).resolve()
WINE_RUN = ROOT / "scripts" / "wine-run"
os.environ.setdefault("QUARN_BUILD", str(BUILD))
sys.path.insert(0, str(ROOT / "tests"))
sys.path.insert(0, str(ROOT / "tests" / "scenario"))

from fixtures import signing  # noqa: E402
import sandbox_runner  # noqa: E402


def run_windows(exe, args=(), env=None, timeout=120, cwd=None):
    """Runs a program of the build under Wine; returns (exit code mod 256,
    stdout text with CR LF kept, stderr text)."""
    full_env = dict(os.environ)
    full_env["QUARN_BUILD"] = str(BUILD)
    if env:
        full_env.update(env)
    proc = subprocess.run(
        [str(WINE_RUN), str(BUILD / exe), *map(str, args)],
        env=full_env, cwd=cwd, capture_output=True, timeout=timeout)
    return proc.returncode, proc.stdout.decode("latin-1"), proc.stderr.decode("latin-1", "replace")


def win_path(path):
    """The Windows name of a Unix path, through Wine's Z: drive."""
    return "Z:" + str(pathlib.Path(path).resolve()).replace("/", "\\")


def cmake_cache(name):
    text = (BUILD / "CMakeCache.txt").read_text()
    match = re.search(rf"^{re.escape(name)}:[A-Z]+=(.*)$", text, re.M)
    return match.group(1) if match else None


@pytest.fixture(scope="session")
def build_dir():
    if not (BUILD / "QuarnUpdaterRepair.exe").exists():
        pytest.fail(f"no build in {BUILD}; run ./scripts/test")
    return BUILD


@pytest.fixture(scope="session")
def wine_env():
    return sandbox_runner.wine_environment(BUILD)


@pytest.fixture(scope="session", autouse=True)
def wine_session(wine_env):
    """One Wine session for the whole test session: Wine programs then start
    in about a second, and what is pending until reboot stays pending (see
    sandbox_runner.WineSession)."""
    session = sandbox_runner.WineSession(wine_env).start()
    yield session
    session.stop()


@pytest.fixture(scope="session")
def runner(build_dir, wine_env, wine_session):
    """The one runner of the session over the build's prefix."""
    if os.environ.get("QUARN_SANDBOXED") != "1":
        pytest.fail("runs of the program need the hermetic sandbox; use ./scripts/test")
    r = sandbox_runner.SandboxRunner(build_dir, wine_env)
    yield r
    r.close()


@pytest.fixture(scope="session")
def codesign(tmp_path_factory):
    """(certificate, key) of a code-signing certificate made for this session."""
    return signing.make_certificate(tmp_path_factory.mktemp("codesign"))
