"""Real peers for the tests, each started on 127.0.0.1 on a port of its own
with its configuration and logs in a private folder, and stopped when the
context ends: a file server (Python's http.server), squid (optionally with
Basic authentication through basic_ncsa_auth) and dante (SOCKS 4)."""
import contextlib
import functools
import http.server
import os
import shutil
import socket
import subprocess
import tempfile
import threading
import time

SQUID = "/usr/sbin/squid"
DANTED = "/usr/sbin/danted"
NCSA_AUTH = "/usr/lib/squid/basic_ncsa_auth"


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_for_port(port, process=None, timeout=30):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if process is not None and process.poll() is not None:
            raise RuntimeError(f"server exited with {process.returncode}")
        with socket.socket() as s:
            s.settimeout(0.2)
            if s.connect_ex(("127.0.0.1", port)) == 0:
                return
        time.sleep(0.1)
    raise RuntimeError(f"nothing listens on 127.0.0.1:{port}")


class _RecordingHandler(http.server.SimpleHTTPRequestHandler):
    def log_message(self, *args):
        pass

    def do_GET(self):
        self.server.requests.append((self.requestline, dict(self.headers.items())))
        super().do_GET()


@contextlib.contextmanager
def file_server(root, port=0, tls=None):
    """Serves the files below root; .requests lists (request line, headers).
    With tls, an ssl.SSLContext of the server side, it speaks HTTPS."""
    handler = functools.partial(_RecordingHandler, directory=str(root))
    server = http.server.ThreadingHTTPServer(("127.0.0.1", port), handler)
    if tls is not None:
        server.socket = tls.wrap_socket(server.socket, server_side=True)
    server.requests = []
    server.port = server.server_address[1]
    thread = threading.Thread(target=server.serve_forever, daemon=True)
    thread.start()
    try:
        yield server
    finally:
        server.shutdown()
        server.server_close()


@contextlib.contextmanager
def _private_folder(prefix):
    folder = tempfile.mkdtemp(prefix=prefix)
    os.chmod(folder, 0o777)  # the servers drop their privileges
    try:
        yield folder
    finally:
        shutil.rmtree(folder, ignore_errors=True)


def _stop(process):
    if process.poll() is None:
        process.terminate()
        try:
            process.wait(10)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()


@contextlib.contextmanager
def squid(users=None):
    """An HTTP proxy; with users ({name: password}) every request needs Basic
    proxy authentication. Yields an object with .port and .access_log()."""
    with _private_folder("quarn-squid-") as folder:
        port = free_port()
        lines = [
            f"http_port 127.0.0.1:{port}",
            f"pid_filename {folder}/squid.pid",
            f"cache_log {folder}/cache.log",
            f"access_log stdio:{folder}/access.log",
            "buffered_logs off",
            "cache deny all",
            "cache_mem 8 MB",
            f"coredump_dir {folder}",
            "shutdown_lifetime 0 seconds",
            "hosts_file /etc/hosts",
            "dns_nameservers 127.0.0.1",
            "acl loopback src 127.0.0.0/8",
        ]
        if users:
            passwd = os.path.join(folder, "passwd")
            with open(passwd, "w") as f:
                for name, password in users.items():
                    hashed = subprocess.run(["openssl", "passwd", "-apr1", password], check=True,
                                            capture_output=True, text=True).stdout.strip()
                    f.write(f"{name}:{hashed}\n")
            os.chmod(passwd, 0o644)
            lines += [f"auth_param basic program {NCSA_AUTH} {passwd}",
                      "auth_param basic realm quarn",
                      "acl authed proxy_auth REQUIRED",
                      "http_access allow loopback authed"]
        else:
            lines.append("http_access allow loopback")
        lines.append("http_access deny all")
        conf = os.path.join(folder, "squid.conf")
        with open(conf, "w") as f:
            f.write("\n".join(lines) + "\n")
        process = subprocess.Popen([SQUID, "-N", "-f", conf], stdout=subprocess.DEVNULL,
                                   stderr=subprocess.DEVNULL)
        try:
            wait_for_port(port, process)

            class Proxy:
                pass
            proxy = Proxy()
            proxy.port = port
            proxy.access_log = lambda: open(os.path.join(folder, "access.log")).read() \
                if os.path.exists(os.path.join(folder, "access.log")) else ""
            yield proxy
        finally:
            _stop(process)


@contextlib.contextmanager
def dante():
    """A SOCKS proxy that grants CONNECT to loopback. Yields its port."""
    with _private_folder("quarn-dante-") as folder:
        port = free_port()
        conf = os.path.join(folder, "danted.conf")
        with open(conf, "w") as f:
            f.write(f"""logoutput: {folder}/danted.log
internal: 127.0.0.1 port = {port}
external: 127.0.0.1
clientmethod: none
socksmethod: none
user.privileged: root
user.unprivileged: nobody
client pass {{ from: 127.0.0.0/8 to: 0.0.0.0/0 }}
socks pass {{ from: 127.0.0.0/8 to: 127.0.0.0/8 command: connect }}
socks block {{ from: 0.0.0.0/0 to: 0.0.0.0/0 }}
""")
        process = subprocess.Popen([DANTED, "-f", conf, "-p", os.path.join(folder, "danted.pid")],
                                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        try:
            wait_for_port(port, process)
            yield port
        finally:
            _stop(process)
