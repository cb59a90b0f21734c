"""A scripted TCP server on 127.0.0.1 for cases that need exact answers or
misbehaviour: each accepted connection takes the next step of its script.
A step is a callable (conn, first_bytes) -> None; helpers below build the
usual ones. Every request's first bytes are recorded."""
import socket
import struct
import threading
import time


class ScriptedServer:
    def __init__(self, steps, port=0, repeat_last=True, read_request="http"):
        self.steps = list(steps)
        self.repeat_last = repeat_last
        self.read_request = read_request
        self.requests = []
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.sock.bind(("127.0.0.1", port))
        self.sock.listen(16)
        self.sock.settimeout(0.2)
        self.port = self.sock.getsockname()[1]
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._serve, daemon=True)

    def __enter__(self):
        self._thread.start()
        return self

    def __exit__(self, *exc):
        self._stop.set()
        self._thread.join(5)
        self.sock.close()

    def _next_step(self):
        if self.steps:
            step = self.steps[0]
            if len(self.steps) > 1 or not self.repeat_last:
                self.steps.pop(0)
            return step
        return None

    def _serve(self):
        while not self._stop.is_set():
            try:
                conn, _ = self.sock.accept()
            except socket.timeout:
                continue
            except OSError:
                return
            with conn:
                conn.settimeout(10)
                data = b""
                if self.read_request == "once":
                    try:
                        data = conn.recv(4096)
                    except OSError:
                        pass
                elif self.read_request:
                    try:
                        while b"\r\n\r\n" not in data and len(data) < 65536:
                            chunk = conn.recv(4096)
                            if not chunk:
                                break
                            data += chunk
                    except OSError:
                        pass
                self.requests.append(data)
                step = self._next_step()
                if step is None:
                    continue
                try:
                    step(conn, data)
                except OSError:
                    pass


def answer(raw: bytes, close_after=None):
    """Sends raw bytes (cut after close_after bytes) and closes."""
    def step(conn, _):
        conn.sendall(raw if close_after is None else raw[:close_after])
    return step


def http(status, lines=(), body=b"", reason="X"):
    """An HTTP/1.0 answer; lines are header lines as they go on the wire."""
    head = f"HTTP/1.0 {status} {reason}\r\n" + "".join(f"{l}\r\n" for l in lines) + "\r\n"
    return head.encode("latin-1") + body


def stall(seconds):
    def step(conn, _):
        time.sleep(seconds)
    return step


def socks_reply(code, version=0):
    def step(conn, _):
        conn.sendall(struct.pack(">BBHI", version, code, 0, 0))
    return step
