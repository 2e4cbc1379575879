"""The servers bench/servers/run.py compares, each started on a free port of
127.0.0.1 and storing every file part in a directory of its own."""

import os
import shutil
import socket
import subprocess
import time

HERE = os.path.dirname(os.path.abspath(__file__))
# The sink reading the socket in pieces of 65,535 bytes, the size of the
# chunks the component asks its host for: the floor of a host that received
# each chunk straight into the component's buffer.
SINK_65535 = "sink 65,535"


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_for_port(port, proc, seconds=20):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if proc.poll() is not None:
            raise RuntimeError(f"server exited with {proc.returncode}")
        try:
            socket.create_connection(("127.0.0.1", port), timeout=1).close()
            return
        except OSError:
            time.sleep(0.05)
    raise RuntimeError(f"nothing listens on port {port}")


class Server:
    def __init__(self, name, out, argv, env=None, extra=()):
        self.name, self.out, self.argv, self.env = name, out, argv, env
        self.procs, self.extra = [], extra

    def start(self):
        for argv in self.extra:   # helpers first (PHP-FPM behind nginx)
            self.procs.append(subprocess.Popen(argv, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))
        time.sleep(0.5 if self.extra else 0)
        env = dict(os.environ, **(self.env or {}))
        self.procs.append(subprocess.Popen(self.argv, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                           env=env))
        wait_for_port(self.port, self.procs[-1])

    def stop(self):
        for p in reversed(self.procs):
            p.terminate()
        for p in self.procs:
            try:
                p.wait(15)
            except subprocess.TimeoutExpired:
                p.kill()


def php_configs(work, port, out):
    php = os.path.join(work, "php")
    for d in ("tmp", "nginx-body", "nginx-fcgi"):
        os.makedirs(os.path.join(php, d), exist_ok=True)
    fpm = os.path.join(php, "fpm.conf")
    with open(fpm, "w") as f:
        f.write(f"""[global]
pid = {php}/fpm.pid
error_log = {php}/fpm.log
daemonize = no
[www]
user = root
group = root
listen = {php}/fpm.sock
pm = static
pm.max_children = 8
env[UPLOAD_DIR] = {out}
php_admin_value[file_uploads] = On
php_admin_value[upload_tmp_dir] = {php}/tmp
php_admin_value[upload_max_filesize] = 2G
php_admin_value[post_max_size] = 3G
php_admin_value[max_file_uploads] = 2000
php_admin_value[max_input_time] = 300
php_admin_value[max_execution_time] = 300
php_admin_value[memory_limit] = 256M
""")
    conf = os.path.join(php, "nginx.conf")
    with open(conf, "w") as f:
        f.write(f"""worker_processes 2;
daemon off;
master_process on;
user root;
pid {php}/nginx.pid;
error_log {php}/nginx-error.log;
events {{ worker_connections 1024; }}
http {{
  access_log off;
  client_body_temp_path {php}/nginx-body;
  fastcgi_temp_path {php}/nginx-fcgi;
  client_max_body_size 0;
  keepalive_requests 100000;
  server {{
    listen 127.0.0.1:{port};
    location / {{
      include /etc/nginx/fastcgi_params;
      fastcgi_param SCRIPT_FILENAME {HERE}/php/upload.php;
      fastcgi_pass unix:{php}/fpm.sock;
      fastcgi_read_timeout 300;
    }}
  }}
}}
""")
    fpm_binary = shutil.which("php-fpm8.2") or shutil.which("php-fpm") or "php-fpm"
    return [fpm_binary, "-R", "-F", "-y", fpm], ["nginx", "-p", php, "-c", conf]


def servers(args, work):
    binaries = os.path.join(work, "bin")
    result = []

    def add(name, make):
        out = os.path.join(work, "out", name)
        os.makedirs(out, exist_ok=True)
        port = free_port()
        server = make(port, out)
        server.port = port
        result.append(server)

    add("parcelmoor", lambda p, o: Server("parcelmoor", o, [args.parcelmoor, "serve", "--port", str(p), "--dir", o]))
    add("parcelmoor --no-sync", lambda p, o: Server("parcelmoor --no-sync", o,
                                                    [args.parcelmoor, "serve", "--no-sync", "--port", str(p),
                                                     "--dir", o]))
    add("parcelmoor --no-sync --checksum none",
        lambda p, o: Server("parcelmoor --no-sync --checksum none", o,
                            [args.parcelmoor, "serve", "--no-sync", "--checksum", "none", "--port", str(p),
                             "--dir", o]))
    if args.metrics:  # the cost of counting: the same with a metrics listener, scraped by nobody
        metrics = ["--metrics-bind", "127.0.0.1:0"]
        add("parcelmoor +metrics", lambda p, o: Server("parcelmoor +metrics", o,
                                                       [args.parcelmoor, "serve", "--port", str(p), "--dir", o,
                                                        *metrics]))
        add("parcelmoor --no-sync +metrics",
            lambda p, o: Server("parcelmoor --no-sync +metrics", o,
                                [args.parcelmoor, "serve", "--no-sync", "--port", str(p), "--dir", o, *metrics]))
    if args.before:   # another build of parcelmoor, to compare two builds in one run
        add("before: parcelmoor", lambda p, o: Server("before: parcelmoor", o,
                                                      [args.before, "serve", "--port", str(p), "--dir", o]))
        add("before: parcelmoor --no-sync",
            lambda p, o: Server("before: parcelmoor --no-sync", o,
                                [args.before, "serve", "--no-sync", "--port", str(p), "--dir", o]))
    add("Go stream", lambda p, o: Server("Go stream", o, [f"{binaries}/go-server", "-mode", "stream", "-port", str(p),
                                                          "-dir", o]))
    add("Go parse", lambda p, o: Server("Go parse", o, [f"{binaries}/go-server", "-mode", "parse", "-port", str(p),
                                                        "-dir", o]))
    add("Node busboy", lambda p, o: Server("Node busboy", o, ["node", f"{HERE}/node/server.js", str(p), o]))

    def nginx_php(p, o):
        fpm, nginx = php_configs(work, p, o)
        return Server("nginx + PHP", o, nginx, extra=[fpm])

    add("nginx + PHP", nginx_php)
    add("sink", lambda p, o: Server("sink", o, [f"{binaries}/sink", str(p), o]))
    add(SINK_65535, lambda p, o: Server(SINK_65535, o, [f"{binaries}/sink", str(p), o, "65535"]))
    if args.servers:  # only the servers whose names begin with one of these
        result = [r for r in result if r.name.startswith(tuple(args.servers.split(",")))]
    return result
