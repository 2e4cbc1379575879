#!/usr/bin/env python3
"""The deployments docs/hosting.md describes, run as a user would copy them.

Usage: test_deploy_docs.py PARCELMOOR_BINARY   (or PARCELMOOR_BIN in the environment)

nginx and lighttpd are started from copies of Debian's stock configuration
(nginx.conf with sites-enabled/, lighttpd.conf with conf-enabled/), paths and
ports moved into a temporary directory on 127.0.0.1, and the guide's block
dropped in where the guide says. Only what cannot work on a test machine is
changed: the TLS listen line becomes a loopback port, the example upstream
and upload directory point at the test's own.
"""

import concurrent.futures
import hashlib
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from upload_support import ServeProcess, curl, kill_process, wait_until  # noqa: E402

BINARY = os.environ.get("PARCELMOOR_BIN", "")
GUIDE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "docs", "hosting.md")
NGINX = shutil.which("nginx") or "/usr/sbin/nginx"
LIGHTTPD = shutil.which("lighttpd") or "/usr/sbin/lighttpd"
BIG = 1000 << 20  # under the guide's lighttpd file limit of 1 GiB


def guide_block(heading, language, guide=GUIDE):
    """The first ```language block after `heading` in a guide (by default the
    hosting guide), as a reader copies it."""
    with open(guide) as f:
        text = f.read()
    after = text[text.index(heading):]
    m = re.search(r"```" + language + r"\n(.*?)```", after, re.S)
    return m.group(1)


def indented_block(after, guide):
    """The first block of four-space-indented lines after the text `after`."""
    with open(guide) as f:
        text = f.read()
    m = re.search(r"\n((?:    .*\n)+)", text[text.index(after):])
    return "".join(line[4:] + "\n" for line in m.group(1).splitlines())


def write_file(path, size, seed):
    """Writes `size` pseudo-random bytes; returns their SHA-256."""
    digest = hashlib.sha256()
    block = hashlib.sha256(str(seed).encode()).digest() * 32768  # 1 MiB
    with open(path, "wb") as f:
        left, n = size, 0
        while left:
            piece = (block[n % 977:] + block[:n % 977])[:min(left, len(block))]
            f.write(piece)
            digest.update(piece)
            left -= len(piece)
            n += 1
    return digest.hexdigest()


def sha256_of(path):
    digest = hashlib.sha256()
    with open(path, "rb") as f:
        for piece in iter(lambda: f.read(1 << 20), b""):
            digest.update(piece)
    return digest.hexdigest()


def upload(url, name, path):
    status, _, body, _ = curl(url, "-H", "Accept: application/json", "-F", f"file=@{path};filename={name}",
                              timeout=300)
    return status, body


def free_port():
    import socket
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Deployment(unittest.TestCase):
    """One temporary tree per test class; subclasses start their web server."""

    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.mkdtemp(prefix="parcelmoor-deploy-")
        os.chmod(cls.tmp, 0o755)  # web server workers drop to www-data
        cls.uploads = os.path.join(cls.tmp, "uploads")
        os.mkdir(cls.uploads)
        shutil.chown(cls.uploads, "www-data", "www-data")
        cls.servers, cls.proc = [], None

    @classmethod
    def tearDownClass(cls):
        if cls.proc is not None:
            cls.proc.send_signal(signal.SIGTERM)
            try:
                cls.proc.wait(10)
            except subprocess.TimeoutExpired:
                kill_process(cls.proc)
        for server in cls.servers:
            server.stop()
        if not os.environ.get("KEEP"): shutil.rmtree(cls.tmp, ignore_errors=True)

    @classmethod
    def start(cls, argv):
        with open(os.path.join(cls.tmp, "server.err"), "wb") as err:
            cls.proc = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=err)
        if not wait_until(lambda: cls.proc.poll() is not None or cls.answers(), 15) or cls.proc.poll():
            logs = [os.path.join(cls.tmp, "server.err"), os.path.join(cls.tmp, "log", "error.log")]
            text = "".join(open(p, errors="replace").read() for p in logs if os.path.exists(p))
            raise RuntimeError(f"{argv[0]} did not start: {text[-2000:]}")

    @classmethod
    def answers(cls):
        try:
            return curl(cls.url, timeout=2)[0] == 200
        except (AssertionError, subprocess.TimeoutExpired):
            return False

    def upload_big(self):
        source = os.path.join(self.tmp, "big.bin")
        digest = write_file(source, BIG, 1)
        try:
            status, body = upload(self.url, "big.bin", source)
            self.assertEqual(status, 200, body[-500:])
            self.assertEqual(sha256_of(os.path.join(self.uploads, "big.bin")), digest)
        finally:
            os.remove(source)
            if os.path.exists(os.path.join(self.uploads, "big.bin")):
                os.remove(os.path.join(self.uploads, "big.bin"))


class BehindNginx(Deployment):
    """Three `serve` instances sharing one upload directory behind the
    guide's nginx block, in Debian's sites-enabled layout."""

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        for i in range(3):
            work = os.path.join(cls.tmp, f"serve{i}")
            os.mkdir(work)
            os.symlink(cls.uploads, os.path.join(work, "uploads"))
            # As the guide says, nginx is trusted to name the client; this
            # test's thirty clients all share 127.0.0.1, so its per-client
            # cap is raised.
            cls.servers.append(ServeProcess(BINARY, work, "--trusted-proxy", "127.0.0.1",
                                            "--max-uploads-per-client", "30"))
        etc = os.path.join(cls.tmp, "etc")
        for sub in ("sites-enabled", "conf.d", "modules-enabled"):
            os.makedirs(os.path.join(etc, sub))
        shutil.copy("/etc/nginx/mime.types", etc)
        with open("/etc/nginx/nginx.conf") as f:
            stock = f.read()
        stock = stock.replace("/etc/nginx", etc).replace("/run/nginx.pid", f"{cls.tmp}/nginx.pid")
        stock = stock.replace("/var/log/nginx", cls.tmp)
        with open(os.path.join(etc, "nginx.conf"), "w") as f:
            f.write(stock)
        port = free_port()
        site = guide_block("## Behind nginx", "nginx")
        site = site.replace("listen 443 ssl;", f"listen 127.0.0.1:{port};")
        upstreams = "".join(f"    server 127.0.0.1:{s.port};\n" for s in cls.servers)
        site = site.replace("    server 127.0.0.1:8080;\n", upstreams)
        site = site.replace("server_name uploads.example.org;", "server_name localhost;")
        with open(os.path.join(etc, "sites-enabled", "parcelmoor"), "w") as f:
            f.write(site)
        cls.url = f"http://127.0.0.1:{port}/"
        cls.start([NGINX, "-p", cls.tmp, "-c", os.path.join(etc, "nginx.conf"), "-g", "daemon off;"])

    def test_the_plain_http_variant_passes_nginx_t_as_written(self):
        etc = os.path.join(self.tmp, "etc")
        sites = os.path.join(self.tmp, "plain-sites")
        os.makedirs(sites, exist_ok=True)
        with open(os.path.join(sites, "parcelmoor"), "w") as f:
            f.write(guide_block("the same in plain HTTP", "nginx"))
        with open(os.path.join(etc, "nginx.conf")) as f:
            conf = f.read().replace(os.path.join(etc, "sites-enabled"), sites)
        path = os.path.join(self.tmp, "plain.conf")
        with open(path, "w") as f:
            f.write(conf)
        out = subprocess.run([NGINX, "-t", "-p", self.tmp, "-c", path], capture_output=True, timeout=30)
        self.assertEqual(out.returncode, 0, out.stderr)

    def test_a_big_upload_arrives_byte_for_byte(self):
        self.upload_big()

    def test_concurrent_uploads_spread_over_the_instances_land_exactly(self):
        digests = {}
        for i in range(30):
            path = os.path.join(self.tmp, f"c{i}.bin")
            digests[f"c{i}.bin"] = write_file(path, (1 << 20) + i * 4099, 100 + i)
        with concurrent.futures.ThreadPoolExecutor(30) as pool:
            results = list(pool.map(lambda n: upload(self.url, n, os.path.join(self.tmp, n)), digests))
        self.assertEqual([status for status, _ in results], [200] * 30)
        for name, digest in digests.items():
            self.assertEqual(sha256_of(os.path.join(self.uploads, name)), digest, name)
        served = [sum(" POST / 200 " in line for line in s.log_lines()) for s in self.servers]
        self.assertTrue(all(served), f"uploads per instance: {served}")

    def test_one_name_through_two_instances_never_mixes_bytes(self):
        paths, digests = [], []
        for i in range(2):
            paths.append(os.path.join(self.tmp, f"same{i}.bin"))
            digests.append(write_file(paths[-1], 64 << 20, 200 + i))
        with concurrent.futures.ThreadPoolExecutor(2) as pool:
            results = list(pool.map(lambda i: upload(self.servers[i].url, "same.bin", paths[i]), range(2)))
        # Either both ran one after the other, or the later one was refused
        # while the first wrote the name; never a file of both.
        self.assertIn(200, [status for status, _ in results])
        self.assertIn(sha256_of(os.path.join(self.uploads, "same.bin")), digests)


class LighttpdCgi(Deployment):
    """`parcelmoor cgi` with the guide's lighttpd block in Debian's
    conf-enabled layout."""

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        etc, docroot = os.path.join(cls.tmp, "etc"), os.path.join(cls.tmp, "html")
        shutil.copytree("/etc/lighttpd", etc)
        os.mkdir(docroot)
        os.chmod(docroot, 0o755)
        logs = os.path.join(cls.tmp, "log")  # lighttpd opens its log and spool as www-data
        os.mkdir(logs)
        shutil.chown(logs, "www-data", "www-data")
        port = free_port()
        with open(os.path.join(etc, "lighttpd.conf")) as f:
            stock = f.read()
        for old, new in (("/etc/lighttpd", etc), ("/var/www/html", docroot),
                         ("/var/cache/lighttpd/uploads", logs), ("/var/log/lighttpd", logs),
                         ("/run/lighttpd.pid", f"{cls.tmp}/lighttpd.pid"),
                         ("server.port                 = 80", f"server.port = {port}\nserver.bind = \"127.0.0.1\"")):
            stock = stock.replace(old, new)
        with open(os.path.join(etc, "lighttpd.conf"), "w") as f:
            f.write(stock)
        cls.logs = logs
        block = guide_block("### lighttpd (mod_cgi)", "lighttpd").replace("/srv/uploads", cls.uploads)
        with open(os.path.join(etc, "conf-enabled", "50-parcelmoor.conf"), "w") as f:
            f.write(block.replace("/var/log/lighttpd", logs))
        # The guide's shell steps, with parcelmoor found on PATH as an
        # installed one would be.
        steps = guide_block("### lighttpd (mod_cgi)", "sh").replace("/var/www/html", docroot)
        steps = steps.replace("/srv/uploads", cls.uploads)
        path = os.path.dirname(os.path.abspath(BINARY)) + os.pathsep + os.environ.get("PATH", "")
        subprocess.run(["sh", "-e", "-c", steps], env=dict(os.environ, PATH=path), check=True, timeout=30)
        cls.url = f"http://127.0.0.1:{port}/upload.cgi"
        cls.start([LIGHTTPD, "-D", "-f", os.path.join(etc, "lighttpd.conf")])

    def test_the_page_is_the_program_s_answer_not_the_program(self):
        status, headers, body, _ = curl(self.url)
        self.assertEqual(status, 200)
        self.assertIn(b"<form", body)

    def test_a_big_upload_arrives_byte_for_byte(self):
        self.upload_big()

    def test_the_request_log_is_kept_where_the_guide_says(self):
        path = os.path.join(self.tmp, "small.bin")
        with open(path, "wb") as f:
            f.write(b"small")
        self.assertEqual(upload(self.url, "small.bin", path)[0], 200)
        breakage = os.path.join(self.logs, "breakage.log")

        def logged():
            if not os.path.exists(breakage):
                return ""
            with open(breakage, errors="replace") as f:
                return f.read()
        self.assertTrue(wait_until(lambda: " POST /upload.cgi 200 " in logged(), 10), logged() or "no breakage.log")
        os.remove(os.path.join(self.uploads, "small.bin"))


class EmbeddingExample(unittest.TestCase):
    """docs/embedding.md's commands for the example C host, run verbatim from
    a directory that looks like the source tree with its build; only the
    upload directory moves into the test's own."""

    def test_the_documented_commands_store_the_sample(self):
        build = os.path.dirname(os.path.dirname(os.path.abspath(BINARY)))
        source = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")
        if not os.path.exists(os.path.join(build, "include", "parcelmoor", "server_abi.h")) or not shutil.which("cc"):
            self.skipTest("the library's header is not built, or no C compiler")
        work = tempfile.mkdtemp(prefix="parcelmoor-embedding-")
        self.addCleanup(shutil.rmtree, work, True)
        for name, target in (("build", build), ("examples", os.path.join(source, "examples")),
                             ("samples", os.path.join(source, "samples"))):
            os.symlink(os.path.abspath(target), os.path.join(work, name))
        guide = os.path.join(os.path.dirname(GUIDE), "embedding.md")
        steps = indented_block("or by hand after the library is\nbuilt:", guide)
        # as written; and without the mkdir, which the upload needs
        for upload_dir, code in (("made", 0), ("missing", 3)):
            with self.subTest(upload_dir):
                script = steps.replace("/tmp/up", os.path.join(work, upload_dir))
                if upload_dir == "missing":
                    script = "".join(l for l in script.splitlines(True) if not l.startswith("mkdir"))
                out = subprocess.run(["sh", "-e", "-c", script], cwd=work, capture_output=True, timeout=120)
                self.assertEqual(out.returncode, code, out.stderr)
                report = json.loads(out.stdout)
                stored = sorted(os.listdir(os.path.join(work, upload_dir))) if code == 0 else []
                self.assertEqual(bool(stored), code == 0, stored)
                self.assertEqual(report["response"] == "", code == 0, report["response"])


if __name__ == "__main__":
    if len(sys.argv) > 1:
        BINARY = sys.argv.pop(1)
    if not BINARY:
        sys.exit("usage: test_deploy_docs.py PARCELMOOR_BINARY")
    if os.geteuid() != 0:
        print("skipped: the web servers' stock configurations need root")
        sys.exit(0)
    unittest.main(verbosity=2)
