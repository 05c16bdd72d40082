"""Throw-away system for running the installed command server for real.

A Sandbox is a temp dir holding an upper and a work dir for each of /etc, /var, /usr, /home
and /dev. Every run starts the server as root inside a private mount namespace
(`unshare -m --propagation private`) in which those trees are overlays: the host's files are
the lower layer (for /usr the staged install comes first, unless the sandbox is made without
it to install the packages with dpkg), the sandbox's upper dirs hold what the test wrote, and
whatever the server writes lands in the upper dirs, where the test reads it back. Nothing is
ever mounted in the host's namespace and nothing of the host's trees is written: the mounts
die with the namespace when the server ends.

/dev/log in the sandbox is a link to a datagram socket bound in the temp dir itself (outside
every overlay). A thread drains it all the time, since the kernel queues only a handful of
datagrams per socket and glibc's syslog blocks when the queue is full.

The upper dirs must not be changed while a run is going on (overlayfs does not allow it);
the helpers that write them are for use between runs.

Plain stdlib, no pytest: the demo and the benchmark import it too.
"""

from __future__ import annotations

import dataclasses
import json
import os
import pickle
import re
import select
import shlex
import shutil
import signal
import socket
import stat
import struct
import subprocess
import tempfile
import threading
import time
from pathlib import Path
from typing import Iterable, Mapping, NamedTuple, Sequence

SERVER = "/usr/libexec/vornex/vornex-command-server"
VALIDATOR = "/usr/share/vornex/check_params.py"
IDENT = "vornex.command.server"
FORKED_IDENT = "vornex.command.server.forked"

REFUSED = "You are not authorized to run this command"
FAILED = "Error occurred during execution of this program"
UNAUTHORIZED_LINE = (REFUSED + "\n").encode()
ERROR_LINE = (FAILED + "\n").encode()

LOG_AUTHPRIV = 10
LOG_DAEMON = 3
LOG_ALERT = 1
LOG_ERR = 3
LOG_WARNING = 4
PRI_DAEMON_ERR = LOG_DAEMON * 8 + LOG_ERR  # 27
PRI_DAEMON_WARNING = LOG_DAEMON * 8 + LOG_WARNING  # 28
PRI_AUTHPRIV_ALERT = LOG_AUTHPRIV * 8 + LOG_ALERT  # 81

AUTH_RECORD = struct.Struct("<qqii")  # last_failure_time, blocked_until, failures, blocks

OVERLAID = ("etc", "var", "usr", "home", "dev")
REPO = Path(__file__).resolve().parents[2]

MAX_CONCURRENT = 64
_RECV_SIZE = 1 << 20
_RCVBUF = 4 << 20


class SandboxUnavailable(Exception):
    """The machine cannot host a sandbox (not root, no unshare, no overlayfs)."""


_unavailable_reason: str | None | bool = False  # False: not checked yet


def unavailable_reason() -> str | None:
    """Why no sandbox can run here, or None when it can. Checked once per process."""
    global _unavailable_reason
    if _unavailable_reason is not False:
        return _unavailable_reason  # type: ignore[return-value]
    reason = None
    if os.geteuid() != 0:
        reason = "system tests need root"
    elif shutil.which("unshare") is None:
        reason = "the unshare command is missing"
    else:
        with tempfile.TemporaryDirectory(prefix="vornex-sb-check-") as t:
            for d in ("lower", "up", "work", "merged"):
                os.mkdir(os.path.join(t, d))
            opts = f"lowerdir={t}/lower,upperdir={t}/up,workdir={t}/work"
            probe = subprocess.run(
                ["unshare", "-m", "--propagation", "private", "sh", "-c",
                 f"mount -t overlay overlay -o {shlex.quote(opts)} {t}/merged"],
                capture_output=True, timeout=20)
            if probe.returncode != 0:
                reason = "overlay mounts in a private namespace fail: " + probe.stderr.decode(
                    errors="replace").strip()
    _unavailable_reason = reason
    return reason


def prefix(uid: int) -> str:
    """The two-digit user prefix of the per-user directories."""
    return f"{(uid & 0xFFFFFFFF) % 100:02d}"


user_prefix = prefix


def user_dir(name: str, uid: int) -> str:
    """The per-user directory of a name, without a trailing slash."""
    return f"/var/vornex/{prefix(uid)}/{name}"


def encode_record(last_failure_time: int = 0, blocked_until: int = 0, failure_count: int = 0,
                  block_count: int = 0, **short: int) -> bytes:
    """The 24-byte auth log record. Also takes last_failure, failures and blocks."""
    last_failure_time = short.pop("last_failure", last_failure_time)
    failure_count = short.pop("failures", failure_count)
    block_count = short.pop("blocks", block_count)
    if short:
        raise TypeError(f"unknown fields {sorted(short)}")
    return AUTH_RECORD.pack(last_failure_time, blocked_until, failure_count, block_count)


class AuthRecord(NamedTuple):
    last_failure_time: int
    blocked_until: int
    failure_count: int
    block_count: int


def decode_record(data: bytes) -> AuthRecord:
    """The record in the first 24 bytes (compares equal to a plain 4-tuple)."""
    return AuthRecord(*AUTH_RECORD.unpack(data[:AUTH_RECORD.size]))


# The kinds of src/common/report.h, in the order of their numbers (0 is no kind).
END_KINDS = ("?", "announce", "runs", "refused", "alias-unknown", "account", "token-missing",
             "token-file", "token-wrong", "blocked", "validator", "container", "identity", "cwd",
             "exec", "internal", "crontab-check", "descriptor", "busy", "overloaded",
             "no-request", "malformed", "not-yours", "control-byte", "frontend-failed",
             "killed", "stalled")


def decode_report(data: bytes) -> tuple[str, int, bytes, bytes]:
    """(kind name, number, text, detail) of one record of the server's report."""
    assert data[:4] == b"VXR1", data
    kind, number, length = struct.unpack("<BiH", data[4:11])
    text, rest = data[11:11 + length], data[11 + length:]
    assert len(text) == length and len(rest) >= 2, data
    (detail_length,) = struct.unpack("<H", rest[:2])
    assert len(rest) == 2 + detail_length, data
    return END_KINDS[kind], number, text, rest[2:]


def _b(value: str | bytes) -> bytes:
    return value if isinstance(value, bytes) else os.fsencode(value)


# ---------------------------------------------------------------------------------------------
# syslog records

_HEADER = re.compile(rb"<(\d{1,3})>([A-Z][a-z]{2} [ \d]\d \d\d:\d\d:\d\d) ")
_IDENT_PID = re.compile(rb"(.*?)\[(\d+)\]: ", re.S)


@dataclasses.dataclass(frozen=True)
class LogRecord:
    raw: bytes
    pri: int | None
    timestamp: str | None
    ident: str | None
    pid: int | None
    text_bytes: bytes

    @property
    def facility(self) -> int | None:
        return None if self.pri is None else self.pri >> 3

    @property
    def severity(self) -> int | None:
        return None if self.pri is None else self.pri & 7

    @property
    def text(self) -> str:
        return self.text_bytes.decode("utf-8", "surrogateescape")

    @property
    def bytes(self) -> bytes:
        return self.text_bytes

    def __repr__(self) -> str:
        return f"<{self.pri}> {self.ident}[{self.pid}]: {self.text_bytes!r}"


def parse_record(raw: bytes) -> LogRecord:
    """Parses `<PRI>Mmm dd hh:mm:ss ident[pid]: text`; what does not fit is kept as text."""
    m = _HEADER.match(raw)
    if m is None:
        return LogRecord(raw, None, None, None, None, raw)
    rest = raw[m.end():]
    pri = int(m.group(1))
    stamp = m.group(2).decode("ascii")
    m2 = _IDENT_PID.match(rest)
    if m2 is not None:
        return LogRecord(raw, pri, stamp, m2.group(1).decode("utf-8", "surrogateescape"),
                         int(m2.group(2)), rest[m2.end():])
    ident, sep, text = rest.partition(b": ")
    if not sep:
        return LogRecord(raw, pri, stamp, None, None, rest)
    return LogRecord(raw, pri, stamp, ident.decode("utf-8", "surrogateescape"), None, text)


class _LogSink:
    """The sandbox's /dev/log: a datagram socket drained by a thread into a list."""

    def __init__(self, path: str):
        self.path = path
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        try:
            self.sock.setsockopt(socket.SOL_SOCKET, 33, _RCVBUF)  # SO_RCVBUFFORCE
        except OSError:
            self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, _RCVBUF)
        self.sock.bind(path)
        os.chmod(path, 0o666)  # the server may reopen the log after dropping root
        self.sock.setblocking(False)
        self.lock = threading.Lock()
        self.records: list[LogRecord] = []
        self.wake_r, self.wake_w = os.pipe()
        self.thread = threading.Thread(target=self._pump, name="vornex-log-sink", daemon=True)
        self.thread.start()

    def _recv_all(self) -> None:
        while True:
            try:
                data = self.sock.recv(_RECV_SIZE)
            except (BlockingIOError, InterruptedError):
                return
            self.records.append(parse_record(data))

    def _pump(self) -> None:
        poller = select.poll()
        poller.register(self.sock.fileno(), select.POLLIN)
        poller.register(self.wake_r, select.POLLIN)
        while True:
            events = poller.poll()
            if any(fd == self.wake_r for fd, _ in events):
                return
            with self.lock:
                self._recv_all()

    def take(self) -> list[LogRecord]:
        with self.lock:
            self._recv_all()
            records, self.records = self.records, []
        return records

    def close(self) -> None:
        os.write(self.wake_w, b"x")
        self.thread.join(5)
        os.close(self.wake_r)
        os.close(self.wake_w)
        self.sock.close()


# ---------------------------------------------------------------------------------------------
# results

@dataclasses.dataclass
class Result:
    argv: list[bytes]
    rc: int
    stdout: bytes
    stderr: bytes
    logs: list[LogRecord]
    pid: int | None = None
    timed_out: bool = False

    def lines(self, ident: str | None = IDENT) -> list[tuple[int | None, str]]:
        """(pri, text) of the records of one ident (all idents with None), in order."""
        return [(r.pri, r.text) for r in self.logs if ident is None or r.ident == ident]

    def texts(self, ident: str | None = IDENT) -> list[str]:
        return [text for _, text in self.lines(ident)]

    def stderr_line(self) -> str:
        """The one line on standard error, without its newline; fails unless there is
        exactly one complete line."""
        assert self.stderr.endswith(b"\n") and self.stderr.count(b"\n") == 1, (
            f"expected exactly one line on stderr, got {self.stderr!r}")
        return self.stderr[:-1].decode("utf-8", "surrogateescape")

    def assert_ends(self, message: str, lines: Sequence[str] | None = None,
                    pri: int = PRI_DAEMON_ERR) -> None:
        """Status 1, exactly `message` on stderr, and (when given) exactly `lines` logged
        by the server, each at `pri`."""
        assert self.rc == 1, f"status {self.rc}, stderr {self.stderr!r}, logs {self.logs}"
        assert self.stderr_line() == message
        if lines is not None:
            assert self.lines() == [(pri, line) for line in lines], self.logs

    def assert_refused(self, *lines: str) -> None:
        self.assert_ends(REFUSED, lines if lines else None)

    def assert_failed(self, *lines: str) -> None:
        self.assert_ends(FAILED, lines if lines else None)

    def __repr__(self) -> str:
        return (f"Result(rc={self.rc}, stdout={self.stdout[:200]!r}, "
                f"stderr={self.stderr[:400]!r}, logs={self.logs!r})")


def _sanitizer_env(preload: bool) -> dict[str, str]:
    if os.environ.get("VORNEX_SANITIZED") != "1":
        return {}
    asan = "abort_on_error=0:exitcode=66:detect_leaks=0:handle_abort=1"
    if preload:
        asan += ":verify_asan_link_order=0"
    return {"ASAN_OPTIONS": asan,
            "UBSAN_OPTIONS": "print_stacktrace=1:halt_on_error=1:exitcode=67"}


_LOADER_VARS = ("LD_PRELOAD", "LD_LIBRARY_PATH")

_LAUNCHER = r'''
# Runs inside the sandbox's namespace: forks one server per job, holds them all at a gate
# until the last one is forked, then waits for all of them (killing what is left at the
# deadline) and stores (pid, status, timed out) per job.
import os, pickle, signal, sys, time
jobs = pickle.load(open(sys.argv[1], "rb"))
deadline = time.monotonic() + float(sys.argv[3])
gate_r, gate_w = os.pipe()
pids = []
for job in jobs:
    pid = os.fork()
    if pid == 0:
        try:
            os.close(gate_w)
            os.read(gate_r, 1)
            os.close(gate_r)
            null = os.open("/dev/null", os.O_RDONLY)
            out = os.open(job["stdout"], os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644)
            err = os.open(job["stderr"], os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644)
            os.dup2(null, 0)
            os.dup2(out, 1)
            os.dup2(err, 2)
            for fd in (null, out, err):
                os.close(fd)
            os.chdir("/")
            os.execve(job["program"], job["argv"], job["env"])
        finally:
            os._exit(127)
    pids.append(pid)
os.close(gate_w)
status = {}
while len(status) < len(pids):
    for pid in pids:
        if pid not in status:
            done, code = os.waitpid(pid, os.WNOHANG)
            if done:
                status[pid] = (os.waitstatus_to_exitcode(code), False)
    if len(status) < len(pids):
        if time.monotonic() > deadline:
            for pid in pids:
                if pid not in status:
                    os.kill(pid, signal.SIGKILL)
                    status[pid] = (os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]), True)
        time.sleep(0.002)
pickle.dump([(pid,) + status[pid] for pid in pids], open(sys.argv[2], "wb"))
'''


class Running:
    """A server started by Sandbox.start and not yet collected."""

    def __init__(self, sandbox: "Sandbox", proc: subprocess.Popen, argv: list[bytes],
                 timeout: float):
        self.sandbox = sandbox
        self.proc = proc
        self.argv = argv
        self.timeout = timeout

    @property
    def pid(self) -> int:
        return self.proc.pid

    def kill(self, sig: int = signal.SIGKILL) -> None:
        if self.proc.poll() is None:
            os.kill(self.proc.pid, sig)

    def finish(self) -> Result:
        timed_out = False
        try:
            out, err = self.proc.communicate(timeout=self.timeout)
        except subprocess.TimeoutExpired:
            timed_out = True
            os.killpg(self.proc.pid, signal.SIGKILL)
            out, err = self.proc.communicate()
        result = Result(self.argv, self.proc.returncode, out, err, self.sandbox.logs(),
                        self.proc.pid, timed_out)
        if timed_out:
            raise AssertionError(f"server did not end within {self.timeout}s: {result}")
        return result


@dataclasses.dataclass(frozen=True)
class Account:
    name: str
    uid: int
    gid: int
    home: str



_REQUEST_KEYS = ("user", "cwd", "alias", "pid", "extra", "argv1")


class Sandbox:
    def __init__(self, stage: str | None = None, native: str | None = None,
                 staged: bool = True):
        """staged=False leaves the staged install out: /usr is the host's /usr alone, for
        installing the project's packages with dpkg inside the sandbox."""
        reason = unavailable_reason()
        if reason is not None:
            raise SandboxUnavailable(reason)
        self.stage = os.path.abspath(stage or os.environ.get("VORNEX_STAGE")
                                     or str(REPO / "build" / "stage"))
        self.native = os.path.abspath(native or os.environ.get("VORNEX_NATIVE")
                                      or str(REPO / "build" / "tests" / "system" / "native"))
        if staged and not os.path.exists(os.path.join(self.stage, SERVER.lstrip("/"))):
            raise FileNotFoundError(f"no staged server below {self.stage} (VORNEX_STAGE)")
        self.sanitized = os.environ.get("VORNEX_SANITIZED") == "1"
        self.root = self.dir = tempfile.mkdtemp(prefix="vornex-sb-")
        self._sink: _LogSink | None = None
        try:
            os.chmod(self.root, 0o755)  # identities other than root reach the socket and probes
            for d in OVERLAID:
                os.mkdir(self.upper(d), 0o755)
                os.mkdir(os.path.join(self.root, d + ".work"), 0o700)
            self.probe_dir = os.path.join(self.root, "probe")
            os.mkdir(self.probe_dir)
            os.chmod(self.probe_dir, 0o777)
            self.accounts: dict[str, Account] = {}
            for name in ("passwd", "group"):
                shutil.copyfile(f"/etc/{name}", os.path.join(self.upper("etc"), name))
                os.chmod(os.path.join(self.upper("etc"), name), 0o644)
            self.mkdir("/etc/vornex")
            self.log_path = self.log_socket = os.path.join(self.root, "log.sock")
            self._sink = _LogSink(self.log_socket)
            os.symlink(self.log_socket, os.path.join(self.upper("dev"), "log"))
            self.stray_logs: list[LogRecord] = []
            self._mounts = " && ".join(
                "mount -t overlay overlay -o " + shlex.quote(
                    f"lowerdir={lower},upperdir={self.upper(d)},"
                    f"workdir={self.root}/{d}.work") + f" /{d}"
                for d, lower in [("etc", "/etc"), ("var", "/var"), ("home", "/home"),
                                 ("dev", "/dev"),
                                 ("usr", f"{self.stage}/usr:/usr" if staged else "/usr")])
        except BaseException:
            self.close()
            raise

    # -- life cycle ---------------------------------------------------------------------------

    def close(self) -> None:
        if self._sink is not None:
            self._sink.close()
            self._sink = None
        if self.root and os.path.isdir(self.root):
            shutil.rmtree(self.root, ignore_errors=True)

    def __enter__(self) -> "Sandbox":
        return self

    def __exit__(self, *exc) -> None:
        self.close()

    # -- paths --------------------------------------------------------------------------------

    def upper(self, path: str) -> str:
        """The upper dir of a tree ("etc") or, for an absolute path, where that path lies
        in the upper dirs."""
        if not path.startswith("/"):
            return os.path.join(self.root, path + ".up")
        return os.fsdecode(self.host_path(path))

    def host_path(self, path: str | bytes) -> bytes:
        """Where the file at `path` (absolute, in an overlaid tree) lies in the upper dirs."""
        p = _b(path)
        if not p.startswith(b"/"):
            raise ValueError(f"not an absolute path: {path!r}")
        parts = [part for part in p.split(b"/") if part not in (b"", b".")]
        if not parts or parts[0].decode(errors="replace") not in OVERLAID or b".." in parts:
            raise ValueError(f"not below an overlaid tree: {path!r}")
        return b"/".join([_b(self.upper(parts[0].decode()))] + parts[1:])

    def _make_parents(self, path: bytes, mode: int = 0o755, uid: int = 0, gid: int = 0) -> None:
        parent = os.path.dirname(path)
        if os.path.lexists(parent):
            return
        self._make_parents(parent, mode, uid, gid)
        os.mkdir(parent)
        os.chown(parent, uid, gid)
        os.chmod(parent, mode)

    def _clear(self, host: bytes) -> None:
        if os.path.isdir(host) and not os.path.islink(host):
            shutil.rmtree(host)
        elif os.path.lexists(host):
            os.unlink(host)

    # -- files --------------------------------------------------------------------------------

    def write_file(self, path: str | bytes, content: bytes | str = b"", mode: int = 0o644,
                   uid: int = 0, gid: int = 0, parent_mode: int = 0o755, parent_uid: int = 0,
                   parent_gid: int = 0) -> str | bytes:
        """Writes a file into the upper dirs (replacing whatever was there); missing parent
        directories are made with parent_mode/parent_uid/parent_gid."""
        host = self.host_path(path)
        self._make_parents(host, parent_mode, parent_uid, parent_gid)
        self._clear(host)
        with open(host, "xb") as f:
            f.write(_b(content) if isinstance(content, str) else content)
        os.chown(host, uid, gid)
        os.chmod(host, mode)
        return path

    def mkdir(self, path: str | bytes, mode: int = 0o755, uid: int = 0, gid: int = 0
              ) -> str | bytes:
        """Makes a directory (parents root 0755), or sets mode and owner of an existing one."""
        host = self.host_path(path)
        self._make_parents(host)
        if not os.path.isdir(host) or os.path.islink(host):
            self._clear(host)
            os.mkdir(host)
        os.chown(host, uid, gid)
        os.chmod(host, mode)
        return path

    def symlink(self, path: str | bytes, target: str | bytes) -> str | bytes:
        host = self.host_path(path)
        self._make_parents(host)
        self._clear(host)
        os.symlink(_b(target), host)
        return path

    def mkfifo(self, path: str | bytes, mode: int = 0o644, uid: int = 0, gid: int = 0
               ) -> str | bytes:
        host = self.host_path(path)
        self._make_parents(host)
        self._clear(host)
        os.mkfifo(host)
        os.chown(host, uid, gid)
        os.chmod(host, mode)
        return path

    def hide(self, path: str | bytes) -> str | bytes:
        """Makes a path vanish from the merged view, also one of the host's lower tree
        (an overlay whiteout)."""
        host = self.host_path(path)
        self._make_parents(host)
        self._clear(host)
        os.mknod(host, stat.S_IFCHR | 0o600, os.makedev(0, 0))
        return path

    def remove(self, path: str | bytes) -> None:
        """Removes a file or a whole directory from the upper dirs."""
        self._clear(self.host_path(path))

    def read(self, path: str | bytes) -> bytes | None:
        """The file as the upper dir holds it (what the test or a run wrote), or None."""
        try:
            with open(self.host_path(path), "rb") as f:
                return f.read()
        except (FileNotFoundError, NotADirectoryError, IsADirectoryError):
            return None

    def lstat(self, path: str | bytes) -> os.stat_result | None:
        try:
            return os.lstat(self.host_path(path))
        except (FileNotFoundError, NotADirectoryError):
            return None

    stat = lstat

    def listdir(self, path: str | bytes) -> list[str]:
        """Names in the upper dir (not the merged view), sorted; [] when it is missing."""
        try:
            return sorted(os.fsdecode(n) for n in os.listdir(self.host_path(path)))
        except (FileNotFoundError, NotADirectoryError):
            return []

    def listdir_merged(self, path: str) -> list[str]:
        """Names of the merged directory as a process inside the sandbox lists them, in
        the order of the listing (no sorting), without . and .."""
        code = ("import os,sys;sys.stdout.buffer.write(b'\\0'.join(os.listdir("
                "os.fsencode(sys.argv[1]))))")
        done = self.shell(f"exec /usr/bin/python3 -c {shlex.quote(code)} {shlex.quote(path)}")
        assert done.returncode == 0, done.stderr
        return [os.fsdecode(n) for n in done.stdout.split(b"\0") if n]

    # -- accounts -----------------------------------------------------------------------------

    def add_passwd_line(self, line: str | bytes) -> None:
        with open(os.path.join(self.upper("etc"), "passwd"), "ab") as f:
            f.write(_b(line).rstrip(b"\n") + b"\n")

    def add_users(self, lines: str | bytes) -> None:
        """Appends raw passwd text (bytes or str), for large or hostile databases."""
        with open(os.path.join(self.upper("etc"), "passwd"), "ab") as f:
            f.write(_b(lines))

    def add_group_line(self, line: str | bytes) -> None:
        with open(os.path.join(self.upper("etc"), "group"), "ab") as f:
            f.write(_b(line).rstrip(b"\n") + b"\n")

    def add_group(self, name: str, gid: int, members: Iterable[str] = ()) -> None:
        self.add_group_line(f"{name}:x:{gid}:{','.join(members)}")

    def _group_names(self) -> set[str]:
        with open(os.path.join(self.upper("etc"), "group"), "rb") as f:
            return {line.split(b":", 1)[0].decode(errors="replace") for line in f}

    def add_user(self, name: str, uid: int, gid: int | None = None, home: str | None = None,
                 shell: str = "/bin/sh", make_home: bool = True, gecos: str = "",
                 group: bool = True, pid_dir: bool = True) -> Account:
        """Adds a password entry; gid defaults to uid. group adds a group of the account's
        name and gid unless one of that name exists. make_home creates the home directory
        (owned by the account, 0755) when it lies in an overlaid tree, and pid_dir its
        .vornex/tmp (owned by the account, 0755), where the server writes pid files."""
        gid = uid if gid is None else gid
        home = f"/home/{name}" if home is None else home
        if group and name not in self._group_names():
            self.add_group(name, gid)
        self.add_passwd_line(f"{name}:x:{uid}:{gid}:{gecos}:{home}:{shell}")
        if make_home and home.startswith("/") and home.split("/")[1] in OVERLAID:
            self.mkdir(home, 0o755, uid, gid)
            if pid_dir:
                self.mkdir(f"{home}/.vornex", 0o755, uid, gid)
                self.mkdir(f"{home}/.vornex/tmp", 0o755, uid, gid)
        account = Account(name, uid, gid, home)
        self.accounts[name] = account
        return account

    # -- the project's files ------------------------------------------------------------------

    def commands(self, content: str | bytes, name: str = "proxy.commands", mode: int = 0o644
                 ) -> str:
        path = f"/etc/vornex/{name}"
        self.write_file(path, content, mode)
        return path

    def flag(self, name: str = "proxy.debug", kind: str = "file", target: str | None = None
             ) -> str:
        """A flag file in /etc/vornex: kind "file", "dir" or "symlink" (to target)."""
        path = f"/etc/vornex/{name}"
        if kind == "file":
            self.write_file(path, b"")
        elif kind == "dir":
            self.mkdir(path)
        elif kind == "symlink":
            assert target is not None
            self.symlink(path, target)
        else:
            raise ValueError(kind)
        return path

    def marker(self, path: str = "/etc/sorvantine-edition-tavo") -> str:
        """An edition marker file: with one the server does not enter a resource container."""
        self.write_file(path, b"")
        return path

    def user_dir(self, name: str, uid: int) -> str:
        """Makes the per-user directory /var/vornex/NN/<name>, root-owned 0755."""
        path = user_dir(name, uid)
        self.mkdir(path)
        return path

    def token_path(self, name: str, uid: int) -> str:
        return f"{user_dir(name, uid)}/.vornex/.vornex.token"

    def token(self, name: str, uid: int, token_text: str | bytes, mode: int = 0o400,
              owner: int | None = None, group: int | None = None) -> str:
        """Writes the token file as the token component lays it out: per-user directory
        root 0755, .vornex owned by the account 0755, the token file owned by `owner`
        (default: uid) with `mode`. The text is written as given (no newline added)."""
        account = self.accounts.get(name)
        gid = account.gid if account is not None and account.uid == uid else uid
        owner = uid if owner is None else owner
        group = gid if group is None else group
        directory = self.user_dir(name, uid)
        self.mkdir(f"{directory}/.vornex", 0o755, uid, gid)
        path = self.token_path(name, uid)
        self.write_file(path, token_text, mode, owner, group)
        return path

    def auth_log_path(self, name: str, uid: int) -> str:
        return f"{user_dir(name, uid)}/.ferrymate.log"

    def auth_log(self, name: str, uid: int) -> bytes | None:
        return self.read(self.auth_log_path(name, uid))

    def write_auth_log(self, name: str, uid: int, data: bytes, mode: int = 0o644) -> str:
        self.user_dir(name, uid)
        self.write_file(self.auth_log_path(name, uid), data, mode)
        return self.auth_log_path(name, uid)

    # -- probe and native helpers -------------------------------------------------------------

    @property
    def probe_program(self) -> str:
        return os.path.join(self.native, "probe")

    @property
    def doubles_dir(self) -> str:
        """LD_LIBRARY_PATH for the recording doubles of libqor.so.0 and libtholmet.so.0."""
        return os.path.join(self.native, "doubles")

    @property
    def fault_preload(self) -> str:
        return os.path.join(self.native, "libvornexfault.so")

    def install_probe(self, path: str = "/usr/local/bin/probe", exit_code: int | None = None,
                      mode: int = 0o755) -> str:
        """Copies the probe program to `path`; it reports to "<basename>.jsonl"."""
        with open(self.probe_program, "rb") as f:
            self.write_file(path, f.read(), mode)
        if exit_code is not None:
            self.probe_exit(os.path.basename(path), exit_code)
        return path

    def install_validator(self, exit_code: int = 0) -> str:
        """Replaces the validator with the probe, which records its argv and identity
        (basename "check_params.py") and ends with `exit_code`."""
        return self.install_probe(VALIDATOR, exit_code)

    def use_installed_validator(self) -> None:
        """Puts the staged validator back in place of one installed by install_validator."""
        self.remove(VALIDATOR)

    def probe_exit(self, basename: str, code: int) -> None:
        path = os.path.join(self.probe_dir, basename + ".exit")
        with open(path, "w") as f:
            f.write(f"{code}\n")
        os.chmod(path, 0o644)

    def probe_stdout(self, basename: str, data: bytes) -> None:
        path = os.path.join(self.probe_dir, basename + ".stdout")
        with open(path, "wb") as f:
            f.write(data)
        os.chmod(path, 0o644)

    def probe_reports(self, basename: str = "probe") -> list[dict]:
        """The reports of every run of the probe under that basename, oldest first. Strings
        hold one character per byte; besides the probe's own keys each report has
        "argv_bytes" (list of bytes) and "environ" (dict name -> value, str)."""
        path = os.path.join(self.probe_dir, basename + ".jsonl")
        try:
            with open(path, "rb") as f:
                lines = f.read().splitlines()
        except FileNotFoundError:
            return []
        reports = []
        for line in lines:
            report = json.loads(line)
            report["argv_bytes"] = [a.encode("latin-1") for a in report.get("argv", [])]
            report["environ"] = dict(e.partition("=")[::2] for e in report.get("env", []))
            reports.append(report)
        return reports

    # -- running ------------------------------------------------------------------------------

    def logs(self) -> list[LogRecord]:
        """Takes every record received since the last call."""
        return self._sink.take() if self._sink is not None else []

    def environment(self, token: str | bytes | None = b"secret", env: Mapping | None = None,
                    preload: str | None = None, library_path: str | None = None
                    ) -> dict[bytes, bytes]:
        """The server's whole environment: PATH=/usr/bin:/bin, PROBE_DIR, VORNEX_TOKEN unless
        token is None, sanitizer options in sanitizer builds, LD_PRELOAD and LD_LIBRARY_PATH,
        then `env` (a None value removes a name)."""
        final: dict[bytes, bytes] = {b"PATH": b"/usr/bin:/bin",
                                     b"PROBE_DIR": _b(self.probe_dir)}
        if token is not None:
            final[b"VORNEX_TOKEN"] = _b(token)
        for key, value in _sanitizer_env(bool(preload)).items():
            final[_b(key)] = _b(value)
        if preload:
            final[b"LD_PRELOAD"] = _b(preload)
        if library_path:
            final[b"LD_LIBRARY_PATH"] = _b(library_path)
        for key, value in (env or {}).items():
            if value is None:
                final.pop(_b(key), None)
            else:
                final[_b(key)] = _b(value)
        return final

    def command(self, argv: Sequence[str | bytes]) -> list[bytes]:
        """The vector that runs `argv` (argv[0] is the program path) inside the mounts."""
        return [b"unshare", b"-m", b"--propagation", b"private", b"sh", b"-c",
                (self._mounts + ' && exec "$0" "$@"').encode()] + [_b(a) for a in argv]

    def _launch(self, argv: list[bytes], program: str, final: dict[bytes, bytes],
                fd3: int | None = None) -> tuple[list[bytes], dict[bytes, bytes]]:
        """The unshare vector and its environment. The loader variables are handed on under
        other names and set only for the exec of the server, so that mount and the shell
        run without them; an argv[0] other than the program goes through bash's exec -a.
        fd3, a descriptor of the caller's, becomes the server's descriptor 3."""
        outer = {k: v for k, v in final.items() if k.decode() not in _LOADER_VARS}
        moves = [] if fd3 in (None, 3) else [f"exec 3<&{fd3} {fd3}<&-"]
        steps = list(moves)
        for var in _LOADER_VARS:
            value = final.get(var.encode())
            if value is not None:
                outer[b"__VX_" + var.encode()] = value
                steps.append(f'export {var}="$__VX_{var}" && unset __VX_{var}')
        if argv[0] == _b(program):
            shell = b"bash" if moves else b"sh"  # dash names descriptors 0 to 9 only
            steps.append('exec "$0" "$@"')
        else:
            shell = b"bash"
            outer[b"__VX_ARGV0"] = argv[0]
            steps.append('__vx_a="$__VX_ARGV0" && unset __VX_ARGV0 && '
                         'exec -a "$__vx_a" "$0" "$@"')
        script = " && ".join([self._mounts] + steps)
        cmd = [b"unshare", b"-m", b"--propagation", b"private", shell, b"-c",
               script.encode(), _b(program)] + argv[1:]
        return cmd, outer

    def request(self, user: str | bytes = "site1", cwd: str | bytes | None = None,
                alias: str | bytes = "probe", pid: str | bytes = "4242",
                extra: Sequence[str | bytes] = (), argv1: str | bytes = "frontend"
                ) -> list[str | bytes]:
        """argv[1:] of a request in the usual layout; cwd defaults to /home/<user>."""
        if cwd is None:
            cwd = (b"/home/" + user) if isinstance(user, bytes) else f"/home/{user}"
        return [argv1, user, cwd, alias, pid, *extra]

    def _argv(self, argv_tail, raw_argv, argv0, program, request) -> list[bytes]:
        if raw_argv is not None:
            if argv_tail is not None or request:
                raise TypeError("raw_argv stands alone")
            return [_b(a) for a in raw_argv]
        if argv_tail is None:
            argv_tail = self.request(**request)
        elif request:
            raise TypeError(f"argv_tail and request fields {sorted(request)} together")
        return [_b(program if argv0 is None else argv0)] + [_b(a) for a in argv_tail]

    def start(self, argv_tail: Sequence[str | bytes] | None = None,
              token: str | bytes | None = b"secret", env: Mapping | None = None,
              preload: str | None = None, library_path: str | None = None,
              timeout: float = 30, argv0: str | bytes | None = None,
              raw_argv: Sequence[str | bytes] | None = None, pass_fds: Sequence[int] = (),
              stdin: bytes | None = None, program: str = SERVER, umask: int = 0o022,
              fd3: int | None = None, **request) -> Running:
        """Starts the server as run() does and returns at once (for kill or crash tests)."""
        self.stray_logs.extend(self.logs())
        argv = self._argv(argv_tail, raw_argv, argv0, program, request)
        cmd, outer = self._launch(argv, program,
                                  self.environment(token, env, preload, library_path), fd3)
        proc = subprocess.Popen(cmd, env=outer, cwd="/", start_new_session=True,
                                pass_fds=tuple(pass_fds) + ((fd3,) if fd3 is not None else ()),
                                umask=umask,
                                stdin=subprocess.PIPE if stdin is not None
                                else subprocess.DEVNULL,
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        if stdin is not None:
            try:
                proc.stdin.write(stdin)  # type: ignore[union-attr]
            except BrokenPipeError:
                pass
            proc.stdin.close()  # type: ignore[union-attr]
        return Running(self, proc, argv, timeout)

    def run(self, argv_tail: Sequence[str | bytes] | None = None,
            token: str | bytes | None = b"secret", env: Mapping | None = None,
            preload: str | None = None, library_path: str | None = None,
            timeout: float = 30, argv0: str | bytes | None = None,
            raw_argv: Sequence[str | bytes] | None = None, pass_fds: Sequence[int] = (),
            stdin: bytes | None = None, program: str = SERVER, umask: int = 0o022,
            fd3: int | None = None, **request) -> Result:
        """Runs the installed server once as root in the sandbox and collects it.

        The vector is [argv0 or program] + argv_tail; without argv_tail it is built by
        request() from the keywords user, cwd, alias, pid, extra, argv1; raw_argv gives the
        whole vector, argv[0] included (any length, even 1). Entries may be str or bytes.
        token=None leaves VORNEX_TOKEN out; see environment() for the rest. The server starts
        in "/" with the given umask; fd3, a descriptor of the caller's, is its descriptor 3
        (pass_fds are handed on under their own numbers). The result holds the log records
        received during the run."""
        return self.start(argv_tail, token, env, preload, library_path, timeout, argv0,
                          raw_argv, pass_fds, stdin, program, umask, fd3, **request).finish()

    def run_many(self, jobs: Sequence[Mapping], timeout: float = 60
                 ) -> tuple[list[Result], list[LogRecord]]:
        """Starts one server per job (a dict of run()'s keywords: argv_tail or the request
        fields or raw_argv, token, env, preload, library_path, argv0, program) in one
        namespace, releases them together once all are forked, waits for all (killing
        what is left after `timeout`, which fails the call) and returns the results, each
        with the records of its own pid, and every record received."""
        if not 0 < len(jobs) <= MAX_CONCURRENT:
            raise ValueError(f"between 1 and {MAX_CONCURRENT} processes")
        self.stray_logs.extend(self.logs())
        work = tempfile.mkdtemp(prefix="many-", dir=self.root)
        launch = []
        for i, job in enumerate(jobs):
            job = dict(job)
            program = job.pop("program", SERVER)
            request = {k: job.pop(k) for k in list(job) if k in _REQUEST_KEYS}
            argv = self._argv(job.pop("argv_tail", None), job.pop("raw_argv", None),
                              job.pop("argv0", None), program, request)
            env = self.environment(job.pop("token", b"secret"), job.pop("env", None),
                                   job.pop("preload", None), job.pop("library_path", None))
            if job:
                raise TypeError(f"unknown job keys {sorted(job)}")
            launch.append({"program": _b(program), "argv": argv, "env": env,
                           "stdout": os.path.join(work, f"{i}.out"),
                           "stderr": os.path.join(work, f"{i}.err")})
        job_file = os.path.join(work, "jobs.pickle")
        result_file = os.path.join(work, "results.pickle")
        launcher = os.path.join(work, "launcher.py")
        with open(job_file, "wb") as f:
            pickle.dump(launch, f)
        with open(launcher, "w") as f:
            f.write(_LAUNCHER)
        script = self._mounts + ' && exec /usr/bin/python3 "$0" "$@"'
        try:
            done = subprocess.run(["unshare", "-m", "--propagation", "private", "sh", "-c",
                                   script, launcher, job_file, result_file, str(timeout)],
                                  env={"PATH": "/usr/bin:/bin"}, cwd="/", capture_output=True,
                                  timeout=timeout + 30)
            assert done.returncode == 0, f"launcher failed: {done.stderr!r}"
            with open(result_file, "rb") as f:
                outcomes = pickle.load(f)
            records = self.logs()
            results = []
            for i, (pid, rc, timed_out) in enumerate(outcomes):
                with open(launch[i]["stdout"], "rb") as f:
                    out = f.read()
                with open(launch[i]["stderr"], "rb") as f:
                    err = f.read()
                results.append(Result(launch[i]["argv"], rc, out, err,
                                      [r for r in records if r.pid == pid], pid, timed_out))
        finally:
            shutil.rmtree(work, ignore_errors=True)
        stuck = [r for r in results if r.timed_out]
        assert not stuck, f"{len(stuck)} servers did not end within {timeout}s"
        return results, records

    def shell(self, script: str, timeout: float = 30, env: Mapping | None = None
              ) -> subprocess.CompletedProcess:
        """Runs a shell script as root inside the sandbox's mounts (for looking around)."""
        return subprocess.run(["unshare", "-m", "--propagation", "private", "sh", "-c",
                               self._mounts + " && " + script],
                              env=dict(env or {"PATH": "/usr/bin:/bin"}), cwd="/",
                              capture_output=True, timeout=timeout)


# ---------------------------------------------------------------------------------------------
# the way in: the listener under the socket activator, the front-ends it starts, and the
# user's client

LISTENER = "/usr/libexec/vornex/vornexd"
FRONTEND = "/usr/libexec/vornex/vornex-frontend"
CLIENT = "/usr/bin/vornex"
FRONTEND_IDENT = "vornexd"
SOCKET = "/run/vornex/vornex.sock"
SOCKET_MODE = 0o666  # the socket unit's SocketMode=
_LISTENING = 0x10000


class Frontend:
    """systemd's activator (`--seqpacket`, no --accept) handing SOCKET to the installed
    listener, which execs in its place (self.pid is the listener's) and starts a front-end per
    connection, in a namespace of the sandbox's overlays plus a private /run. Clients run as an
    ordinary user in the same namespace (nsenter + setpriv); raw connections reach the socket
    through /proc/<listener>/root. close() kills by pid whatever still runs there."""

    def __init__(self, sandbox: "Sandbox", args: Sequence[str] = ()):
        self.sandbox = sandbox
        self.log_file = os.path.join(sandbox.root, "activator.log")
        self._listen(["unshare", "-m", "--propagation", "private"],
                     [sandbox._mounts, "mount -t tmpfs -o mode=0755 tmpfs /run",
                      "mkdir -m 0755 /run/vornex"], args)

    def _listen(self, enter: Sequence[str], setup: Sequence[str], args: Sequence[str]) -> None:
        script = " && ".join([*setup, 'exec systemd-socket-activate --seqpacket -l "$0" "$@"'])
        env = {"PATH": "/usr/bin:/bin", **_sanitizer_env(False)}
        with open(self.log_file, "ab") as log:
            self.proc = subprocess.Popen(
                [*enter, "sh", "-c", script, SOCKET, LISTENER, *args], env=env, cwd="/",
                stdin=subprocess.DEVNULL, stdout=log, stderr=log, start_new_session=True)
        self.pid = self.proc.pid
        self.socket_path = f"/proc/{self.pid}/root{SOCKET}"
        try:
            self._wait_listening()
            os.chmod(self.socket_path, SOCKET_MODE)
        except BaseException:
            self.close()
            raise

    def restart(self, args: Sequence[str] = ()) -> None:
        """Kills the listener, as a crash would, and starts another on the same path in the
        same namespace, which what the first one started keeps alive meanwhile."""
        [holder, *_] = self.namespace_pids()
        self.proc.kill()
        self.proc.wait(10)
        self._listen(["nsenter", "-t", str(holder), "-m"], [f"rm -f {SOCKET}"], args)

    def _activator_sockets(self) -> set[str]:
        """The inode numbers of the sockets the activator holds (other sandboxes, a benchmark
        say, listen on the same path in the same network namespace)."""
        inodes = set()
        fd_dir = f"/proc/{self.pid}/fd"
        for fd in os.listdir(fd_dir):
            try:
                target = os.readlink(os.path.join(fd_dir, fd))
            except OSError:
                continue
            if target.startswith("socket:["):
                inodes.add(target[len("socket:["):-1])
        return inodes

    def _wait_listening(self, timeout: float = 20) -> None:
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if self.proc.poll() is not None:
                raise AssertionError(f"activator ended: {self.activator_log()}")
            inodes = self._activator_sockets()
            with open("/proc/net/unix") as f:
                for line in f:
                    fields = line.split()
                    if (len(fields) >= 8 and fields[-1] == SOCKET and fields[6] in inodes
                            and int(fields[3], 16) & _LISTENING
                            and os.path.exists(self.socket_path)):
                        return
            time.sleep(0.02)
        raise AssertionError(f"socket not listening: {self.activator_log()}")

    def activator_log(self) -> str:
        with open(self.log_file, "rb") as f:
            return f.read().decode(errors="replace")

    def namespace_pids(self) -> list[int]:
        """Every process of the namespace but the activator."""
        try:
            ns = os.readlink(f"/proc/{self.pid}/ns/mnt")
        except OSError:
            return []
        pids = []
        for entry in os.listdir("/proc"):
            if not entry.isdigit() or int(entry) == self.pid:
                continue
            try:
                if os.readlink(f"/proc/{entry}/ns/mnt") == ns:
                    pids.append(int(entry))
            except OSError:
                pass
        return pids

    def settle(self, timeout: float = 15) -> list[int]:
        """Waits until nothing but the activator runs in the namespace; what is left."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            left = self.namespace_pids()
            if not left:
                return []
            time.sleep(0.02)
        return self.namespace_pids()

    def command(self, args: Sequence[str | bytes], account: Account,
                program: str = CLIENT, cwd: str | None = None) -> list[bytes]:
        return [b"nsenter", b"-t", str(self.pid).encode(), b"-m",
                b"--wdns=" + _b(cwd or account.home), b"setpriv",
                f"--reuid={account.uid}".encode(), f"--regid={account.gid}".encode(),
                b"--init-groups", b"--", _b(program)] + [_b(a) for a in args]

    def environment(self, account: Account, env: Mapping | None = None) -> dict[bytes, bytes]:
        final = {b"PATH": b"/usr/bin:/bin", b"HOME": _b(account.home)}
        for key, value in _sanitizer_env(False).items():
            final[_b(key)] = _b(value)
        for key, value in (env or {}).items():
            if value is None:
                final.pop(_b(key), None)
            else:
                final[_b(key)] = _b(value)
        return final

    def start(self, args: Sequence[str | bytes], account: Account, env: Mapping | None = None,
              stdin: int | None = subprocess.DEVNULL, program: str = CLIENT,
              cwd: str | None = None) -> subprocess.Popen:
        """Starts a client as `account` (the Popen's pid is the client's own)."""
        return subprocess.Popen(self.command(args, account, program, cwd),
                                env=self.environment(account, env), cwd="/", stdin=stdin,
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE)

    def collect(self, proc: subprocess.Popen, timeout: float = 30, settle: bool = True
                ) -> Result:
        """Waits for a client and for the front-ends to end; the records logged meanwhile."""
        try:
            out, err = proc.communicate(timeout=timeout)
        except subprocess.TimeoutExpired:
            proc.kill()
            out, err = proc.communicate()
            raise AssertionError(f"client did not end within {timeout}s: {out!r} {err!r}")
        if settle:
            left = self.settle()
            assert not left, f"still running after the request: {left}"
        return Result([_b(a) for a in proc.args], proc.returncode, out, err,
                      self.sandbox.logs(), proc.pid)

    def client(self, args: Sequence[str | bytes], account: Account, env: Mapping | None = None,
               stdin: bytes | None = None, timeout: float = 30, program: str = CLIENT,
               cwd: str | None = None) -> Result:
        """Runs a client to its end as `account`; `stdin` is fed through a pipe."""
        proc = self.start(args, account, env, subprocess.PIPE if stdin is not None
                          else subprocess.DEVNULL, program, cwd)
        if stdin is not None:
            proc.stdin.write(stdin)  # type: ignore[union-attr]
            proc.stdin.close()  # type: ignore[union-attr]
            proc.stdin = None
        return self.collect(proc, timeout)

    def shell(self, script: str, timeout: float = 30) -> subprocess.CompletedProcess:
        """Runs a shell script as root in the namespace. Files must be changed this way while
        the front-end runs: the overlays do not see changes made to their upper dirs."""
        return subprocess.run(["nsenter", "-t", str(self.pid), "-m", "sh", "-c", script],
                              env={"PATH": "/usr/sbin:/usr/bin:/sbin:/bin"}, cwd="/",
                              capture_output=True, timeout=timeout, check=True)

    def connect(self) -> socket.socket:
        """A raw connection to the front-end (as root, from outside the namespace)."""
        conn = socket.socket(socket.AF_UNIX, socket.SOCK_SEQPACKET)
        conn.connect(self.socket_path)
        return conn

    def close(self) -> None:
        for pid in self.namespace_pids():
            try:
                os.kill(pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
        if self.proc.poll() is None:
            self.proc.kill()
        self.proc.wait(10)


def encode_request(name: bytes, cwd: bytes, alias: bytes, token: bytes, term: bytes = b"",
                   args: Sequence[bytes] = (), env: Sequence[bytes] = ()) -> bytes:
    """The client's request message, field by field (little-endian lengths: 16-bit for the
    fixed fields and the environment entries, 32-bit for the arguments)."""
    out = b"VXQ2" + struct.pack("<H", len(args))
    for text in (name, cwd, alias, token, term):
        out += struct.pack("<H", len(text)) + text
    out += struct.pack("<H", len(env))
    for text in env:
        out += struct.pack("<H", len(text)) + text
    for text in args:
        out += struct.pack("<I", len(text)) + text
    return out


def decode_reply(data: bytes) -> tuple[int, int, bytes]:
    """(kind, value, text) of a front-end's reply: kind 0 exited, 1 signalled, 2 refused."""
    assert data[:4] == b"VXA2", data
    kind, value, _end, _number, length = struct.unpack("<BiBiH", data[4:16])
    assert len(data) == 16 + length, data
    return kind, value, data[16:]
