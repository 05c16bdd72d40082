"""A throw-away system for running the installed command server as root.

The server reads fixed paths (/etc/vornex, /var/vornex, /usr/share/vornex, the user's home),
the real password database and /dev/log. Each Sandbox gives it private overlays of /etc, /var,
/usr, /home and /dev inside a private mount namespace; the host's trees are never written.
Files are prepared in the overlays' upper dirs before the mount and read back from there.
"""

import json
import os
import re
import shutil
import socket
import struct
import subprocess
import tempfile
import threading
import time

SERVER = "/usr/libexec/vornex/vornex-command-server"
TREES = ("etc", "var", "usr", "home", "dev")

LOG_ERR, LOG_WARNING, LOG_ALERT = 3, 4, 1
LOG_DAEMON, LOG_AUTHPRIV = 3, 10

ERROR_LINE = b"Error occurred during execution of this program\n"
UNAUTHORIZED_LINE = b"You are not authorized to run this command\n"

_RECORD = re.compile(rb"^<(\d+)>(\w{3} [ \d]\d \d\d:\d\d:\d\d) ([^\[\s]*)\[(\d+)\]: (.*)$", re.S)


class Record:
    """One syslog datagram."""

    def __init__(self, raw):
        self.raw = raw
        m = _RECORD.match(raw)
        if m is None:
            raise ValueError(f"unparsable syslog datagram {raw!r}")
        self.pri = int(m.group(1))
        self.facility, self.severity = divmod(self.pri, 8)
        self.ident = m.group(3).decode()
        self.pid = int(m.group(4))
        self.bytes = m.group(5)
        self.text = self.bytes.decode("utf-8", "surrogateescape")

    def __repr__(self):
        return f"<{self.pri}> {self.ident}[{self.pid}]: {self.text!r}"


class Result:
    def __init__(self, proc, logs):
        self.rc = proc.returncode
        self.stdout = proc.stdout
        self.stderr = proc.stderr
        self.logs = logs

    def texts(self, ident="vornex.command.server"):
        return [r.text for r in self.logs if ident is None or r.ident == ident]

    def assert_refused(self):
        assert self.rc == 1, self
        assert self.stderr == UNAUTHORIZED_LINE, self

    def assert_failed(self):
        assert self.rc == 1, self
        assert self.stderr == ERROR_LINE, self

    def __repr__(self):
        return f"Result(rc={self.rc}, stderr={self.stderr!r}, logs={self.logs!r})"


def user_prefix(uid):
    return "%02d" % (uid % 100)


def user_dir(name, uid):
    return f"/var/vornex/{user_prefix(uid)}/{name}"


def encode_record(last_failure=0, blocked_until=0, failures=0, blocks=0):
    return struct.pack("<qqii", last_failure, blocked_until, failures, blocks)


def decode_record(data):
    return struct.unpack("<qqii", data[:24])


class Sandbox:
    def __init__(self, stage=None, native=None):
        self.stage = stage or os.environ.get("VORNEX_STAGE", "")
        self.native = native or os.environ.get("VORNEX_NATIVE", "")
        if not os.path.exists(os.path.join(self.stage, SERVER.lstrip("/"))):
            raise RuntimeError(f"no staged server under {self.stage!r} (VORNEX_STAGE)")
        self.sanitized = os.environ.get("VORNEX_SANITIZED") == "1"
        self.dir = tempfile.mkdtemp(prefix="vornex-sb-")
        os.chmod(self.dir, 0o755)
        for tree in TREES:
            os.makedirs(f"{self.dir}/{tree}.up")
            os.makedirs(f"{self.dir}/{tree}.work")
        shutil.copy("/etc/passwd", self.upper("/etc/passwd"))
        shutil.copy("/etc/group", self.upper("/etc/group"))
        self.mkdir("/etc/vornex")
        self.probe_dir = f"{self.dir}/probe"
        os.makedirs(self.probe_dir)
        os.chmod(self.probe_dir, 0o777)
        self.log_path = f"{self.dir}/log.sock"
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 8 << 20)
        self.sock.bind(self.log_path)
        os.chmod(self.log_path, 0o666)
        os.symlink(self.log_path, self.upper("/dev/log"))
        self._pending = []

    # -- files ------------------------------------------------------------------------------

    def upper(self, path):
        tree = path.strip("/").split("/", 1)[0]
        if tree not in TREES:
            raise ValueError(f"{path} is not under an overlaid tree")
        parts = path.strip("/").split("/", 1)
        return f"{self.dir}/{tree}.up/{parts[1] if len(parts) > 1 else ''}".rstrip("/")

    def mkdir(self, path, mode=0o755, uid=0, gid=0):
        target = self.upper(path)
        parent = os.path.dirname(path)
        if not os.path.isdir(self.upper(parent)):
            self.mkdir(parent)
        if not os.path.isdir(target):
            os.mkdir(target)
        os.chown(target, uid, gid)
        os.chmod(target, mode)

    def write_file(self, path, content, mode=0o644, uid=0, gid=0):
        if not os.path.isdir(self.upper(os.path.dirname(path))):
            self.mkdir(os.path.dirname(path))
        if isinstance(content, str):
            content = content.encode()
        target = self.upper(path)
        if os.path.lexists(target) and not os.path.isfile(target):
            os.unlink(target)
        with open(target, "wb") as f:
            f.write(content)
        os.chown(target, uid, gid)
        os.chmod(target, mode)

    def symlink(self, path, target):
        parent = os.path.dirname(path)
        if not os.path.isdir(self.upper(parent)):
            self.mkdir(parent)
        os.symlink(target, self.upper(path))

    def mkfifo(self, path, mode=0o644, uid=0, gid=0):
        os.mkfifo(self.upper(path))
        os.chown(self.upper(path), uid, gid)
        os.chmod(self.upper(path), mode)

    def remove(self, path):
        os.unlink(self.upper(path))

    def hide(self, path):
        """Hides a path of the host's lower tree with an overlay whiteout."""
        target = self.upper(path)
        if os.path.lexists(target):
            shutil.rmtree(target) if os.path.isdir(target) else os.unlink(target)
        os.mknod(target, 0o600 | 0o020000, os.makedev(0, 0))

    def read(self, path):
        try:
            with open(self.upper(path), "rb") as f:
                return f.read()
        except FileNotFoundError:
            return None

    def stat(self, path):
        try:
            return os.lstat(self.upper(path))
        except FileNotFoundError:
            return None

    def listdir(self, path):
        try:
            return sorted(os.listdir(self.upper(path)))
        except FileNotFoundError:
            return []

    # -- accounts and the project's files ---------------------------------------------------

    def add_group(self, name, gid, members=()):
        with open(self.upper("/etc/group"), "a") as f:
            f.write(f"{name}:x:{gid}:{','.join(members)}\n")

    def add_user(self, name, uid, gid=None, home=None, shell="/bin/sh", make_home=True,
                 gecos="", group=True):
        gid = uid if gid is None else gid
        home = f"/home/{name}" if home is None else home
        with open(self.upper("/etc/passwd"), "a") as f:
            f.write(f"{name}:x:{uid}:{gid}:{gecos}:{home}:{shell}\n")
        if group:
            self.add_group(name, gid)
        if make_home and home.startswith("/home/"):
            self.mkdir(home, 0o755, uid, gid)
            self.mkdir(home + "/.vornex", 0o755, uid, gid)
            self.mkdir(home + "/.vornex/tmp", 0o755, uid, gid)

    def add_users(self, lines):
        """Appends raw passwd lines (bytes or str), for large or hostile databases."""
        if isinstance(lines, str):
            lines = lines.encode()
        with open(self.upper("/etc/passwd"), "ab") as f:
            f.write(lines)

    def commands(self, content, name="proxy.commands", mode=0o644):
        self.write_file(f"/etc/vornex/{name}", content, mode)

    def flag(self, name="proxy.debug"):
        self.write_file(f"/etc/vornex/{name}", b"")

    def marker(self, path="/etc/sorvantine-edition-tavo"):
        self.write_file(path, b"")

    def token(self, name, uid, text, mode=0o400, owner=None):
        base = user_dir(name, uid)
        self.mkdir(f"/var/vornex/{user_prefix(uid)}")
        self.mkdir(base)
        self.mkdir(base + "/.vornex", 0o755, uid, uid)
        owner = uid if owner is None else owner
        self.write_file(base + "/.vornex/.vornex.token", text, mode, owner, owner)

    def auth_log(self, name, uid):
        return self.read(user_dir(name, uid) + "/.ferrymate.log")

    def write_auth_log(self, name, uid, data):
        self.write_file(user_dir(name, uid) + "/.ferrymate.log", data)

    # -- the probe ---------------------------------------------------------------------------

    def install_probe(self, path="/usr/local/bin/probe", exit_code=None):
        self.write_file(path, open(os.path.join(self.native, "probe"), "rb").read(), 0o755)
        if exit_code is not None:
            self.probe_exit(os.path.basename(path), exit_code)
        return path

    def install_validator(self, exit_code=0):
        self.install_probe("/usr/share/vornex/check_params.py", exit_code)

    def probe_exit(self, basename, code):
        with open(f"{self.probe_dir}/{basename}.exit", "w") as f:
            f.write(str(code))

    def probe_reports(self, basename="probe"):
        try:
            with open(f"{self.probe_dir}/{basename}.jsonl", encoding="utf-8") as f:
                return [json.loads(line) for line in f if line.strip()]
        except FileNotFoundError:
            return []

    # -- running -----------------------------------------------------------------------------

    def _mounts(self):
        lowers = {tree: f"/{tree}" for tree in TREES}
        lowers["usr"] = f"{self.stage}/usr:/usr"
        return " && ".join(
            f"mount -t overlay overlay -o lowerdir={lowers[t]},upperdir={self.dir}/{t}.up,"
            f"workdir={self.dir}/{t}.work /{t}" for t in ("etc", "var", "home", "dev", "usr"))

    def command(self, argv):
        """The argument vector that starts `argv` inside the sandbox's namespace."""
        return ["unshare", "-m", "--propagation", "private", "sh", "-c",
                self._mounts() + ' && exec "$0" "$@"'] + list(argv)

    def environment(self, token=b"secret", env=None, preload=None, library_path=None):
        full = {"PATH": "/usr/bin:/bin", "PROBE_DIR": self.probe_dir}
        if token is not None:
            full["VORNEX_TOKEN"] = token
        if self.sanitized:
            options = "abort_on_error=0:exitcode=66:detect_leaks=0"
            if preload:
                options += ":verify_asan_link_order=0"
            full["ASAN_OPTIONS"] = options
            full["UBSAN_OPTIONS"] = "halt_on_error=1:exitcode=67:print_stacktrace=1"
        if preload:
            full["LD_PRELOAD"] = preload
        if library_path:
            full["LD_LIBRARY_PATH"] = library_path
        full.update(env or {})
        return {os.fsencode(k): os.fsencode(v) if isinstance(v, str) else v
                for k, v in full.items()}

    def request(self, user="site1", cwd=None, alias="probe", pid="4242", extra=(),
                argv1="frontend"):
        cwd = f"/home/{user}" if cwd is None and isinstance(user, str) else cwd
        return [argv1, user, cwd, alias, pid] + list(extra)

    def run(self, argv_tail=None, token=b"secret", env=None, preload=None, library_path=None,
            timeout=30, argv0=SERVER, raw_argv=None, pass_fds=(), **request):
        """Runs the server once. `argv_tail` is argv[1:]; `raw_argv` replaces the whole vector
        after argv[0] is executed as SERVER (for vectors shorter than the server expects)."""
        if raw_argv is None:
            argv = [argv0] + list(argv_tail if argv_tail is not None
                                  else self.request(**request))
        else:
            argv = list(raw_argv)
        proc = self._start(argv, token, env, preload, library_path, pass_fds)
        out, err = self._communicate(proc, timeout)
        done = subprocess.CompletedProcess(argv, proc.returncode, out, err)
        return Result(done, self.logs())

    def _start(self, argv, token, env, preload, library_path, pass_fds=()):
        # The server sees its own path as argv[0]; argv[1:] is passed as given.
        inner = [SERVER] + [os.fsencode(a) if isinstance(a, str) else a for a in argv[1:]]
        return subprocess.Popen(
            self.command(inner), env=self.environment(token, env, preload, library_path),
            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
            pass_fds=pass_fds)

    def _communicate(self, proc, timeout):
        # The log socket is drained while the server runs, so a full queue never blocks it.
        stop = threading.Event()

        def drain():
            while not stop.is_set():
                self._drain_once()
                time.sleep(0.005)

        thread = threading.Thread(target=drain, daemon=True)
        thread.start()
        try:
            out, err = proc.communicate(timeout=timeout)
        finally:
            stop.set()
            thread.join()
        return out, err

    def run_many(self, specs, timeout=60):
        """Starts every request of `specs` (dicts of run() arguments) at once."""
        procs = []
        for spec in specs:
            spec = dict(spec)
            argv = [SERVER] + list(spec.pop("argv_tail", None) or self.request(
                **{k: spec.pop(k) for k in list(spec) if k in
                   ("user", "cwd", "alias", "pid", "extra")}))
            procs.append(self._start(argv, spec.get("token", b"secret"), spec.get("env"),
                                     spec.get("preload"), spec.get("library_path")))
        deadline = time.monotonic() + timeout
        results = []
        for proc in procs:
            out, err = self._communicate(proc, max(1.0, deadline - time.monotonic()))
            results.append(Result(subprocess.CompletedProcess([], proc.returncode, out, err),
                                  []))
        logs = self.logs()
        return results, logs

    def shell(self, script, timeout=30):
        """Runs a shell script inside the sandbox's mounts (for looking, not for the server)."""
        return subprocess.run(self.command(["/bin/sh", "-c", script]), capture_output=True,
                              timeout=timeout, env={"PATH": "/usr/bin:/bin"})

    def _drain_once(self):
        self.sock.setblocking(False)
        while True:
            try:
                self._pending.append(self.sock.recv(1 << 20))
            except BlockingIOError:
                return

    def logs(self):
        self._drain_once()
        raw, self._pending = self._pending, []
        return [Record(r) for r in raw]

    def close(self):
        self.sock.close()
        shutil.rmtree(self.dir, ignore_errors=True)
