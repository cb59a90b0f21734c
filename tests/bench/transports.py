"""Throughput of the two transports, side by side in one run: a file from a
local HTTP server on 127.0.0.1 through HttpGetWinsock and HttpGetWininet, in
alternating rounds, against a baseline call for an empty file that measures
the cost of starting the program under Wine. Prints MB/s per transport and
their ratio; asserts nothing.

    scripts/bench [--mib N] [--rounds N]
"""
import argparse
import hashlib
import os
import pathlib
import statistics
import subprocess
import sys
import tempfile
import time

ROOT = pathlib.Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "tests" / "servers"))
sys.path.insert(0, str(ROOT / "tests" / "scenario"))
import peers  # noqa: E402
from sandbox_runner import wine_environment  # noqa: E402


def fetch(env, build, transport, url, out):
    started = time.monotonic()
    # WinInet with the Internet Explorer settings (none here: direct), Winsock
    # direct; both with the product's default progress callback and no
    # listener on the pipe.
    mode = "1" if transport == "wininet" else "0"
    done = subprocess.run(["wine", str(build / "transport_fetch.exe"), "--transport", transport,
                           "--mode", mode, "--url", url, "--out", out, "--pipe"],
                          env=env, capture_output=True, timeout=600)
    elapsed = time.monotonic() - started
    if b"RESULT 0 STATUS 200" not in done.stdout:
        raise RuntimeError(f"{transport}: {done.stdout[-300:]!r}")
    return elapsed


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--mib", type=int, default=64)
    parser.add_argument("--rounds", type=int, default=3)
    args = parser.parse_args()
    build = pathlib.Path(os.environ.get("QUARN_BUILD", ROOT / "build")).resolve()
    env = wine_environment(build)
    with tempfile.TemporaryDirectory() as tmp:
        tmp = pathlib.Path(tmp)
        site = tmp / "site"
        site.mkdir()
        payload = os.urandom(1 << 20) * args.mib
        (site / "big.bin").write_bytes(payload)
        (site / "empty.bin").write_bytes(b"")
        expected = hashlib.sha256(payload).hexdigest()
        out = tmp / "out.bin"
        win_out = "Z:" + str(out).replace("/", "\\")
        times = {"winsock": [], "wininet": []}
        base = {"winsock": [], "wininet": []}
        with peers.file_server(site) as server:
            origin = f"http://127.0.0.1:{server.port}"
            for _ in range(args.rounds):
                for transport in ("winsock", "wininet"):
                    base[transport].append(fetch(env, build, transport, origin + "/empty.bin", win_out))
                    times[transport].append(fetch(env, build, transport, origin + "/big.bin", win_out))
                    if hashlib.sha256(out.read_bytes()).hexdigest() != expected:
                        raise RuntimeError(f"{transport}: the file arrived changed")
        rates = {}
        for transport in times:
            transfer = statistics.median(times[transport]) - statistics.median(base[transport])
            rates[transport] = args.mib * 1.048576 / transfer
            print(f"{transport:8} {args.mib} MiB: median {statistics.median(times[transport]):.2f} s, "
                  f"start-up {statistics.median(base[transport]):.2f} s, {rates[transport]:.1f} MB/s")
        print(f"wininet / winsock throughput ratio: {rates['wininet'] / rates['winsock']:.2f}")


if __name__ == "__main__":
    main()
