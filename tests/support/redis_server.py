"""A redis-server of the test's own on 127.0.0.1, nothing saved to disk.

    with RedisServer() as redis:
        redis.url                   # redis://127.0.0.1:PORT, for --coordinator
        redis.command("KEYS", "*")  # one command through redis-cli, its output
"""

import os
import shutil
import socket
import subprocess
import tempfile
import time

REDIS_SERVER = "/usr/bin/redis-server"


def redis_available():
    """Why a coordinator cannot run here, or None when it can."""
    return None if os.path.exists(REDIS_SERVER) else f"{REDIS_SERVER} is missing (scripts/setup.sh installs it)"


class RedisServer:
    def __enter__(self):
        with socket.socket() as s:
            s.bind(("127.0.0.1", 0))
            self.port = s.getsockname()[1]
        self.root = tempfile.mkdtemp(prefix="parcelmoor-redis-")
        self.proc = subprocess.Popen(
            [REDIS_SERVER, "--bind", "127.0.0.1", "--port", str(self.port), "--save", "", "--appendonly", "no",
             "--dir", self.root], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + 20
        while self.command("PING") != "PONG":
            if time.monotonic() > deadline or self.proc.poll() is not None:
                self.__exit__(None, None, None)
                raise RuntimeError("redis-server did not start")
            time.sleep(0.05)
        return self

    def __exit__(self, *exc):
        if self.proc.poll() is None:
            self.proc.terminate()
            self.proc.wait(10)
        shutil.rmtree(self.root, ignore_errors=True)

    @property
    def url(self):
        return f"redis://127.0.0.1:{self.port}"

    def command(self, *args):
        ran = subprocess.run(["redis-cli", "-h", "127.0.0.1", "-p", str(self.port), *args],
                             capture_output=True, timeout=10)
        return ran.stdout.decode().strip()
