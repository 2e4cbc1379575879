"""A one-machine OpenStack Swift with its S3 API, started by the tests that
need an object store: memcached, an account, a container and an object
server and a proxy (tempauth + s3api), each on a free 127.0.0.1 port, the
devices plain directories under a temporary directory, the rings built there.

    with SwiftStore() as store:
        store.endpoint              # http://127.0.0.1:PORT, for --s3-endpoint
        store.environment()         # AWS_ACCESS_KEY_ID / AWS_SECRET_ACCESS_KEY
        store.allow_read("b")       # READER_KEY may read "b", not write it
        store.create_bucket("b")
        store.get_object("b", "key")   # bytes, or None when missing
        store.pending_uploads("b")     # keys with a multipart upload begun, not ended

Checks go through Swift's own API (a bucket is a container, a pending
multipart upload is a marker object in BUCKET+segments), so the tests never
read the store through the code they test. The daemons are Debian's Python
programs (/usr/bin/swift-*, run by /usr/bin/python3); they read
/etc/swift/swift.conf whatever they are told, so it is written when absent.
Standard library only; every wait is bounded."""

import json
import os
import shutil
import signal
import socket
import subprocess
import tempfile
import time
import urllib.error
import urllib.request

ACCESS_KEY = "test:tester"
READER_KEY = "test:reader"
SECRET_KEY = "testing"
SWIFT_CONF = "/etc/swift/swift.conf"
SWIFT_CONF_TEXT = """[swift-hash]
swift_hash_path_suffix = parcelmoor-tests
swift_hash_path_prefix = parcelmoor-tests

[storage-policy:0]
name = Policy-0
default = yes
"""


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def swift_available():
    """Why the store cannot run here, or None when it can."""
    for program in ("/usr/bin/swift-proxy-server", "/usr/bin/swift-object-server", "/usr/bin/memcached",
                    ):
        if not os.path.exists(program):
            return f"{program} is missing (scripts/setup.sh installs it)"
    return None


def _server_conf(root, port, kind, user):
    return f"""[DEFAULT]
bind_ip = 127.0.0.1
bind_port = {port}
devices = {root}/srv
mount_check = false
swift_dir = {root}
user = {user}
workers = 1
log_level = WARNING
disable_fallocate = true

[pipeline:main]
pipeline = healthcheck {kind}-server

[filter:healthcheck]
use = egg:swift#healthcheck

[app:{kind}-server]
use = egg:swift#{kind}
# No updater daemon runs: a listing update that timed out would never come,
# and the listings are how the tests see pending uploads.
container_update_timeout = 60
account_update_timeout = 60
"""


def _proxy_conf(root, port, memcached_port, user, max_parts):
    return f"""[DEFAULT]
bind_ip = 127.0.0.1
bind_port = {port}
swift_dir = {root}
user = {user}
workers = 1
log_level = WARNING

[pipeline:main]
pipeline = catch_errors gatekeeper healthcheck proxy-logging cache listing_formats s3api tempauth copy slo dlo proxy-logging proxy-server

[app:proxy-server]
use = egg:swift#proxy
account_autocreate = true
# One node of each kind: a node that erred once must not be skipped.
error_suppression_limit = 1000000
error_suppression_interval = 1
node_timeout = 60
conn_timeout = 5

[filter:s3api]
use = egg:swift#s3api
location = us-east-1
max_upload_part_num = {max_parts}
s3_acl = false

[filter:tempauth]
use = egg:swift#tempauth
user_test_tester = {SECRET_KEY} .admin
# A user of the same account with no rights of its own: it reads a bucket
# only where the bucket's ACL lets it (allow_read), and writes nowhere.
user_test_reader = {SECRET_KEY}

[filter:slo]
use = egg:swift#slo
max_manifest_segments = {max_parts}
max_manifest_size = {max_parts * 1024}

[filter:dlo]
use = egg:swift#dlo

[filter:copy]
use = egg:swift#copy

[filter:catch_errors]
use = egg:swift#catch_errors

[filter:gatekeeper]
use = egg:swift#gatekeeper

[filter:healthcheck]
use = egg:swift#healthcheck

[filter:proxy-logging]
use = egg:swift#proxy_logging

[filter:cache]
use = egg:swift#memcache
memcache_servers = 127.0.0.1:{memcached_port}

[filter:listing_formats]
use = egg:swift#listing_formats
"""


class SwiftStore:
    def __init__(self, max_parts=10000):
        self.max_parts = max_parts
        self.root = None
        self.processes = {}
        self.ports = {}
        self._token = None
        self.stopped = False

    # -- start and stop ---------------------------------------------------------
    def __enter__(self):
        why = swift_available()
        if why:
            raise RuntimeError(why)
        if not os.path.exists(SWIFT_CONF):
            os.makedirs(os.path.dirname(SWIFT_CONF), exist_ok=True)
            with open(SWIFT_CONF, "w") as f:
                f.write(SWIFT_CONF_TEXT)
        self.root = tempfile.mkdtemp(prefix="parcelmoor-swift-")
        try:
            self._start()
        except BaseException:
            self.__exit__(None, None, None)
            raise
        return self

    def __exit__(self, *exc):
        self.stop()
        if self.root:
            shutil.rmtree(self.root, ignore_errors=True)

    def _start(self):
        user = "root" if os.getuid() == 0 else os.environ.get("USER", "nobody")
        os.makedirs(f"{self.root}/srv/d1", exist_ok=True)
        for kind in ("memcached", "account", "container", "object", "proxy"):
            self.ports[kind] = free_port()
        self._build_rings()
        for kind in ("account", "container", "object"):
            self._write(f"{kind}-server.conf", _server_conf(self.root, self.ports[kind], kind, user))
        self._write("proxy-server.conf",
                    _proxy_conf(self.root, self.ports["proxy"], self.ports["memcached"], user, self.max_parts))
        self._spawn("memcached", ["/usr/bin/memcached", "-l", "127.0.0.1", "-p", str(self.ports["memcached"]),
                                  "-U", "0", "-m", "64", "-u", user])
        for kind in ("account", "container", "object", "proxy"):
            self._spawn(kind, [f"/usr/bin/swift-{kind}-server", f"{self.root}/{kind}-server.conf"])
        self._wait_healthy()
        self._wait_ready()

    def _write(self, name, text):
        with open(os.path.join(self.root, name), "w") as f:
            f.write(text)

    def _build_rings(self):
        # One run of Debian's Python for the three rings: each
        # swift-ring-builder call would pay Swift's import again.
        script = (
            "import sys\n"
            "from swift.common.ring import RingBuilder\n"
            "root = sys.argv[1]\n"
            "for arg in sys.argv[2:]:\n"
            "    kind, port = arg.split('=')\n"
            "    builder = RingBuilder(4, 1, 1)\n"
            "    builder.add_dev({'id': 0, 'region': 1, 'zone': 1, 'ip': '127.0.0.1', 'port': int(port),\n"
            "                     'device': 'd1', 'weight': 100, 'meta': ''})\n"
            "    builder.rebalance()\n"
            "    builder.get_ring().save(f'{root}/{kind}.ring.gz')\n")
        args = [f"{kind}={self.ports[kind]}" for kind in ("account", "container", "object")]
        result = subprocess.run(["/usr/bin/python3", "-c", script, self.root, *args], capture_output=True,
                                timeout=120, env=self._environment())
        if result.returncode != 0:
            raise RuntimeError(f"building the rings: {result.stderr.decode()[-1000:]}")

    @staticmethod
    def _environment():
        # Debian's Python and its modules, never a virtual environment's.
        env = {k: v for k, v in os.environ.items() if not k.startswith(("PYTHON", "VIRTUAL_ENV", "PYENV"))}
        env["PATH"] = "/usr/sbin:/usr/bin:/sbin:/bin"
        return env

    def _spawn(self, kind, argv):
        with open(f"{self.root}/{kind}.log", "ab") as log:  # the daemon keeps its own descriptor
            self.processes[kind] = subprocess.Popen(argv, stdout=log, stderr=subprocess.STDOUT,
                                                    env=self._environment(), start_new_session=True)

    def _wait_healthy(self, deadline_s=60):
        deadline = time.monotonic() + deadline_s
        for kind in ("memcached", "account", "container", "object", "proxy"):
            while True:
                if self.processes[kind].poll() is not None:
                    raise RuntimeError(f"swift {kind} exited: {self.log(kind)[-2000:]}")
                if self._answers(kind):
                    break
                if time.monotonic() > deadline:
                    raise RuntimeError(f"swift {kind} did not start: {self.log(kind)[-2000:]}")
                time.sleep(0.1)

    def _answers(self, kind):
        port = self.ports[kind]
        if kind == "memcached":
            try:
                with socket.create_connection(("127.0.0.1", port), timeout=1) as s:
                    s.sendall(b"version\r\n")
                    return s.recv(100).startswith(b"VERSION")
            except OSError:
                return False
        try:
            with urllib.request.urlopen(f"http://127.0.0.1:{port}/healthcheck", timeout=2) as r:
                return r.status == 200
        except (OSError, urllib.error.URLError):
            return False

    def _wait_ready(self, deadline_s=60):
        # Every daemon answers its health check; the first account request
        # (auto-created) and a container put prove the path through them all.
        deadline = time.monotonic() + deadline_s
        while True:
            try:
                self.create_bucket("parcelmoor-ready")
                self.put_object("parcelmoor-ready", "probe", b"ok")
                if self.get_object("parcelmoor-ready", "probe") == b"ok":
                    return
            except (OSError, urllib.error.URLError, RuntimeError):
                pass
            if time.monotonic() > deadline:
                raise RuntimeError("swift did not become ready: " + self.log("proxy")[-2000:])
            time.sleep(0.2)

    def stop_proxy(self):
        """Stops the proxy alone: the store is down for its clients."""
        process = self.processes["proxy"]
        os.killpg(process.pid, signal.SIGTERM)
        process.wait(timeout=20)

    def start_proxy(self):
        """Starts the proxy stopped by stop_proxy and waits until it serves."""
        self._spawn("proxy", ["/usr/bin/swift-proxy-server", f"{self.root}/proxy-server.conf"])
        self._wait_healthy()
        self._token = None

    def pause_proxy(self):
        """Stops the proxy's processes without closing its socket: the store
        takes connections and answers nothing."""
        os.killpg(self.processes["proxy"].pid, signal.SIGSTOP)

    def resume_proxy(self):
        os.killpg(self.processes["proxy"].pid, signal.SIGCONT)

    def log(self, kind):
        try:
            with open(f"{self.root}/{kind}.log", "rb") as f:
                return f.read().decode(errors="replace")
        except OSError:
            return ""

    def stop(self):
        """Stops every daemon (the store is then unreachable)."""
        for kind, process in reversed(list(self.processes.items())):
            if process.poll() is None:
                os.killpg(process.pid, signal.SIGTERM)
        for process in self.processes.values():
            try:
                process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                os.killpg(process.pid, signal.SIGKILL)
                process.wait(timeout=10)
        self.stopped = True

    # -- what the tests pass to parcelmoor --------------------------------------
    @property
    def endpoint(self):
        return f"http://127.0.0.1:{self.ports['proxy']}"

    @staticmethod
    def environment():
        return {"AWS_ACCESS_KEY_ID": ACCESS_KEY, "AWS_SECRET_ACCESS_KEY": SECRET_KEY}

    # -- Swift's own API, for checks ----------------------------------------------
    def _request(self, method, path, data=None, headers=None, query=""):
        if self._token is None:
            req = urllib.request.Request(f"{self.endpoint}/auth/v1.0",
                                         headers={"X-Auth-User": ACCESS_KEY, "X-Auth-Key": SECRET_KEY})
            with urllib.request.urlopen(req, timeout=30) as r:
                self._token = r.headers["X-Auth-Token"]
                self._storage = r.headers["X-Storage-Url"]
        url = self._storage + "/" + urllib.request.quote(path) + query
        req = urllib.request.Request(url, data=data, method=method,
                                     headers={"X-Auth-Token": self._token, **(headers or {})})
        try:
            with urllib.request.urlopen(req, timeout=120) as r:
                return r.status, r.read()
        except urllib.error.HTTPError as e:
            return e.code, e.read()

    def create_bucket(self, bucket):
        status, body = self._request("PUT", bucket)
        if status not in (201, 202):
            raise RuntimeError(f"creating {bucket}: {status} {body[:200]!r}")

    def allow_read(self, bucket):
        """Lets READER_KEY read `bucket` (list, HEAD, GET) but not write it."""
        status, body = self._request("POST", bucket, headers={"X-Container-Read": "test:reader"})
        if status not in (202, 204):
            raise RuntimeError(f"setting the ACL of {bucket}: {status} {body[:200]!r}")

    def put_object(self, bucket, key, data):
        status, body = self._request("PUT", f"{bucket}/{key}", data=data)
        if status != 201:
            raise RuntimeError(f"putting {bucket}/{key}: {status} {body[:200]!r}")

    def get_object(self, bucket, key):
        status, body = self._request("GET", f"{bucket}/{key}")
        if status == 404:
            return None
        if status != 200:
            raise RuntimeError(f"getting {bucket}/{key}: {status} {body[:200]!r}")
        return body

    def list_objects(self, bucket, prefix=""):
        status, body = self._request("GET", bucket, query="?format=json&prefix=" + urllib.request.quote(prefix))
        if status == 404:
            return []
        return [entry["name"] for entry in json.loads(body)]

    def pending_uploads(self, bucket):
        """Keys with a multipart upload begun and neither completed nor aborted:
        s3api keeps one marker object KEY/UPLOAD-ID per upload in
        BUCKET+segments (its parts are KEY/UPLOAD-ID/NUMBER)."""
        pending = []
        for name in self.list_objects(bucket + "+segments"):
            head, _, last = name.rpartition("/")
            if head and not last.isdigit():
                pending.append(head)
        return pending


if __name__ == "__main__":
    # For benchmarks and by hand: `swift_store.py BUCKET` starts the store,
    # creates BUCKET, prints the endpoint and runs until SIGTERM or SIGINT.
    import sys

    signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
    with SwiftStore() as running:
        running.create_bucket(sys.argv[1] if len(sys.argv) > 1 else "uploads")
        print(running.endpoint, flush=True)
        try:
            while True:
                time.sleep(3600)
        except KeyboardInterrupt:
            pass
