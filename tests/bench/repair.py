"""Wall time of one complete repair in the sandbox: the shipped program
against a local update server, with no progress listener and with the
product's listener serving the pipe, in alternating rounds. Prints the
medians; asserts nothing.

    scripts/bench --repair [--rounds N]
"""
import argparse
import os
import pathlib
import statistics
import subprocess
import sys
import tempfile
import time

ROOT = pathlib.Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "tests"))
sys.path.insert(0, str(ROOT / "tests" / "servers"))
sys.path.insert(0, str(ROOT / "tests" / "scenario"))
import peers  # noqa: E402
from fixtures import cabinet, signing, updater  # noqa: E402
from sandbox_runner import Case, SandboxRunner, wine_environment  # noqa: E402


def timed_run(runner, case):
    started = time.monotonic()
    outcome = runner.run(case)
    elapsed = time.monotonic() - started
    if not (outcome.installation / "QuarnEmUpdate.old").exists():
        raise RuntimeError(f"not repaired: {outcome.lines}")
    return elapsed


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=3)
    args = parser.parse_args()
    build = pathlib.Path(os.environ.get("QUARN_BUILD", ROOT / "build")).resolve()
    env = wine_environment(build)
    with tempfile.TemporaryDirectory() as tmp:
        tmp = pathlib.Path(tmp)
        cert = signing.make_certificate(tmp / "codesign")
        new = signing.sign(updater.make_updater("10.2.2218.0", marker="new"), tmp / "new.exe", *cert)
        site = tmp / "site"
        (site / "files/emupdate").mkdir(parents=True)
        cabinet.make_cabinet(site / "files/emupdate/20150209.cab",
                             {"QuarnEmUpdate.exe": new, "2300.sum": b"sum\n"})
        case = Case(installed="10.1.2300.0", files={"Setup/setup.ini": b"[Common]\r\nNetAcc=0\r\n"})
        runner = SandboxRunner(build, env)
        times = {"without listener": [], "with listener": []}
        try:
            with peers.file_server(site, 80):
                for _ in range(args.rounds):
                    times["without listener"].append(timed_run(runner, case))
                    listener = subprocess.Popen(
                        ["wine", str(build / "progress_listener.exe"), "--timeout", "120"],
                        env=env, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
                    try:
                        listener.stdout.readline()  # LISTENING
                        times["with listener"].append(timed_run(runner, case))
                    finally:
                        listener.terminate()
                        listener.wait(30)
        finally:
            runner.close()
        for name, values in times.items():
            print(f"one repair {name}: median {statistics.median(values):.2f} s "
                  f"({', '.join(f'{v:.2f}' for v in values)})")
        print("each run includes laying out the case and reading back the registry")


if __name__ == "__main__":
    main()
