"""Shared fixtures of the scenario tier: where the build is, and how to run a
Windows program of the build under Wine with the build's prefix."""
import os
import pathlib
import subprocess

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
BUILD = pathlib.Path(os.environ.get("QUARN_BUILD", ROOT / "build")).resolve()
WINE_RUN = ROOT / "scripts" / "wine-run"


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


@pytest.fixture(scope="session")
def build_dir():
    if not (BUILD / "QuarnUpdaterRepair.exe").exists():
        pytest.fail(f"no build in {BUILD}; run ./scripts/test")
    return BUILD
