"""Fixtures: simulated controllers (ostrel-sim processes) and a scripted fake
line on a pseudo-terminal, both on this machine only."""

from __future__ import annotations

import os
import socket
import subprocess
import threading
import tty

import pytest

SIM = os.environ.get("OSTREL_SIM", "ostrel-sim")


class Sim:
    """An ostrel-sim process serving one controller on a pty."""

    def __init__(self, *args: str) -> None:
        self.proc = subprocess.Popen([SIM, *args], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        self.device = self.proc.stdout.readline().strip()
        if not self.device:
            self.proc.kill()
            raise RuntimeError(f"{SIM} printed no device")

    def stop(self) -> None:
        self.proc.terminate()
        try:
            self.proc.wait(timeout=5)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()


@pytest.fixture
def sim_factory():
    started = []

    def start(*args: str) -> Sim:
        s = Sim(*args)
        started.append(s)
        return s

    yield start
    for s in started:
        s.stop()


def free_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


@pytest.fixture(params=["pty", "socket"])
def sim(request, sim_factory):
    """One controller at address 20, reached over its pty or over socket://."""
    args = ["--address", "20", "--records", "3", "--last-card", "0012345678"]
    if request.param == "pty":
        return sim_factory(*args)
    port = free_port()
    s = sim_factory(*args, "--listen", f"127.0.0.1:{port}")
    s.device = f"socket://127.0.0.1:{port}"
    return s


class FakeLine:
    """A pty whose far end answers each frame with reply(frame) (None: silence)."""

    def __init__(self, reply) -> None:
        self.master, slave = os.openpty()
        self.device = os.ttyname(slave)
        self._slave = slave  # kept open so the driver's close never hangs up the master
        tty.setraw(self.master)
        self.reply = reply
        self.frames: list[bytes] = []
        self._stop = False
        self._thread = threading.Thread(target=self._serve, daemon=True)
        self._thread.start()

    def _serve(self) -> None:
        import select
        while not self._stop:
            ready, _, _ = select.select([self.master], [], [], 0.05)
            if not ready:
                continue
            try:
                data = os.read(self.master, 64)
            except OSError:
                return
            self.frames.append(data)
            answer = self.reply(data)
            if answer:
                os.write(self.master, answer)

    def close(self) -> None:
        self._stop = True
        self._thread.join()
        os.close(self.master)
        os.close(self._slave)


@pytest.fixture
def fake_line():
    lines = []

    def make(reply) -> FakeLine:
        line = FakeLine(reply)
        lines.append(line)
        return line

    yield make
    for line in lines:
        line.close()
