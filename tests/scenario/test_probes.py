"""The version and trust probes against the real version and Authenticode
functions, through tools/probe_file.exe: one Wine run probes every file."""
import re
import shutil

import pytest

from conftest import run_windows, win_path
from fixtures import signing, updater

VERSION_CASES = [
    # (version resource, packed version)
    ("10.2.2218.0", 0x0A0208AA),
    ("10.2.2218.99", 0x0A0208AA),
    ("266.2.2218.0", 0x0A0208AA),
    ("10.1.2300.0", 0x0A0108FC),
    ("1.2.3.4", 0x01020003),
    ("255.255.65535.65535", 0xFFFFFFFF),
    ("0.0.0.0", 0),
    (None, 0),
]


@pytest.fixture(scope="module")
def probed(build_dir, wine_session, tmp_path_factory, codesign):
    """{label: (packed version, last error, trusted)} for every file."""
    folder = tmp_path_factory.mktemp("probes")
    files = {}
    for version, _ in VERSION_CASES:
        label = f"version {version}"
        files[label] = folder / f"v-{version}.exe"
        shutil.copyfile(updater.make_updater(version, marker=label), files[label])
    unsigned = updater.make_updater("10.2.2218.0", marker="trust")
    files["unsigned"] = folder / "unsigned.exe"
    shutil.copyfile(unsigned, files["unsigned"])
    cert, key = codesign
    files["signed"] = signing.sign(unsigned, folder / "signed.exe", cert, key)
    files["changed after signing"] = folder / "changed.exe"
    shutil.copyfile(files["signed"], files["changed after signing"])
    signing.tamper(files["changed after signing"])
    files["missing"] = folder / "missing.exe"

    status, out, err = run_windows("probe_file.exe", [win_path(p) for p in files.values()])
    assert status == 0, err
    rows = re.findall(r"^VERSION 0x([0-9A-F]{8}) LASTERROR (\d+) TRUSTED ([01]) (.*?)\r?$",
                      out, re.M)
    assert len(rows) == len(files), out
    return {label: (int(v, 16), int(e), t == "1")
            for label, (v, e, t, _) in zip(files, rows)}


def test_packed_versions(probed):
    failures = []
    for version, expected in VERSION_CASES:
        packed, last_error, _ = probed[f"version {version}"]
        if (packed, last_error) != (expected, 0):
            failures.append(f"{version}: 0x{packed:08X} error {last_error}, "
                            f"want 0x{expected:08X} error 0")
    assert not failures, failures


def test_missing_file_has_no_version_and_clears_last_error(probed):
    # The file functions fail with an error of their own; the probe must
    # leave 0 behind, not that error and not the marker set before.
    assert probed["missing"][:2] == (0, 0)


def test_trust_verdicts(probed):
    verdicts = {label: probed[label][2]
                for label in ("unsigned", "signed", "changed after signing", "missing")}
    assert verdicts == {"unsigned": False, "signed": True, "changed after signing": False,
                        "missing": False}
    # Signing keeps the version resource readable.
    assert probed["signed"][0] == 0x0A0208AA
