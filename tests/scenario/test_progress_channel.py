"""The reporting channels as the outside sees them: progress reports as the
listener on the pipe receives them and the answers the client gets back, and
the log lines as standard output receives them. The listener and the client
are separate Wine processes of one prefix, as the product's component and
this program are."""
import contextlib
import os
import re
import subprocess
import time

import pytest

from conftest import BUILD, ROOT, WINE_RUN, run_windows

FIELD_BYTES = 65536
FIELD_UNITS = 32768


def pattern(n):
    """The text progress_send makes for "units:N"."""
    return "".join("\u263a" if i % 1000 == 999 else chr(ord("A") + i % 26) for i in range(n))


def windows_path(path):
    return "Z:" + str(path).replace("/", "\\")


def parse_record(text):
    messages = []
    for line in text.splitlines():
        head, _, rest = line.partition(" text=")
        fields = dict(item.split("=", 1) for item in head.split()[1:])
        message = {k: int(v) for k, v in fields.items()}
        text_part, _, raw = rest.rpartition(" raw=") if " raw=" in rest else (rest, "", "")
        message["text"] = text_part
        message["raw"] = bytes.fromhex(raw) if raw else None
        messages.append(message)
    return messages


class Listener:
    def __init__(self, proc, out, record):
        self.proc, self.out, self.record = proc, out, record

    def messages(self):
        return parse_record(self.record.read_text("latin-1"))

    def console(self):
        return self.out.read_bytes().decode("latin-1")


@contextlib.contextmanager
def listening(tmp_path, exit_after, *args):
    """Starts the listener in the background, waits for its pipe, and after
    the block waits for it to end by itself (it stops after exit_after
    messages, or when idle for 30 s)."""
    out = tmp_path / "listener.out"
    record = tmp_path / "record.txt"
    env = dict(os.environ, QUARN_BUILD=str(BUILD))
    with open(out, "wb") as sink:
        proc = subprocess.Popen(
            [str(WINE_RUN), str(BUILD / "progress_listener.exe"), "--record", windows_path(record),
             "--timeout", "30", "--exit-after", str(exit_after), *map(str, args)],
            stdout=sink, stderr=subprocess.STDOUT, env=env)
    try:
        deadline = time.monotonic() + 60
        while b"LISTENING" not in out.read_bytes():
            if proc.poll() is not None or time.monotonic() > deadline:
                pytest.fail("listener did not start: " + out.read_bytes().decode("latin-1"))
            time.sleep(0.1)
        listener = Listener(proc, out, record)
        yield listener
        assert proc.wait(timeout=60) == 0, listener.console()
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()


def send(*args):
    code, stdout, stderr = run_windows("progress_send.exe", args, timeout=180)
    assert code == 0, stderr
    return stdout


def answers(stdout):
    """(kind, value, answer, milliseconds) of every ANSWER line."""
    return [(int(k), int(v), int(a), float(ms))
            for k, v, a, ms in re.findall(r"^ANSWER (-?\d+) (-?\d+) (-?\d+) ms=([\d.]+)\r$",
                                          stdout, re.M)]


def test_text_field_as_the_listener_receives_it(tmp_path):
    cases = [  # (text argument, text the field must hold)
        ("null", ""),
        ("hello", "hello"),
        (f"units:{FIELD_UNITS}", pattern(FIELD_UNITS)),          # full, no terminator
        (f"units:{FIELD_UNITS + 7232}", pattern(FIELD_UNITS)),   # cut
    ]
    args = []
    for i, (text, _) in enumerate(cases):
        args += ["--report", "3", str(1000 + i), text]
    with listening(tmp_path, len(cases), "--raw-kind", "3") as listener:
        out = send(*args)
    assert [a[2] for a in answers(out)] == [0] * len(cases)
    received = listener.messages()
    assert len(received) == len(cases)
    for i, ((text, want), got) in enumerate(zip(cases, received)):
        assert (got["kind"], got["value"], got["bytes"]) == (3, 1000 + i, 8 + FIELD_BYTES), text
        field = want.encode("utf-16-le")
        assert got["raw"] == field + bytes(FIELD_BYTES - len(field)), text


def test_answers_as_the_client_gets_them(tmp_path):
    rules = [  # (answer, bytes of it replied, what the report must answer)
        ("0xFFFFFFFF", 4, -1),
        ("0x7F6E5D4C", 4, 0x7F6E5D4C),
        ("0x7F6E5D4C", 1, 0x4C),            # the bytes not received stay zero
        ("0xFFFFFFFF", 3, 0x00FFFFFF),
        ("5", 0, 0),                        # no reply at all: the call fails
    ]
    args = []
    for nth, (value, length, _) in enumerate(rules, 1):
        args += ["--answer", f"6:{nth}:{value}"]
        if length < 4:
            args += ["--short-reply", f"6:{nth}:{length}"]
    with listening(tmp_path, len(rules), *args) as listener:
        out = send(*[a for _ in rules for a in ("--report", "6", "8192", "null")])
    assert [a[2] for a in answers(out)] == [want for _, _, want in rules]
    assert [m["reply"] for m in listener.messages()] == [length for _, length, _ in rules]


def test_no_listener_answers_zero_at_once():
    out = send("--report", "3", "0", "hello", "--report", "6", "8192", "null",
               "--report", "9", "0", "null")
    got = answers(out)
    assert [a[2] for a in got] == [0, 0, 0]
    slowest = max(a[3] for a in got)
    print(f"no listener: slowest report {slowest:.3f} ms")
    assert slowest < 1000


def test_listener_shows_progress_to_a_person(tmp_path):
    reports = [("9", "0", "null"), ("0", "2048000", "null"), ("1", "1048576", "null"),
               ("6", "0", "null"), ("1", "2048000", "null"), ("2", "0", "null"),
               ("3", "0", "Download finished")]
    with listening(tmp_path, len(reports) + 100) as listener:
        out = send(*[a for r in reports for a in ("--report", *r)], "--bench", "100")
    bench = re.search(r"^BENCH n=100 ms=([\d.]+)", out, re.M)
    print(f"100 reports through the listener: {float(bench.group(1)):.1f} ms")
    console = listener.console().replace("\r\n", "\n")
    assert ("Download starting\n"
            "[....................]   0% 0/2048000 bytes\n"
            "[##########..........]  51% 1048576/2048000 bytes\n"
            "... waiting for data\n"
            "[####################] 100% 2048000/2048000 bytes\n"
            "[####################] 100% 2048000/2048000 bytes - done\n"
            "MESSAGE: Download finished\n") in console
    assert "END 107 messages" in console


def test_log_lines_on_standard_output():
    out = send("--log-long", "32767", "--log-long", "32768", "--log-long", "40000")
    lines = out.split("\r\n")
    assert "\n" not in out.replace("\r\n", ""), "a line end without CR"
    assert lines[0] == "PULLAR: Agent=Pullar/5.00 (unknown)"
    letters = "".join(chr(ord("a") + i % 26) for i in range(32767))
    assert lines[1:] == [letters, letters, letters, ""]


def test_offline_probe_on_a_system_without_wininet():
    """wininet.dll disabled in this prefix's process: the probe logs the load
    failure and the Internet Explorer settings stay in force."""
    script = ('. "$1/scripts/lib/wine-env.sh"; quarn_wine_env "$2"; '
              'export WINEDLLOVERRIDES="$WINEDLLOVERRIDES;wininet=d"; '
              'exec wine "$2/progress_send.exe" --set-proxy - 1 0')
    proc = subprocess.run(["bash", "-c", script, "-", str(ROOT), str(BUILD)],
                          capture_output=True, timeout=180)
    assert proc.stdout.decode("latin-1").split("\r\n") == [
        "PULLAR: Agent=Pullar/5.00 (unknown)",
        "PULLAR: IEOffline: LoadLibrary( wininet.dll ) returned 0x0000007E",
        "PULLAR: Type: use IE settings",
        "PULLAR: Auth: another authentication, use WinInet",
        "",
    ]
