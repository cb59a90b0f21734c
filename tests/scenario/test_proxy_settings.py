"""The product's proxy settings on a system where wininet.dll is not on the
search path. Wine always has it, so this runs the unit test that is disabled
in ordinary runs inside a copy of the build's prefix without the file. The
copy hard-links the large system binaries (never written) and copies the
rest, so the build's own prefix cannot be changed through it."""
import os
import pathlib
import shutil
import subprocess
import tempfile

import pytest

from conftest import BUILD, ROOT, run_windows

TEST_EXE = "proxy_settings_test.exe"
SHARED_SUFFIXES = {".dll", ".exe", ".drv", ".sys", ".ocx", ".acm", ".cpl", ".tlb", ".ax", ".ds",
                   ".com", ".vxd", ".ttf", ".msstyles", ".so", ".nls", ".mui"}


def copy_prefix(source: pathlib.Path, target: pathlib.Path, drop):
    for folder, dirs, files in os.walk(source):
        rel = pathlib.Path(folder).relative_to(source)
        out = target / rel
        out.mkdir(exist_ok=True)
        for name in dirs + files:
            src = pathlib.Path(folder) / name
            dst = out / name
            if src.is_symlink():
                os.symlink(os.readlink(src), dst)
                if name in dirs:
                    dirs.remove(name)
            elif name in files:
                if (rel / name).as_posix().lower() in drop:
                    continue
                if src.suffix.lower() in SHARED_SUFFIXES:
                    os.link(src, dst)
                else:
                    shutil.copy2(src, dst)


@pytest.fixture
def prefix_without_wininet():
    source = pathlib.Path(os.environ.get("QUARN_WINEPREFIX", BUILD / "wineprefix"))
    if not (source / "system.reg").exists():
        # The first Wine start of the build makes the prefix.
        run_windows(TEST_EXE, ["--gtest_list_tests"])
    target = pathlib.Path(tempfile.mkdtemp(prefix="prefix-no-wininet-", dir=BUILD))
    try:
        copy_prefix(source, target, {"drive_c/windows/system32/wininet.dll",
                                     "drive_c/windows/syswow64/wininet.dll"})
        yield target
    finally:
        env = dict(os.environ, QUARN_WINEPREFIX=str(target))
        subprocess.run(["bash", "-c", f'. "{ROOT}/scripts/lib/wine-env.sh" && quarn_wine_env "{BUILD}" '
                        '&& wineserver -k; wineserver -w'], env=env, capture_output=True, timeout=60)
        shutil.rmtree(target, ignore_errors=True)


def test_without_wininet_the_mode_stays_invalid(prefix_without_wininet):
    if not (BUILD / TEST_EXE).exists():
        pytest.fail(f"{TEST_EXE} is not built in {BUILD}")
    code, out, err = run_windows(
        TEST_EXE, ["--gtest_also_run_disabled_tests", "--gtest_filter=*WithoutWininet*"],
        env={"QUARN_WINEPREFIX": str(prefix_without_wininet)}, timeout=180)
    assert code == 0, out + err
    assert "[  PASSED  ] 1 test." in out, out
