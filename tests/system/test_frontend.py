"""The way in: the user's client and the front-end under the socket activator, in the sandbox.
Requests end to end, the refusals of the front-end's own, signals, and what the command
gets."""

import json
import os
import re
import select
import signal
import socket
import struct
import subprocess
import time

import pytest

from sandbox import (CLIENT, FRONTEND_IDENT, LOG_AUTHPRIV, SERVER, Frontend, decode_record,
                     encode_request)

TOKEN = "tok-3f9a7c"
SECRET = "/etc/vornex/secret"  # root's, 0600
SECRET_TEXT = b"root only\n"
PRI_INFO = LOG_AUTHPRIV * 8 + 6
PRI_WARNING = LOG_AUTHPRIV * 8 + 4
REFUSED = 2  # the reply kind of a refusal
# How a request ended, in the order of the shared table (the reply's and the report's byte).
END_KINDS = ["?", "announce", "runs", "refused", "alias-unknown", "account", "token-missing",
             "token-file", "token-wrong", "blocked", "validator", "container", "identity", "cwd",
             "exec", "internal", "crontab-check", "descriptor", "busy", "overloaded",
             "no-request", "malformed", "not-yours", "control-byte", "frontend-failed", "killed",
             "stalled"]
FD_NAMES = ["standard input", "standard output", "standard error"]


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
    script(sb, "job", f'[ "$1" = ignore ] && trap "" TSTP\ntrap "stty size > {d}/size" WINCH\n'
                      f'echo $$ > {d}/pid\nwhile :; do sleep 60 & wait $!; done\n')
    # a root command that reopens its standard descriptors by name
    script(sb, "reopen", f'touch {d}/started\ncat /dev/stdin\necho written >/dev/stdout\n'
                         'echo written >/dev/stderr\n')
    sb.write_file(SECRET, SECRET_TEXT, 0o600)
    script(sb, "scan", 'n=0; m=0\nfor f in /proc/[0-9]*/cmdline /proc/[0-9]*/environ; do\n'
                       '  if cat "$f" >/dev/null 2>&1; then n=$((n+1)); fi\n'
                       '  if cat "$f" 2>/dev/null | grep -q "tok-3f9a[7]c"; then m=$((m+1)); fi\n'
                       'done\necho "readable $n matches $m"\n')
    sb.commands("probe=/usr/local/bin/probe\nwhoami=/usr/bin/whoami\n"
                "status=/usr/local/bin/status\ncatch=/usr/local/bin/catch\n"
                "report=/usr/local/bin/report\nscan=/usr/local/bin/scan\n"
                "echo=/bin/echo\nsleep=/usr/bin/sleep\ncat=/bin/cat\njob=/usr/local/bin/job\n"
                "reopen=root:/usr/local/bin/reopen\nholdfork=/usr/local/bin/holdfork\n")
    sb.frontend = Frontend(sb)
    yield sb
    sb.frontend.close()


def frontend_lines(records):
    return [(r.pri, r.text) for r in records if r.ident == FRONTEND_IDENT]


def audit_lines(records):
    return [(pri, text) for pri, text in frontend_lines(records) if text.startswith("uid=")]


def server_of(line):
    """The server's pid that an audit line names."""
    return int(re.search(r" server=(\d+) ", line).group(1))


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
    assert re.fullmatch(
        rf'uid=1005 pid={result.pid} server={server_of(line)} user="site1" alias="echo" '
        r'args=\["a\\x1bb" "q\\x22" "--full"\] cwd="/home/site1" tty="" runs="/bin/echo" '
        r'as="site1" outcome=exit:0 duration=\d+\.\d{3}', line), line
    # the pid file the server wrote for the request is gone
    assert way_in.listdir("/home/site1/.vornex/tmp") == []
    assert way_in.read("/var/vornex/05/site1/.ferrymate.log") is not None


def test_stdin_reaches_the_command_directly(way_in):
    result = way_in.frontend.client(["cat"], way_in.site1, stdin=b"through\n")
    assert (result.rc, result.stdout) == (0, b"through\n")


@pytest.mark.parametrize("arg, rc, outcome", [
    ("0", 0, "exit:0"), ("1", 1, "exit:1"), ("42", 42, "exit:42"),
    ("term", -signal.SIGTERM, "signal:15")])
def test_exit_status_and_signal_death_relayed(way_in, arg, rc, outcome):
    result = way_in.frontend.client(["status", arg], way_in.site1)
    assert (result.rc, result.stderr) == (rc, b"")
    [(_, line)] = frontend_lines(result.logs)
    assert f' runs="/usr/local/bin/status" as="site1" outcome={outcome} duration=' in line


TOKEN_FILE = "/var/vornex/05/site1/.vornex/.vornex.token"
RULES = ("ln -sf ../../libexec/vornex/vornex-check-params /usr/share/vornex/check_params.py && "
         "printf 'default refuse\\n/bin/echo x *\\n' > /etc/vornex/params.rules")
# A lockout that ends in an hour: the auth log's record (last failure, blocked until, failures,
# blocks), written with printf's octal escapes at the moment of the request.
BLOCKED = ("now=$(date +%s); python3 -c \"import struct,sys; sys.stdout.buffer.write(struct.pack("
           "'<qqii', $now, $now + 3600, 3, 1))\" > /var/vornex/05/site1/.ferrymate.log")
REFUSALS = [
    # set-up, arguments, the end kind, the user's line ({server}: the server's pid, {left}: the
    # seconds of a lockout left)
    ("true", ["nosuch"], "alias-unknown", "vornex: no such alias nosuch; vornex -l lists yours"),
    # readable for the client, but not for the server
    (f"chmod 0600 {TOKEN_FILE}", ["whoami"], "token-file",
     f"vornex: not set up: the token file {TOKEN_FILE} is unusable (mode is not 0400); "
     "ask the administrator"),
    (RULES, ["echo", "y", "x"], "validator", "vornex: the administrator's rules do not "
     "admit argument 1 (\"y\") (request {server})"),
    (RULES, ["echo", "x", "a\x01"], "validator", "vornex: argument 2 holds a control byte, "
     "which is never admitted (request {server})"),
    (RULES, ["echo", "x"], "validator",
     "vornex: the administrator's rules want more arguments (request {server})"),
    (BLOCKED, ["whoami"], "blocked",
     "vornex: blocked for {left} s more after repeated failed attempts; try again then"),
    ("echo 'ghost=nobody-here:/bin/id' >> /etc/vornex/proxy.commands", ["ghost"], None,
     "vornex: the request failed: the administrator finds request {server} in the system log"),
]


@pytest.mark.parametrize("setup, args, kind, line", REFUSALS)
def test_each_refusal_tells_the_user_what_to_do(way_in, setup, args, kind, line):
    fe = way_in.frontend
    fe.shell(setup)
    result = fe.client(args, way_in.site1)
    assert (result.rc, result.stdout) == (1, b"")
    audit = frontend_lines(result.logs)[-1][1]
    server = audit.split(" server=")[1].split()[0]
    outcome = audit.split(" outcome=")[1].split()[0]
    assert outcome == f"refused:{kind}" or kind is None and outcome.startswith("refused:")
    # the server's own line, then the client's
    server_line, user_line = result.stderr.decode().splitlines()
    assert server_line in ("You are not authorized to run this command",
                           "Error occurred during execution of this program")
    # a second may pass between writing the lockout and the server's reading of it
    pattern = re.escape(line).replace(r"\{server\}", server).replace(r"\{left\}", "(3599|3600)")
    assert re.fullmatch(pattern, user_line), user_line


def test_list_shows_the_aliases_in_effect(way_in):
    way_in.frontend.shell("printf 'whoami=/bin/false\\nrootly=root:/bin/id\\nas=site2:/bin/id\\n' "
                          "> /etc/vornex/extra.proxy.commands")
    result = way_in.frontend.client(["-l"], way_in.site1)
    lines = result.stdout.decode().splitlines()
    assert result.rc == 0
    assert lines[0].split() == ["ALIAS", "RUNS", "AS", "COMMAND"]
    assert lines[1:4] == [f"{'whoami':24} {'you':24} /bin/false", f"{'rootly':24} {'root':24} /bin/id",
                          f"{'as':24} account {'site2':16} /bin/id"]
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
    listing = json.loads(fe.client(["-l", "--json"], way_in.site1).stdout)
    assert (listing["validator"], [entry["alias"] for entry in listing["aliases"]]) == (
        "rules", ["whoami", "echo"])
    assert listed(way_in.site2) == (0, ["echo"])
    result = fe.client(["-l", "echo"], way_in.site2)
    assert (result.rc, result.stdout.decode().splitlines()[-3:]) == (
        0, ["Arguments the rules admit for you:", "  line 4: x *", "  line 5: 'a b' ..."])
    result = fe.client(["-l", "--json", "echo"], way_in.site2)
    assert result.stdout == (b'{"alias":"echo","runs_as":"you","account":null,'
                             b'"command":"/bin/echo","forms":[["x","*"],["a b","..."]]}\n')
    result = fe.client(["-l", "cat"], way_in.site1)
    assert (result.rc, result.stderr_line()) == (
        1, "vornex: no such alias cat among yours; vornex -l lists them")
    token = "/var/vornex/06/site2/.vornex/.vornex.token"
    for change, why in [("chmod 0440", "is unusable (wrong owner or mode)"),
                        ("rm", "cannot be used (No such file or directory)")]:
        fe.shell(f"{change} {token}")
        result = fe.client(["-l"], way_in.site2)
        assert (result.rc, result.stdout, result.stderr_line()) == (
            1, b"", f"vornex: not set up: the token file {token} {why}; ask the administrator")


CLIENT_ERRORS = [
    # args, env, working directory, status, stderr
    ([], {}, None, 100, "vornex: no alias given"),
    (["-x", "whoami"], {}, None, 100, "vornex: unknown or misplaced option"),
    (["-u"], {}, None, 100, "vornex: unknown or misplaced option"),
    (["-u", "nobody-here", "whoami"], {}, None, 1,
     "vornex: no such account in the password database: nobody-here"),
    (["-u", "site2", "whoami"], {}, None, 1, "vornex: site2 is not an account of your uid"),
    (["whoami"], {"VORNEX_SOCKET": "/run/vornex/none.sock"}, None, 111,
     "vornex: cannot reach /run/vornex/none.sock: No such file or directory"),
    (["-l"], {"VORNEX_SOCKET": "/run/vornex/none.sock"}, None, 111,
     "vornex: cannot reach /run/vornex/none.sock: No such file or directory"),
    (["--json", "whoami"], {}, None, 100, "vornex: --json goes with -l"),
    (["echo", "x" * 65537], {}, None, 100, "vornex: argument 1 is too long: at most 65536 bytes"),
    (["echo", *["x"] * 4097], {}, None, 100, "vornex: too many arguments: at most 4096"),
    (["echo", *["x" * 43691] * 3], {}, None, 100,
     "vornex: the arguments are too long together: at most 131072 bytes"),
    (["a" * 256], {}, None, 100, "vornex: the alias is too long: at most 255 bytes"),
    (["who\x1b[2Jami"], {}, None, 1,
     "vornex: the alias holds a control byte: no request was sent; use the alias's plain name"),
    (["who\x7fami"], {}, None, 1,
     "vornex: the alias holds a control byte: no request was sent; use the alias's plain name"),
    (["whoami"], {}, "/home/site1/a\nb", 1, "vornex: the working directory's path holds a "
     "control byte: no request was sent; change to another directory"),
]


def test_the_limits_users_meet_are_served(way_in):
    args = ["x" * 65536, *["y" * 15] * 4095]
    result = way_in.frontend.client(["echo", *args], way_in.site1)
    assert (result.rc, result.stdout) == (0, (" ".join(args) + "\n").encode())


@pytest.mark.parametrize("args, env, cwd, rc, line", CLIENT_ERRORS)
def test_client_errors(way_in, args, env, cwd, rc, line):
    if cwd is not None:
        way_in.frontend.shell(f"mkdir -p '{cwd}'")
    result = way_in.frontend.client(args, way_in.site1, env=env, cwd=cwd)
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
     "You are not authorized to run this command"
     "\nvornex: the token was not accepted; ask the administrator for a new token file"),
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
        assert result.stderr.decode().startswith(line)


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


def raw_request(name=b"site1", alias=b"whoami", token=TOKEN.encode(), cwd=b"/home/site1"):
    return encode_request(name, cwd, alias, token)


def decode_reply(data):
    """(kind, value, end kind's name, number, text) of a front-end's reply."""
    assert data[:4] == b"VXA2", data
    kind, value, end, number, length = struct.unpack("<BiBiH", data[4:16])
    assert len(data) == 16 + length, data
    return kind, value, END_KINDS[end], number, data[16:]


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
    # message, descriptors, end kind, reason
    (raw_request(), 0, "malformed", "a request carries exactly three descriptors"),
    (raw_request(), 2, "malformed", "a request carries exactly three descriptors"),
    (raw_request(), 4, "malformed", "a request carries exactly three descriptors"),
    (raw_request() + b"x" * 170000, 3, "malformed", "request too large"),
    (raw_request()[:-3], 3, "malformed", "request cut short"),
    (raw_request(name=b"site2", token=b"other"), 3, "not-yours",
     "the user name asked for is not yours"),
    (None, 3, "no-request", "no request received in time"),
    (raw_request(alias=b"who\nami"), 3, "control-byte", "the alias holds a control byte"),
    (raw_request(cwd=b"/home/site1/\x1b[31m"), 3, "control-byte",
     "the working directory holds a control byte"),
]


@pytest.mark.parametrize("message, fd_count, end, reason", BAD_INPUT)
def test_bad_input_is_refused(way_in, message, fd_count, end, reason):
    fe = way_in.frontend
    reply = exchange(fe, message, fd_count, send=message is not None)
    assert reply == (REFUSED, 1, end, 0, reason.encode())
    assert fe.settle() == []
    records = way_in.logs()
    [(pri, line)] = audit_lines(records)
    assert pri == PRI_WARNING
    assert re.fullmatch(rf'uid=0 pid={os.getpid()} server=- user="[^"]*" alias="[^"]*" '
                        rf'args=\[\] cwd="[^"]*" tty="" runs="" as="" outcome=refused:{end} '
                        rf'duration=\d+\.\d{{3}} reason="{reason}"', line), line
    assert not any(r.ident == "vornex.command.server" for r in records)


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
    assert sorted(int(line.split('args=["')[1].split('"')[0]) for line in audit) == list(range(64))


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


# Run as the user inside the namespace: puts the descriptors asked for on 0, 1 and 2 and
# executes the client. Each of argv[2:5] is "keep", "open:PATH,FLAGS[,MODE AFTER]",
# "pair:SOCKET TYPE" (one end of a socket pair), "unconnected", "eventfd", "pty", "ctty:PATH"
# (a terminal made the controlling one, what it shows copied to PATH until PATH.done exists)
# or "fullpipe:PATH" (a full pipe, drained into PATH.out once PATH exists).
LAUNCH = """
import fcntl, os, select, signal, socket, sys, termios, time
os.setsid()  # no terminal for a client's line about its standard error
client, wanted_fds = sys.argv[1], sys.argv[2:5]
for fd, wanted in enumerate(wanted_fds):
    kind, _, arg = wanted.partition(":")
    if kind == "keep":
        continue
    if kind == "open":
        path, flags, *after = arg.split(",")
        new = os.open(path, int(flags), 0o600)
        if after:
            os.chmod(path, int(after[0], 8))
    elif kind == "pair":
        new, peer = (s.detach() for s in socket.socketpair(socket.AF_UNIX, int(arg)))
        os.set_inheritable(peer, True)  # the other end stays open
    elif kind == "unconnected":
        new = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM).detach()
    elif kind == "eventfd":
        new = os.eventfd(0)
    elif kind == "pty":
        master, new = os.openpty()
        os.set_inheritable(master, True)
    elif kind == "ctty":
        master, new = os.openpty()
        fcntl.ioctl(new, termios.TIOCSCTTY, 0)
        if os.fork() == 0:
            signal.signal(signal.SIGHUP, signal.SIG_IGN)  # the session leader's end
            os.closerange(0, 3)  # the client's pipes end with the client
            with open(arg, "wb", buffering=0) as out:
                while not os.path.exists(arg + ".done"):
                    if select.select([master], [], [], 0.05)[0]:
                        out.write(os.read(master, 4096))
            os._exit(0)
    elif kind == "fullpipe":
        drain, new = os.pipe()
        os.set_blocking(new, False)
        for size in (4096, 1):
            try:
                while True:
                    os.write(new, b"x" * size)
            except BlockingIOError:
                pass
        os.set_blocking(new, True)
        if os.fork() == 0:
            os.close(new)
            while not os.path.exists(arg):
                time.sleep(0.05)
            with open(arg + ".out", "wb") as out:
                while chunk := os.read(drain, 65536):
                    out.write(chunk)
            os._exit(0)
    os.dup2(new, fd)
os.execv(client, [client, *sys.argv[5:]])
"""
O_PATH = getattr(os, "O_PATH", 0o10000000)
OWN = "/home/site1/out"
DESCRIPTORS = [
    # standard input, output, error; the refused descriptor and why, or None
    (f"open:{SECRET},{O_PATH}", "keep", "keep", (0, "a path-only descriptor")),
    ("keep", f"open:{SECRET},{O_PATH}", "keep", (1, "a path-only descriptor")),
    # the client's line goes to its terminal
    ("ctty:PROBE/tty", "keep", f"open:/etc/vornex/proxy.commands,{os.O_RDONLY}",
     (2, "not open for writing")),
    (f"open:/etc,{os.O_RDONLY | os.O_DIRECTORY}", "keep", "keep", (0, "a directory")),
    (f"open:/dev/zero,{os.O_RDWR}", "keep", "keep",
     (0, "a device other than /dev/null or a terminal of yours")),
    ("eventfd", "keep", "keep", (0, "an anonymous or special descriptor")),
    ("keep", f"pair:{socket.SOCK_DGRAM}", "keep", (1, "a datagram socket")),
    ("keep", "unconnected", "keep", (1, "an unconnected socket")),
    # open for writing, then no longer writable for its owner
    ("keep", f"open:{OWN},{os.O_WRONLY | os.O_CREAT},444", "keep",
     (1, "a file you cannot open for writing")),
    ("keep", f"open:{OWN},{os.O_WRONLY | os.O_CREAT | os.O_TRUNC}", "keep", None),
    (f"pair:{socket.SOCK_SEQPACKET}", f"pair:{socket.SOCK_STREAM}", "keep", None),
    ("keep", "pty", "keep", None),
    # readable by everyone: the command may read it anyway
    (f"open:/etc/vornex/proxy.commands,{os.O_RDONLY}", "keep", "keep", None),
]


@pytest.mark.parametrize("stdin, stdout, stderr, refused", DESCRIPTORS)
def test_descriptors_accepted_by_kind(way_in, stdin, stdout, stderr, refused):
    """A root command that reads /dev/stdin and writes /dev/stdout and /dev/stderr gets
    only what the caller could open; a refused descriptor starts nothing."""
    fe = way_in.frontend
    started = os.path.join(way_in.probe_dir, "started")
    wanted_fds = [w.replace("PROBE", way_in.probe_dir) for w in (stdin, stdout, stderr)]
    if any(w.startswith(("pty", "ctty")) for w in wanted_fds):  # terminals of the namespace's own
        fe.shell("mount -t devpts -o newinstance,ptmxmode=0666,mode=0620 devpts /dev/pts")
    proc = fe.start(["-c", LAUNCH, CLIENT, *wanted_fds, "reopen"], way_in.site1,
                    program="/usr/bin/python3")
    terminal = os.path.join(way_in.probe_dir, "tty")
    result = fe.collect(proc, settle=False)
    open(terminal + ".done", "w").close()
    assert fe.settle() == []
    assert fe.shell(f"cat {SECRET}").stdout == SECRET_TEXT
    # the front-end logs its audit line after the reply, which the client may outrun
    [(_, line)] = audit_lines(result.logs + way_in.logs())
    if refused is None:
        assert (result.rc, os.path.exists(started)) == (0, True), result
        assert " outcome=exit:0 " in line
        if stdout.startswith(f"open:{OWN}"):
            assert fe.shell(f"cat {OWN}").stdout == b"written\n"
        if stdout == "pty":
            assert re.search(r' tty="/dev/pts/\d+" ', line), line
        return
    fd, why = refused
    assert (result.rc, os.path.exists(started)) == (1, False)
    assert " outcome=refused:descriptor " in line
    assert line.endswith(f' reason="{FD_NAMES[fd]}: {why}"')
    shown = f"vornex: {FD_NAMES[fd]} is refused: {why}; nothing was started\n"
    assert result.stderr == (b"" if fd == 2 else shown.encode())
    if stdin.startswith("ctty:"):
        with open(terminal, "rb") as f:
            assert f.read() == shown.replace("\n", "\r\n").encode()
    assert not any(r.ident == "vornex.command.server" for r in result.logs)


AUDIT_ARGS = [
    # arguments, how the audit line shows them
    (["x" * 4000, "short"], '["' + "x" * 256 + '\u2026(4000 bytes)" "short"]'),
    (["a b", ""], '["a b" ""]'),
]


@pytest.mark.parametrize("args, shown", AUDIT_ARGS)
def test_audit_line_shows_every_argument(way_in, args, shown):
    result = way_in.frontend.client(["echo", *args], way_in.site1)
    [(_, line)] = frontend_lines(result.logs)
    assert f" args={shown} cwd=" in line


def test_audit_line_is_bounded(way_in):
    args = [f"{i:02d}" + "y" * 298 for i in range(20)]
    result = way_in.frontend.client(["echo", *args], way_in.site1)
    [(_, line)] = frontend_lines(result.logs)
    shown = re.findall(r'"(\d\d)y+\u2026\(300 bytes\)"', line)
    left = int(re.search(r" \+(\d+) more\] cwd=", line).group(1))
    assert shown == [f"{i:02d}" for i in range(len(shown))] and len(shown) + left == 20
    assert len(line.encode()) <= 2048 and " outcome=exit:0 duration=" in line


# A stand-in server: sends the records of PLAN on its report socket, writes its line, then
# waits HANG seconds and exits with STATUS.
FAKE_SERVER = """#!/usr/bin/python3
import os, socket, struct, sys, time
report = socket.socket(fileno=int(os.environ["VORNEX_REPORT_FD"]))
for kind, number, text, detail in PLAN:
    report.send(b"VXR1" + struct.pack("<Bi", kind, number) + struct.pack("<H", len(text))
                + text + struct.pack("<H", len(detail)) + detail)
sys.stderr.write("the server's line\\n")
sys.stderr.flush()
time.sleep(HANG)
sys.exit(STATUS)
"""
ANNOUNCE = (1, 0, b"", b"")
RUNS = (2, 0, b"/usr/local/bin/tool", b"site1")
REPORTS = [
    # records, seconds it hangs, status; the reply (kind, value, end, number: None for the
    # server's pid) and the audit line's outcome and runs=
    ([ANNOUNCE, (8, 0, b"", b"")], 60, 1, (REFUSED, 1, "killed", None), "killed", ""),
    ([ANNOUNCE, (9, 42, b"", b"")], 0, 1, (0, 1, "blocked", 42), "refused:blocked", ""),
    ([ANNOUNCE, RUNS], 0, 3, (0, 3, "?", None), "exit:3", "/usr/local/bin/tool"),
    ([ANNOUNCE, RUNS, (14, 0, b"/usr/local/bin/tool", b"")], 0, 1, (0, 1, "exec", None),
     "refused:exec", "/usr/local/bin/tool"),
    # nothing is relied on before the announcement
    ([(8, 0, b"", b""), RUNS], 0, 1, (0, 1, "?", None), "exit:1", ""),
    ([ANNOUNCE, (16, 0, b"", b"")], 0, 0, (0, 0, "crontab-check", None), "exit:0", ""),
]


@pytest.mark.parametrize("plan, hang, status, reply, outcome, runs", REPORTS)
def test_server_report_decides_the_outcome(way_in, plan, hang, status, reply, outcome, runs):
    fe = way_in.frontend
    source = os.path.join(way_in.probe_dir, "server")
    with open(source, "w") as f:
        f.write(FAKE_SERVER.replace("PLAN", repr(plan)).replace("HANG", str(hang))
                .replace("STATUS", str(status)))
    fe.shell(f"cp {source} {SERVER} && chmod 0755 {SERVER}")
    kind, value, end, number, _ = exchange(fe, raw_request(name=b"root"))
    assert fe.settle() == []
    [(_, line)] = audit_lines(way_in.logs())
    server = server_of(line)
    assert (kind, value, end, number) == reply[:3] + (reply[3] or server,)
    assert f' runs="{runs}" as="{"site1" if runs else ""}" outcome={outcome} ' in line


def test_server_held_by_a_full_pipe_is_killed(way_in):
    """The server reports its end, then blocks writing its line into a full pipe: it is killed
    and the client told so, not of a death by signal."""
    fe = way_in.frontend
    drain = os.path.join(way_in.probe_dir, "drain")
    proc = fe.start(["-c", LAUNCH, CLIENT, "keep", "keep", f"fullpipe:{drain}", "nosuch"],
                    way_in.site1, program="/usr/bin/python3")
    seen = []

    def killed():
        seen.extend(audit_lines(way_in.logs()))
        return any(" outcome=killed " in line for _, line in seen)
    wait_for(killed, timeout=30)
    open(drain, "w").close()
    result = fe.collect(proc)
    assert result.rc == 1
    with open(drain + ".out", "rb") as f:
        assert re.fullmatch(rb"vornex: request \d+: the server did not end within 5 s of its "
                            rb"outcome and was stopped\n", f.read().lstrip(b"x"))
    [(pri, line)] = seen
    assert (pri, line.split(" outcome=")[1].split()[0]) == (PRI_WARNING, "killed")


# Run as the user inside the namespace: a shell's job control over a terminal of its own. The
# client runs in the terminal's foreground group; each line read is an action on the terminal
# or the client, answered by what became of the client.
JOB_SHELL = """
import fcntl, os, signal, struct, sys, termios
STOPS = (signal.SIGTSTP, signal.SIGTTIN, signal.SIGTTOU)
for s in STOPS:
    signal.signal(s, signal.SIG_IGN)
os.setsid()
master, slave = os.openpty()
fcntl.ioctl(slave, termios.TIOCSCTTY, 0)
pid = os.fork()
if pid == 0:
    os.setpgid(0, 0)
    os.tcsetpgrp(slave, os.getpid())
    for s in STOPS:
        signal.signal(s, signal.SIG_DFL)
    for fd in range(3):
        os.dup2(slave, fd)
    os.execv(sys.argv[1], sys.argv[1:])
until = {"z": "stopped", "bg": "stopped", "fg": "continued", "kill": "ended", "term": "ended"}
for line in sys.stdin:
    action = line.strip()
    if action == "size":
        fcntl.ioctl(master, termios.TIOCSWINSZ, struct.pack("HHHH", 40, 100, 0, 0))
        print("resized", flush=True)
        continue
    if action == "z":
        os.write(master, b"\\x1a")  # Ctrl-Z
    elif action in ("fg", "bg"):
        if action == "fg":
            os.tcsetpgrp(slave, pid)
        os.killpg(pid, signal.SIGCONT)
    elif action == "kill":
        os.kill(pid, signal.SIGKILL)
    elif action == "term":  # as a shell kills a stopped job
        os.killpg(pid, signal.SIGTERM)
        os.killpg(pid, signal.SIGCONT)
    event = ""
    while not event.startswith(until[action]):
        _, status = os.waitpid(pid, os.WUNTRACED | os.WCONTINUED)
        event = (f"stopped {os.WSTOPSIG(status)}" if os.WIFSTOPPED(status) else "continued"
                 if os.WIFCONTINUED(status) else f"ended {os.waitstatus_to_exitcode(status)}")
    if event.startswith("stopped"):
        os.tcsetpgrp(slave, os.getpgrp())  # the shell takes the terminal back
    print(event, flush=True)
"""


def state(pid):
    with open(f"/proc/{pid}/stat") as f:
        return f.read().rsplit(")", 1)[1].split()[0]


def start_job_shell(way_in, args):
    """JOB_SHELL running the client with `args` on a terminal of the namespace's own; the
    client and a function that sends the shell an action and returns its answer."""
    way_in.frontend.shell("mount -t devpts -o newinstance,ptmxmode=0666,mode=0620 devpts "
                          "/dev/pts")
    proc = way_in.frontend.start(["-c", JOB_SHELL, CLIENT, *args], way_in.site1,
                                 program="/usr/bin/python3", stdin=subprocess.PIPE)

    def answer(action):
        proc.stdin.write(action.encode() + b"\n")
        proc.stdin.flush()
        assert select.select([proc.stdout], [], [], 15)[0], f"no answer to {action}"
        return proc.stdout.readline().decode().strip()
    return proc, answer


def command_pid(way_in):
    wait_for(lambda: os.path.exists(f"{way_in.probe_dir}/pid"))
    with open(f"{way_in.probe_dir}/pid") as f:
        return int(f.read())


@pytest.mark.parametrize("arg, end, rc, outcome", [
    ("", "kill", -signal.SIGKILL, "signal:1"),
    ("ignore", "term", -signal.SIGTERM, "signal:15")])  # ignores SIGTSTP: SIGSTOP then
def test_job_control_through_a_terminal(way_in, arg, end, rc, outcome):
    """Ctrl-Z stops the command before the client; `bg` leaves both stopped (the client again,
    by SIGTTIN), `fg` continues them; a resize reaches the command. Stopped, the client killed
    leaves the command a hangup it can take; killed as a stopped job, the command is too."""
    fe, d = way_in.frontend, way_in.probe_dir
    proc, answer = start_job_shell(way_in, ["job", arg])
    command = command_pid(way_in)
    assert answer("size") == "resized"
    wait_for(lambda: os.path.exists(f"{d}/size") and open(f"{d}/size").read() == "40 100\n")
    assert (answer("z"), state(command)) == ("stopped 20", "T")
    assert (answer("bg"), state(command)) == ("stopped 21", "T")
    assert answer("fg") == "continued"
    wait_for(lambda: state(command) != "T")
    assert (answer("z"), state(command)) == ("stopped 20", "T")
    assert answer(end) == f"ended {rc}"
    result = fe.collect(proc)  # nothing is left in the namespace, stopped or not
    [(_, line)] = audit_lines(result.logs)
    assert f" outcome={outcome} " in line


def test_stop_of_a_command_that_cannot_stop_is_answered(way_in):
    """A command waiting on a child that shares its memory never reports a stop, even by
    SIGSTOP: Ctrl-Z still gives the shell its terminal back, and the command goes on once
    continued."""
    with open(os.path.join(way_in.native, "holdfork"), "rb") as f:
        way_in.write_file("/usr/local/bin/holdfork", f.read(), 0o755)
    proc, answer = start_job_shell(way_in, ["holdfork", f"{way_in.probe_dir}/pid"])
    command = command_pid(way_in)
    assert (answer("z"), state(command)) == ("stopped 20", "D")  # still in its wait
    assert answer("fg") == "continued"
    assert answer("kill") == f"ended {-signal.SIGKILL}"
    result = way_in.frontend.collect(proc)
    [(_, line)] = audit_lines(result.logs)
    assert " outcome=signal:1 " in line
