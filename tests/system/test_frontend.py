"""The way in: the user's client and the front-end under the socket activator, in the sandbox.
Requests end to end, the refusals of the front-end's own, signals, and what the command
gets."""

import json
import os
import signal
import socket
import subprocess
import time

import pytest

from sandbox import (FRONTEND_IDENT, LOG_AUTHPRIV, Frontend, decode_record, decode_reply,
                     encode_request)

TOKEN = "tok-3f9a7c"
PRI_INFO = LOG_AUTHPRIV * 8 + 6
PRI_WARNING = LOG_AUTHPRIV * 8 + 4
REFUSED = 2  # the reply kind of a refusal


def script(sb, name, body):
    sb.write_file(f"/usr/local/bin/{name}", "#!/bin/sh\n" + body, 0o755)


@pytest.fixture
def way_in(site1):
    """site1 with the token TOKEN, a few commands and the front-end listening."""
    sb = site1
    sb.token("site1", 1005, TOKEN + "\n")
    sb.site2 = sb.add_user("site2", 1006)
    sb.token("site2", 1006, "other\n")
    d = sb.probe_dir
    script(sb, "status", 'case "$1" in term) kill -TERM $$ ;; esac\nexit "$1"\n')
    script(sb, "catch", f'trap "echo HUP > {d}/got; exit 0" HUP\n'
                        f'trap "echo INT > {d}/got; exit 0" INT\n'
                        f'echo ready > {d}/ready\nwhile :; do sleep 0.05; done\n')
    script(sb, "report", f'PROBE_DIR={d} exec /usr/local/bin/probe "$@"\n')
    script(sb, "scan", 'n=0; m=0\nfor f in /proc/[0-9]*/cmdline /proc/[0-9]*/environ; do\n'
                       '  if cat "$f" >/dev/null 2>&1; then n=$((n+1)); fi\n'
                       '  if cat "$f" 2>/dev/null | grep -q "tok-3f9a[7]c"; then m=$((m+1)); fi\n'
                       'done\necho "readable $n matches $m"\n')
    sb.commands("probe=/usr/local/bin/probe\nwhoami=/usr/bin/whoami\n"
                "status=/usr/local/bin/status\ncatch=/usr/local/bin/catch\n"
                "report=/usr/local/bin/report\nscan=/usr/local/bin/scan\n"
                "echo=/bin/echo\nsleep=/usr/bin/sleep\ncat=/bin/cat\n")
    sb.frontend = Frontend(sb)
    yield sb
    sb.frontend.close()


def frontend_lines(records):
    return [(r.pri, r.text) for r in records if r.ident == FRONTEND_IDENT]


def wait_for(predicate, timeout=15):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if predicate():
            return
        time.sleep(0.02)
    raise AssertionError("timed out waiting")


def test_request_end_to_end(way_in):
    fe, user = way_in.frontend, way_in.site1
    result = fe.client(["echo", "a\x1bb", 'q"', "--full"], user)
    assert (result.rc, result.stdout, result.stderr) == (0, b'a\x1bb q" --full\n', b"")
    [(pri, line)] = frontend_lines(result.logs)
    assert pri == PRI_INFO
    assert line.startswith(f'uid 1005 pid {result.pid} user "site1" alias "echo" '
                           'args ["a\\x1bb" "q\\x22" "--full"]: exit status 0 after ')
    # the pid file the server wrote for the request is gone
    assert way_in.listdir("/home/site1/.vornex/tmp") == []
    assert way_in.read("/var/vornex/05/site1/.ferrymate.log") is not None


def test_stdin_reaches_the_command_directly(way_in):
    result = way_in.frontend.client(["cat"], way_in.site1, stdin=b"through\n")
    assert (result.rc, result.stdout) == (0, b"through\n")


@pytest.mark.parametrize("arg, rc, outcome", [
    ("0", 0, "exit status 0"), ("1", 1, "exit status 1"), ("42", 42, "exit status 42"),
    ("term", -signal.SIGTERM, "killed by signal 15")])
def test_exit_status_and_signal_death_relayed(way_in, arg, rc, outcome):
    result = way_in.frontend.client(["status", arg], way_in.site1)
    assert (result.rc, result.stderr) == (rc, b"")
    [(_, line)] = frontend_lines(result.logs)
    assert f"]: {outcome} after " in line


def test_server_refusal_reaches_the_user(way_in):
    # readable for the client, but not for the server
    way_in.frontend.shell("chmod 0600 /var/vornex/05/site1/.vornex/.vornex.token")
    result = way_in.frontend.client(["whoami"], way_in.site1)
    assert (result.rc, result.stdout) == (1, b"")
    assert result.stderr_line() == "Error occurred during execution of this program"
    assert way_in.auth_log("site1", 1005) is not None


def test_list_shows_the_aliases_in_effect(way_in):
    way_in.frontend.shell("printf 'whoami=/bin/false\\nrootly=root:/bin/id\\nas=site2:/bin/id\\n' "
                          "> /etc/vornex/extra.proxy.commands")
    result = way_in.frontend.client(["-l"], way_in.site1)
    lines = result.stdout.decode().splitlines()
    assert result.rc == 0
    assert lines[0].split() == ["ALIAS", "RUNS", "AS", "COMMAND"]
    assert [line.split() for line in lines[1:4]] == [
        ["whoami", "you", "/bin/false"], ["rootly", "root", "/bin/id"],
        ["as", "account", "site2", "/bin/id"]]
    assert ["probe", "you", "/usr/local/bin/probe"] in [line.split() for line in lines]
    assert sum(line.split()[0] == "whoami" for line in lines) == 1
    # the sandbox's validator is not vornex's own: it decides the arguments
    assert lines[-1] == "The installed validator decides the arguments of every alias."


def test_list_answers_for_the_caller_under_the_rules(way_in):
    fe = way_in.frontend
    fe.shell("ln -sf ../../libexec/vornex/vornex-check-params /usr/share/vornex/check_params.py"
             " && printf 'default refuse\\nsite1 /usr/bin/whoami\\n:nogroup /bin/cat\\n"
             "/bin/echo x *\\n/bin/echo \"a b\" ...\\n' > /etc/vornex/params.rules")

    def listed(user, *args):
        result = fe.client(["-l", *args], user)
        return result.rc, [line.split()[0] for line in result.stdout.decode().splitlines()[1:]]

    assert listed(way_in.site1) == (0, ["whoami", "echo"])
    assert listed(way_in.site2) == (0, ["echo"])
    result = fe.client(["-l", "echo"], way_in.site2)
    assert (result.rc, result.stdout.decode().splitlines()[-3:]) == (
        0, ["Arguments the rules admit for you:", "  line 4: x *", "  line 5: 'a b' ..."])
    result = fe.client(["-l", "--json", "echo"], way_in.site2)
    assert json.loads(result.stdout) == {"alias": "echo", "runs_as": "you", "account": None,
                                         "command": "/bin/echo",
                                         "forms": [["x", "*"], ["a b", "..."]]}
    result = fe.client(["-l", "cat"], way_in.site1)
    assert (result.rc, result.stderr_line()) == (
        1, "vornex: no such alias cat among yours; vornex -l lists them")
    fe.shell("rm /var/vornex/06/site2/.vornex/.vornex.token")
    result = fe.client(["-l"], way_in.site2)
    assert (result.rc, result.stdout, result.stderr_line()) == (
        1, b"", "vornex: not set up: the token file /var/vornex/06/site2/.vornex/.vornex.token "
        "cannot be used (No such file or directory); ask the administrator")


CLIENT_ERRORS = [
    # args, env, status, stderr
    ([], {}, 100, "vornex: no alias given"),
    (["-x", "whoami"], {}, 100, "vornex: unknown or misplaced option"),
    (["-u"], {}, 100, "vornex: unknown or misplaced option"),
    (["-u", "nobody-here", "whoami"], {}, 1,
     "vornex: no such account in the password database: nobody-here"),
    (["-u", "site2", "whoami"], {}, 1, "vornex: site2 is not an account of your uid"),
    (["whoami"], {"VORNEX_SOCKET": "/run/vornex/none.sock"}, 111,
     "vornex: cannot reach /run/vornex/none.sock: No such file or directory"),
    (["-l"], {"VORNEX_SOCKET": "/run/vornex/none.sock"}, 111,
     "vornex: cannot reach /run/vornex/none.sock: No such file or directory"),
    (["--json", "whoami"], {}, 100, "vornex: --json goes with -l"),
    (["echo", "x" * 65537], {}, 100, "vornex: argument 1 is too long: at most 65536 bytes"),
    (["echo", *["x"] * 4097], {}, 100, "vornex: too many arguments: at most 4096"),
    (["echo", *["x" * 43691] * 3], {}, 100,
     "vornex: the arguments are too long together: at most 131072 bytes"),
    (["a" * 256], {}, 100, "vornex: the alias is too long: at most 255 bytes"),
]


def test_the_limits_users_meet_are_served(way_in):
    args = ["x" * 65536, *["y" * 15] * 4095]
    result = way_in.frontend.client(["echo", *args], way_in.site1)
    assert (result.rc, result.stdout) == (0, (" ".join(args) + "\n").encode())


@pytest.mark.parametrize("args, env, rc, line", CLIENT_ERRORS)
def test_client_errors(way_in, args, env, rc, line):
    result = way_in.frontend.client(args, way_in.site1, env=env)
    assert result.rc == rc
    assert result.stderr.decode().splitlines()[0] == line
    assert frontend_lines(result.logs) == []


def test_missing_token_file_sends_nothing(way_in):
    way_in.frontend.shell("rm /var/vornex/05/site1/.vornex/.vornex.token")
    result = way_in.frontend.client(["whoami"], way_in.site1)
    assert result.rc == 1
    assert result.stderr_line() == ("vornex: cannot read the token file /var/vornex/05/site1/"
                                    ".vornex/.vornex.token: No such file or directory; "
                                    "ask the administrator")
    assert result.logs == []


TOKEN_PATH = "/var/vornex/05/site1/.vornex/.vornex.token"
TOKEN_FILES = [
    # how the token file is changed, status, standard output, the first line on standard error
    (f"printf '{TOKEN}\\r\\n' > {TOKEN_PATH}", 0, b"site1\n", None),
    (f"printf '{TOKEN}\\nsecond line\\n' > {TOKEN_PATH}", 0, b"site1\n", None),
    (f"printf '{TOKEN}' > {TOKEN_PATH}", 0, b"site1\n", None),
    # an empty first line: no token reaches the server
    (f"printf '\\n{TOKEN}\\n' > {TOKEN_PATH}", 1, b"",
     "You are not authorized to run this command"),
    (f"rm {TOKEN_PATH} && mkdir {TOKEN_PATH}", 1, b"",
     f"vornex: cannot read the token file {TOKEN_PATH}: not a regular file; "
     "ask the administrator"),
]


@pytest.mark.parametrize("change, rc, out, line", TOKEN_FILES)
def test_first_line_of_the_token_file_is_sent(way_in, change, rc, out, line):
    way_in.frontend.shell(change)
    result = way_in.frontend.client(["whoami"], way_in.site1)
    assert (result.rc, result.stdout) == (rc, out)
    if line is not None:
        assert result.stderr_line() == line


def test_server_that_cannot_start_is_reported(way_in):
    fe = way_in.frontend
    fe.shell("chmod 0644 /usr/libexec/vornex/vornex-command-server")
    result = fe.client(["whoami"], way_in.site1)
    assert (result.rc, result.stdout) == (1, b"")
    assert result.stderr_line() == "vornex: refused: the front-end failed; see the system log"
    lines = frontend_lines(result.logs)
    assert lines[0] == (LOG_AUTHPRIV * 8 + 3, "cannot execute /usr/libexec/vornex/"
                                              "vornex-command-server: Permission denied")
    assert lines[1][1] == (f"failed for uid 1005 pid {result.pid}: starting the server: "
                           "Permission denied")


def raw_request(name=b"site1", alias=b"whoami", token=TOKEN.encode()):
    return encode_request(name, b"/home/site1", alias, token)


def exchange(fe, message, fd_count=3, send=True):
    conn = fe.connect()
    fds = [os.open("/dev/null", os.O_RDWR) for _ in range(fd_count)]
    try:
        if send:
            rights = [(socket.SOL_SOCKET, socket.SCM_RIGHTS,
                       b"".join(fd.to_bytes(4, "little") for fd in fds))] if fds else []
            conn.sendmsg([message], rights)
        conn.settimeout(15)
        return decode_reply(conn.recv(4096))
    finally:
        conn.close()
        for fd in fds:
            os.close(fd)


BAD_INPUT = [
    # message, descriptors, reason
    (raw_request(), 0, "a request carries exactly three descriptors"),
    (raw_request(), 2, "a request carries exactly three descriptors"),
    (raw_request(), 4, "a request carries exactly three descriptors"),
    (raw_request() + b"x" * 170000, 3, "request too large"),
    (raw_request()[:-3], 3, "request cut short"),
    (raw_request(name=b"site2", token=b"other"), 3, "the user name asked for is not yours"),
    (None, 3, "no request received in time"),
]


@pytest.mark.parametrize("message, fd_count, reason", BAD_INPUT)
def test_bad_input_is_refused(way_in, message, fd_count, reason):
    fe = way_in.frontend
    kind, value, text = exchange(fe, message, fd_count, send=message is not None)
    assert (kind, value, text.decode()) == (REFUSED, 1, reason)
    assert fe.settle() == []
    lines = frontend_lines(way_in.logs())
    assert (PRI_WARNING, f"refused uid 0 pid {os.getpid()}: {reason}") in lines
    assert not any(r.ident == "vornex.command.server" for r in way_in.logs())


def test_name_of_another_uid_is_logged(way_in):
    exchange(way_in.frontend, raw_request(name=b"site\x01", token=b"t"))
    way_in.frontend.settle()
    lines = frontend_lines(way_in.logs())
    assert lines[0] == (PRI_WARNING, f'uid 0 (pid {os.getpid()}) asked for user "site\\x01", '
                                     'which is not theirs')


def test_ninth_connection_of_one_uid_is_refused(way_in):
    fe, user = way_in.frontend, way_in.site1
    running = [fe.start(["sleep", "60"], user) for _ in range(8)]
    try:
        wait_for(lambda: sum(comm(p) == "sleep" for p in fe.namespace_pids()) == 8)
        result = fe.collect(fe.start(["whoami"], user), settle=False)
        assert (result.rc, result.stderr) == (
            1, b"vornex: refused: too many requests of this user at once\n")
        other = fe.collect(fe.start(["whoami"], way_in.site2), settle=False)
        assert (other.rc, other.stdout) == (0, b"site2\n")  # another uid has slots of its own
    finally:
        for proc in running:
            proc.send_signal(signal.SIGTERM)
    assert [fe.collect(p, settle=False).rc for p in running] == [-signal.SIGTERM] * 8
    assert fe.settle() == []


def comm(pid):
    try:
        with open(f"/proc/{pid}/comm") as f:
            return f.read().strip()
    except OSError:
        return None


@pytest.mark.parametrize("sig, got, rc", [
    (signal.SIGINT, "INT", 0),  # Ctrl-C
    (signal.SIGKILL, "HUP", -signal.SIGKILL)])  # the client is gone: a hangup
def test_signals_reach_the_command(way_in, sig, got, rc):
    fe = way_in.frontend
    proc = fe.start(["catch"], way_in.site1)
    ready = os.path.join(way_in.probe_dir, "ready")
    wait_for(lambda: os.path.exists(ready))
    proc.send_signal(sig)
    result = fe.collect(proc)
    assert result.rc == rc
    with open(os.path.join(way_in.probe_dir, "got")) as f:
        assert f.read() == got + "\n"


@pytest.mark.parametrize("mode, rc", [(0o400, -signal.SIGINT), (0o600, 1)])
def test_signal_during_authentication_is_held(way_in, mode, rc):
    """The auth lock is held from inside the namespace while the client's SIGINT arrives: the
    server is not interrupted; the command gets the signal, or (a token file the server
    refuses) the failed attempt is counted and the signal dropped."""
    sb, fe = way_in, way_in.frontend
    fe.shell(f"chmod {mode:o} /var/vornex/05/site1/.vornex/.vornex.token")
    marker = os.path.join(sb.probe_dir, "validated")
    fe.shell(f"printf '#!/bin/sh\\ntouch {marker}\\n' > /usr/share/vornex/check_params.py")
    holder = subprocess.Popen(["nsenter", "-t", str(fe.pid), "-m", "flock",
                               "/var/vornex/05/site1/.ferrymate.log.lock", "sleep", "60"],
                              start_new_session=True)
    try:
        wait_for(lambda: any(comm(p) == "sleep" for p in fe.namespace_pids()))
        proc = fe.start(["sleep", "30"], way_in.site1)
        wait_for(lambda: any(comm(p) == "vornex-command-" for p in fe.namespace_pids()))
        time.sleep(0.3)
        proc.send_signal(signal.SIGINT)
        time.sleep(0.3)
        assert proc.poll() is None and not os.path.exists(marker)
    finally:
        os.killpg(holder.pid, signal.SIGKILL)  # flock and the sleep that holds the lock
        holder.wait()
    result = fe.collect(proc)
    assert result.rc == rc
    assert os.path.exists(marker) == (mode == 0o400)
    assert decode_record(sb.auth_log("site1", 1005)).failure_count == (mode != 0o400)


def test_planted_socket_of_a_user_gets_no_token(way_in):
    path = os.path.join(way_in.probe_dir, "planted.sock")
    seen = os.path.join(way_in.probe_dir, "seen")
    listener = subprocess.Popen(
        ["/usr/bin/python3", "-c",
         "import socket,sys\ns=socket.socket(socket.AF_UNIX,socket.SOCK_SEQPACKET)\n"
         "s.bind(sys.argv[1]);s.listen();print('up',flush=True)\n"
         "c,_=s.accept();c.settimeout(10)\n"
         "open(sys.argv[2],'wb').write(c.recv(65536))", path, seen],
        user=1006, group=1006, stdout=subprocess.PIPE)
    try:
        assert listener.stdout.readline() == b"up\n"
        os.chmod(path, 0o666)
        result = way_in.frontend.client(["whoami"], way_in.site1, env={"VORNEX_SOCKET": path})
        assert result.rc == 111
        assert result.stderr_line() == (f"vornex: cannot reach {path}: the socket does not "
                                        "belong to root; nothing was sent")
        listener.wait(15)
    finally:
        listener.kill()
    with open(seen, "rb") as f:
        assert f.read() == b""


def test_64_clients_at_once(way_in):
    fe = way_in.frontend
    fe.close()
    fe = way_in.frontend = Frontend(way_in, ["--per-uid", "64"])
    procs = [fe.start(["status", str(i)], way_in.site1) for i in range(64)]
    results = [fe.collect(p, timeout=120, settle=False) for p in procs]
    assert [r.rc for r in results] == list(range(64))
    assert fe.settle(60) == []
    audit = [line for r in results for _, line in frontend_lines(r.logs + way_in.logs())]
    assert sorted(int(line.split('args ["')[1].split('"')[0]) for line in audit) == list(range(64))


def test_token_is_never_visible_nor_logged(way_in):
    result = way_in.frontend.client(["scan"], way_in.site1)
    readable, matches = result.stdout.split()[1::2]
    assert int(readable) > 10 and int(matches) == 0, result.stdout
    assert not any(TOKEN.encode() in r.raw for r in result.logs)


LOCALE = [
    # variable, value, whether it reaches the command (the client sends each of the five
    # names as it has it: the front-end decides)
    ("LANG", "de_DE.UTF-8", True),
    ("LC_MESSAGES", "fr_FR", True),
    ("LANGUAGE", "de:en", True),
    ("LC_TIME", "en_DK.UTF-8", True),
    ("TZ", "Europe/Berlin", True),
    ("TZ", ":/usr/share/zoneinfo/America/New_York", True),
    ("TZ", "UTC+2", True),
    ("LANG", "/tmp/evil", False),
    ("LC_TIME", "%n%n%n", False),
    ("TZ", "../../../tmp/zone", False),
    ("TZ", "/tmp/zone", False),
    ("TZ", "Europe//Berlin", False),
    ("TZ", "Europe/.hidden", False),
    ("LANG", "C" * 129, False),
    ("LC_ALL", "C", False),
    ("LC_CTYPE", "C.UTF-8", False),
    ("LC_NUMERIC", "de_DE", False),
]


@pytest.mark.parametrize("name, value, passes", LOCALE)
def test_language_and_time_zone_pass_when_safe(way_in, name, value, passes):
    result = way_in.frontend.client(["report"], way_in.site1, env={name: value})
    assert result.rc == 0, result
    [report] = way_in.probe_reports("probe")
    assert report["environ"].get(name) == (value if passes else None)


@pytest.mark.parametrize("term, shown", [("xterm-256color", "xterm-256color"),
                                         ("vt100;rm -rf", None), ("x" * 65, None)])
def test_command_gets_only_its_descriptors_and_a_fixed_environment(way_in, term, shown):
    result = way_in.frontend.client(["report", "a"], way_in.site1,
                                    env={"TERM": term, "LD_PRELOAD": "/x.so", "KEEP": "no"})
    assert result.rc == 0, result
    [report] = way_in.probe_reports("probe")
    assert sorted(report["fds"]) == ["0", "1", "2"]
    assert int(report["sigign"], 16) == 0  # no ignored signal reaches the command
    env = report["environ"]
    assert env.get("TERM") == shown
    assert env["VORNEX_USER"] == "site1"
    assert env["PATH"] == "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin"
    assert set(env) <= {"PATH", "TERM", "VORNEX_USER", "HOME", "PROBE_DIR", "PWD"}, env
    assert report["cwd"] == "/home/site1"
