"""The update run of QuarnUpdaterRepair.exe under Wine, up to the download:
the system gate, the installation folder from the registry, the version
gate, the work folder and the clean-up. No update server answers in these
cases, so every run that gets past the gates ends at the download.

A run that stops at a gate has written nothing: the installation folder is
as it was, no reboot operation is pending, and the only line is the one the
download context prints at start-up. A run that goes on reaches the product
settings (their "PULLAR: Type:" line), and leaves the work folder removed
and its deletion at reboot registered. Every run exits with 995."""
import pytest

from sandbox_runner import ABSENT, AGENT_LINE, UPDATER, WORK_FOLDER, Case


def nt(path):
    return "\\??\\" + path


def assert_common(outcome):
    assert (outcome.exit_code, outcome.exit_status) == (995, 227), outcome.stderr
    assert outcome.lines[:1] == [AGENT_LINE]


def assert_stopped_at_gate(outcome, before):
    assert_common(outcome)
    assert outcome.lines == [AGENT_LINE]
    assert outcome.files == before
    assert outcome.pending == []


def assert_went_on(outcome, before):
    assert_common(outcome)
    assert any(line.startswith("PULLAR: Type: ") for line in outcome.lines), outcome.lines
    assert outcome.files == before
    work = f"{outcome.win_installation}\\{WORK_FOLDER}"
    assert outcome.pending == [(nt(work), "")]


INSTALLED_ONLY = [UPDATER]


@pytest.mark.parametrize("windows, goes_on", [
    ("nt40", False),
    ("win2k", False),
    ("winxp", True),     # 5.1 SP3
    ("win2003", True),   # 5.2
    ("win7", True),
    ("win10", True),
])
def test_windows_version_gate(runner, windows, goes_on):
    outcome = runner.run(Case(windows=windows))
    (assert_went_on if goes_on else assert_stopped_at_gate)(outcome, INSTALLED_ONLY)


@pytest.mark.parametrize("case", [
    Case(key=False),
    Case(program_folder=ABSENT),
    Case(program_folder=r"Q:\Quarn\QuarnEmUpdate.exe"),
    Case(program_folder=r"Q:\Elsewhere"),
    Case(program_folder=""),
    # The program reads the 32-bit view; the 64-bit one is someone else's.
    Case(view="64"),
], ids=["no key", "no value", "names a file", "missing folder", "empty", "64-bit view"])
def test_no_installation_folder_creates_nothing(runner, case):
    assert_stopped_at_gate(runner.run(case), INSTALLED_ONLY)


@pytest.mark.parametrize("installed, goes_on", [
    ("10.2.2218.0", True),
    ("10.2.2218.99", True),      # the fourth part is not compared
    ("10.1.2300.0", True),
    ("10.2.2219.0", False),
    ("10.3.0.0", False),
    ("200.0.0.0", False),        # above 0x7FFFFFFF packed: compared unsigned
    ("0.0.0.0", False),          # packs to "no version"
    (None, False),               # no version resource
])
def test_installed_version_gate(runner, installed, goes_on):
    outcome = runner.run(Case(installed=installed))
    (assert_went_on if goes_on else assert_stopped_at_gate)(outcome, INSTALLED_ONLY)


def test_missing_updater_stops_at_version_gate(runner):
    assert_stopped_at_gate(runner.run(Case(installed=ABSENT, files={"readme.txt": b"x"})),
                           ["readme.txt"])


def test_leftover_work_folder_is_emptied_and_removed(runner):
    leftover = {f"{WORK_FOLDER}/20150209.cab": b"half a cabinet",
                f"{WORK_FOLDER}/20150209.cab.dld": b"partial",
                f"{WORK_FOLDER}/QuarnEmUpdate.exe": b"not an updater",
                f"{WORK_FOLDER}/2218.sum": b"sum"}
    outcome = runner.run(Case(files={**leftover, "Setup/keep.txt": b"product file"}))
    assert_went_on(outcome, ["QuarnEmUpdate.exe", "Setup/", "Setup/keep.txt"])
    assert (outcome.installation / "Setup/keep.txt").read_bytes() == b"product file"


def test_leftover_subfolder_keeps_work_folder_until_reboot(runner):
    # Only the files directly inside are deleted; a subfolder makes the
    # removal fail, and the deletion at reboot is left to clean up.
    leftover = {f"{WORK_FOLDER}/old.cab": b"x", f"{WORK_FOLDER}/sub/inner.txt": b"y"}
    outcome = runner.run(Case(files=leftover))
    assert_common(outcome)
    assert outcome.files == [UPDATER, f"{WORK_FOLDER}/", f"{WORK_FOLDER}/sub/",
                             f"{WORK_FOLDER}/sub/inner.txt"]
    assert outcome.pending == [(nt(f"{outcome.win_installation}\\{WORK_FOLDER}"), "")]


def test_work_folder_path_too_long_stops_without_touching_anything(runner):
    # A folder name that leaves room for the updater's path but not for the
    # work folder's. The cut-off work folder path must not be taken for a
    # folder to clean up: an empty folder of that name stays.
    folder = "Q" * (230 - len("Q:\\"))
    cut = (f"Q:\\{folder}\\{WORK_FOLDER}")[:259]
    decoy = cut[len(f"Q:\\{folder}\\"):]
    outcome = runner.run(Case(folder=folder, files={decoy: None}))
    assert_stopped_at_gate(outcome, sorted([UPDATER, decoy + "/"]))
