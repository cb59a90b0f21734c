"""Plays one case of the shipped program against the build's one Wine prefix.
Use it inside a WineSession (see there why).

A case (Case) is data: what the registry holds, which Windows version Wine
reports to the program, and what the installation folder holds. The runner
resets every piece of state a run can touch, lays out the case, runs
QuarnUpdaterRepair.exe and collects what it left (Outcome): its output
lines, its exit code, the files in the installation folder and the list of
file operations pending until the next reboot.

Installation folders live in a temporary folder that the prefix sees as
drive Q:, so that the paths the program handles are short Windows paths.
The state of one case is written with one registry import and read back with
one export; both are 64-bit Wine tools on a 64-bit prefix, which start much
faster than 32-bit ones under emulation.
"""
import dataclasses
import os
import pathlib
import shutil
import subprocess
import sys
import tempfile
import typing

ROOT = pathlib.Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "tests"))

from fixtures import updater as updater_fixture  # noqa: E402

SESSION_MANAGER = r"HKEY_LOCAL_MACHINE\System\CurrentControlSet\Control\Session Manager"
APP_DEFAULTS = r"HKEY_CURRENT_USER\Software\Wine\AppDefaults\QuarnUpdaterRepair.exe"
WORK_FOLDER = "{86EF97D6-551E-42dd-AE0B-971F82DBBE3F}"
UPDATER = "QuarnEmUpdate.exe"
AGENT_LINE = "PULLAR: Agent=Pullar/5.00 (unknown)"
EXIT_MARKER = "QUARN-SCENARIO-EXIT "
DRIVE = "q"

# Markers for Case fields.
INSTALLATION = object()  # ProgramFolder names the case's installation folder
ABSENT = object()        # no such value / no such file


@dataclasses.dataclass
class Case:
    """One run of the program, as data."""
    # Version text of the installed QuarnEmUpdate.exe, None for a program
    # without a version resource, ABSENT for no updater at all.
    installed: typing.Any = "10.2.2218.0"
    # Further content of the installation folder: relative path (with "/")
    # -> bytes, a path to copy, or None for an empty folder.
    files: dict = dataclasses.field(default_factory=dict)
    # Symbolic links to make in the installation folder: relative path ->
    # target (for instance a work folder that lives on another file system).
    links: dict = dataclasses.field(default_factory=dict)
    # Name of the installation folder on drive Q:.
    folder: str = "Quarn"
    # The product key: False for none at all.
    key: bool = True
    # Text of ProgramFolder: INSTALLATION, ABSENT, or any text.
    program_folder: typing.Any = INSTALLATION
    # Which registry view holds the key: "32" (the one the program reads) or
    # "64".
    view: str = "32"
    # Windows version Wine reports to the program ("win2k", "winxp",
    # "win7", ...); None keeps the prefix's own.
    windows: typing.Optional[str] = None
    timeout: float = 180


@dataclasses.dataclass
class Outcome:
    exit_code: int            # the Windows exit code
    exit_status: int          # the Unix status of the run: the code modulo 256
    lines: list               # output lines, CR LF removed
    files: list               # what is left in the installation folder
    pending: list             # PendingFileRenameOperations as (source, target)
    installation: pathlib.Path
    win_installation: str
    stderr: str


def wine_environment(build):
    """The environment that scripts/lib/wine-env.sh makes for the build
    (prefix, emulation, preload shim); creates the prefix if needed."""
    script = (f'. "{ROOT}/scripts/lib/wine-env.sh" && quarn_wine_env "{build}" >&2 && env -0')
    done = subprocess.run(["bash", "-c", script], capture_output=True, check=True)
    env = {}
    for item in done.stdout.split(b"\0"):
        if b"=" in item:
            name, _, value = item.partition(b"=")
            env[name.decode()] = value.decode()
    return env


class WineSession:
    """Keeps one Wine session of the prefix alive while cases run.

    Without it every Wine process that finds no wineserver starts a new
    session, and the session's helpers (wineserver, services) inherit that
    process's output pipes, so capturing its output waits for them to go.
    Worse, Wine treats each new session as a reboot and carries out the
    pending file operations, wiping the very list a case looks at. The
    holder is an idle command prompt started with no pipes of ours; closing
    its input ends it, and the wineserver then saves the registry and exits.
    """

    def __init__(self, env):
        self.env = env
        self.tool = wine64_or_wine(env)
        self.holder = None

    def start(self):
        self.holder = subprocess.Popen([self.tool, "cmd"], env=self.env, stdin=subprocess.PIPE,
                                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                       start_new_session=True)
        # Returns once the session's start-up (and its "reboot") is over.
        subprocess.run([self.tool, "cmd", "/c", "exit"], env=self.env, stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=300)
        return self

    def stop(self):
        if self.holder is None:
            return
        self.holder.stdin.close()
        try:
            self.holder.wait(timeout=30)
        except subprocess.TimeoutExpired:
            self.holder.kill()
            self.holder.wait()
        self.holder = None
        try:
            subprocess.run(["wineserver", "-w"], env=self.env, timeout=60)
        except subprocess.TimeoutExpired:
            subprocess.run(["wineserver", "-k"], env=self.env)


def is_win64_prefix(env):
    head = (pathlib.Path(env["WINEPREFIX"]) / "system.reg").read_text(errors="replace")[:400]
    return "#arch=win64" in head


def wine64_or_wine(env):
    """The Wine loader for the prefix's own tools (regedit, reg, cmd): the
    64-bit one on a 64-bit prefix, which needs no emulation."""
    return "/usr/lib/wine/wine64" if is_win64_prefix(env) else "wine"


def _reg_text(text):
    return '"' + text.replace("\\", "\\\\").replace('"', '\\"') + '"'


def parse_multi_sz_export(export_text, value_name):
    """Strings of a REG_MULTI_SZ value in a regedit export, or None when the
    value is not there."""
    lines = export_text.splitlines()
    prefix = f'"{value_name}"=hex(7):'
    for i, line in enumerate(lines):
        if not line.startswith(prefix):
            continue
        data = line[len(prefix):]
        while data.endswith("\\") and i + 1 < len(lines):
            i += 1
            data = data[:-1] + lines[i].strip()
        raw = bytes(int(b, 16) for b in data.split(",") if b)
        text = raw.decode("utf-16-le")
        # The list ends with an empty string; drop the terminators.
        return text.rstrip("\0").split("\0") if text.strip("\0") else []
    return None


def list_tree(folder):
    """Relative paths below folder, folders with a trailing "/"."""
    folder = pathlib.Path(folder)
    if not folder.exists():
        return []
    found = []
    for path in sorted(folder.rglob("*")):
        name = path.relative_to(folder).as_posix()
        found.append(name + "/" if path.is_dir() else name)
    return found


class SandboxRunner:
    """The build's prefix, prepared for scenario runs, inside a running
    WineSession. Use one per test session; close() undoes the drive
    mapping."""

    def __init__(self, build, env=None):
        self.build = pathlib.Path(build).resolve()
        self.exe = self.build / "QuarnUpdaterRepair.exe"
        self.env = env or wine_environment(self.build)
        self.prefix = pathlib.Path(self.env["WINEPREFIX"])
        self.win64 = is_win64_prefix(self.env)
        self.registry_tool = [wine64_or_wine(self.env)]
        self.root = pathlib.Path(tempfile.mkdtemp(prefix="quarn-cases-"))
        self.drive_root = self.root / "drive"
        self.drive_root.mkdir()
        self.scratch = self.root / "scratch"
        self.scratch.mkdir()
        self.link = self.prefix / "dosdevices" / f"{DRIVE}:"
        if self.link.is_symlink() or self.link.exists():
            self.link.unlink()
        self.link.symlink_to(self.drive_root)

    def close(self):
        if self.link.is_symlink():
            self.link.unlink()
        shutil.rmtree(self.root, ignore_errors=True)

    # Paths -----------------------------------------------------------------

    def win_path(self, relative):
        """Windows path of a path below the drive root."""
        return f"{DRIVE.upper()}:\\" + relative.replace("/", "\\")

    def unix_path(self, relative):
        return self.drive_root / relative

    def wine_tool(self, *args, timeout=120, check=True):
        return subprocess.run([*self.registry_tool, *args], env=self.env, capture_output=True,
                              timeout=timeout, check=check)

    # State -----------------------------------------------------------------

    def _registry_script(self, case, win_installation):
        product32 = (r"HKEY_LOCAL_MACHINE\SOFTWARE\Wow6432Node\QUARN Software" if self.win64
                     else r"HKEY_LOCAL_MACHINE\SOFTWARE\QUARN Software")
        product64 = r"HKEY_LOCAL_MACHINE\SOFTWARE\QUARN Software" if self.win64 else None
        out = ["Windows Registry Editor Version 5.00", ""]
        for key in (product32, product64):
            if key:
                out += [f"[-{key}]", ""]
        out += [f"[{SESSION_MANAGER}]", '"PendingFileRenameOperations"=-', ""]
        out += [f"[-{APP_DEFAULTS}]", ""]
        if case.key:
            if case.view == "64" and not self.win64:
                raise ValueError("a 32-bit prefix has no 64-bit registry view")
            target = product64 if case.view == "64" else product32
            out.append(f"[{target}\\Quarn]")
            if case.program_folder is not ABSENT:
                text = win_installation if case.program_folder is INSTALLATION else case.program_folder
                out.append(f'"ProgramFolder"={_reg_text(text)}')
            out.append("")
        if case.windows:
            out += [f"[{APP_DEFAULTS}]", f'"Version"={_reg_text(case.windows)}', ""]
        return "\r\n".join(out) + "\r\n"

    def reset(self, case):
        """Clears what earlier runs left and lays out the case."""
        for child in self.drive_root.iterdir():
            if child.is_dir() and not child.is_symlink():
                shutil.rmtree(child)
            else:
                child.unlink()
        installation = self.unix_path(case.folder)
        installation.mkdir(parents=True)
        if case.installed is not ABSENT:
            shutil.copyfile(updater_fixture.make_updater(case.installed), installation / UPDATER)
        for relative, content in case.files.items():
            target = installation / relative
            if content is None:
                target.mkdir(parents=True, exist_ok=True)
                continue
            target.parent.mkdir(parents=True, exist_ok=True)
            if isinstance(content, (bytes, bytearray)):
                target.write_bytes(content)
            else:
                shutil.copyfile(content, target)
        for relative, target in case.links.items():
            link = installation / relative
            link.parent.mkdir(parents=True, exist_ok=True)
            link.symlink_to(target)
        win_installation = self.win_path(case.folder)
        script = self.scratch / "case.reg"
        script.write_bytes(b"\xff\xfe" + self._registry_script(case, win_installation)
                           .encode("utf-16-le"))
        self.wine_tool("regedit", "/S", self.win_scratch("case.reg"))
        return installation, win_installation

    def win_scratch(self, name):
        return "Z:" + str(self.scratch / name).replace("/", "\\")

    def pending_operations(self):
        """PendingFileRenameOperations as a list of (source, target)."""
        export = self.scratch / "session.reg"
        if export.exists():
            export.unlink()
        self.wine_tool("regedit", "/E", self.win_scratch("session.reg"), SESSION_MANAGER)
        strings = parse_multi_sz_export(export.read_bytes().decode("utf-16"),
                                        "PendingFileRenameOperations") or []
        if len(strings) % 2:
            strings.append("")
        return list(zip(strings[0::2], strings[1::2]))

    # Running ---------------------------------------------------------------

    def run(self, case):
        """Plays the case; returns its Outcome."""
        if os.environ.get("QUARN_SANDBOXED") != "1":
            # The program goes on to download from the real update host.
            raise RuntimeError("scenario runs need the hermetic sandbox (./scripts/test)")
        installation, win_installation = self.reset(case)
        # Through a batch file: cmd hands back the whole exit code, which the
        # Unix status only shows modulo 256.
        batch = self.scratch / "run.cmd"
        win_exe = "Z:" + str(self.exe).replace("/", "\\")
        batch.write_bytes(("@echo off\r\n"
                           f'"{win_exe}"\r\n'
                           f"echo {EXIT_MARKER}%errorlevel%\r\n").encode("ascii"))
        try:
            done = subprocess.run([*self.registry_tool, "cmd", "/c", self.win_scratch("run.cmd")],
                                  env=self.env, capture_output=True, timeout=case.timeout,
                                  cwd=self.scratch)
        except subprocess.TimeoutExpired:
            subprocess.run(["wineserver", "-k"], env=self.env)
            raise
        lines = done.stdout.decode("latin-1").replace("\r\n", "\n").split("\n")
        if lines and lines[-1] == "":
            lines.pop()
        exit_code = None
        if lines and lines[-1].startswith(EXIT_MARKER):
            exit_code = int(lines.pop()[len(EXIT_MARKER):])
        return Outcome(
            exit_code=exit_code,
            exit_status=done.returncode,
            lines=lines,
            files=list_tree(installation),
            pending=self.pending_operations(),
            installation=installation,
            win_installation=win_installation,
            stderr=done.stderr.decode("latin-1", "replace"))
