#!/usr/bin/python3
"""Shows requests to the command server end to end, for an administrator.

Each scene builds a throw-away system (tests/system/sandbox.py): the staged install over
/usr, the scene's accounts and command files over /etc and /home, the accounts' token files
and directories set up by `vornexctl token issue` over /var and /home, and a
private /dev/log, all as overlays inside a private mount namespace. The installed server runs
there as root, exactly as a front-end would start it; the demo prints the command file, the
request, the outcome (exit status, output) and the syslog lines the request left. Nothing of
the host is changed: the overlays vanish with each run and the scene's directory is removed.

Add a scene by appending a Scene to SCENES.
"""

from __future__ import annotations

import dataclasses
import os
import shlex
import sys
import textwrap
from pathlib import Path
from typing import Callable, Sequence

REPO = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(REPO / "tests" / "system"))

import sandbox  # noqa: E402  (found through the path set above)

SERVER = "/usr/libexec/vornex/vornex-command-server"
CTL = "/usr/sbin/vornexctl"
# Present in a scene's /etc: the server then leaves resource containers alone, so that no
# container of the host is created or entered.
EDITION_MARKER = "/etc/sorvantine-edition-tavo"

FACILITIES = {0: "kern", 1: "user", 3: "daemon", 4: "auth", 10: "authpriv"}
SEVERITIES = ["emerg", "alert", "crit", "err", "warning", "notice", "info", "debug"]
WIDTH = 96
# Host paths that a scene writes inside its sandbox; they must look the same afterwards.
WATCHED = ["/etc/vornex", "/var/vornex", "/etc/passwd", "/etc/group", EDITION_MARKER,
           "/home/site1"]


@dataclasses.dataclass
class Account:
    name: str
    uid: int
    token: bool = False  # set up with `vornexctl token issue`


@dataclasses.dataclass
class Scene:
    title: str
    story: str
    commands: dict[str, str]  # command file name in /etc/vornex -> content
    accounts: Sequence[Account]
    request: Sequence[str]  # argv[1:] as the front-end passes it
    token: str | None  # whose token file the front-end passes on in VORNEX_TOKEN, or None
    status: int  # the exit status the scene shows; another one fails the demo
    setup: Callable[[sandbox.Sandbox], None] | None = None  # anything else the scene needs


SCENES = [
    Scene(
        title="An approved command runs as the requesting user",
        story="The administrator lists the alias \"report\" in the main command file, without "
              "a user part, so the command runs as the requesting user. site1's token file "
              "holds the token that the front-end passes on; the default validator approves "
              "the arguments, and the server becomes /usr/bin/id.",
        commands={"proxy.commands": "# report for any user\n"
                                    "report=/usr/bin/id\n"
                                    "restart=root:/usr/sbin/service-restart\n"},
        accounts=[Account("site1", 1005, token=True)],
        request=["frontend", "site1", "/home/site1", "report", "4242"],
        token="site1",
        status=0,
    ),
    Scene(
        title="A malformed request is refused on its face",
        story="The pid argument must be all digits. The request is refused before any command "
              "file or token file is read.",
        commands={"proxy.commands": "report=/usr/bin/id\n"},
        accounts=[Account("site1", 1005, token=True)],
        request=["frontend", "site1", "/home/site1", "report", "12a"],
        token="site1",
        status=1,
    ),
]


# The whole road of a request on one system: several requests in a row in one sandbox, so
# that the auth log carries over from one to the next.
ROAD_COMMANDS = ("# as the requesting user\n"
                 "whoami=/usr/bin/id\n"
                 "# as root, and as the service account svc\n"
                 "rootid=root:/usr/bin/id\n"
                 "svcid=svc:/usr/bin/id\n"
                 "# a crontab alias: the command gets exactly one argument, -l\n"
                 "CRONTAB_LIST=/bin/echo\n")


def issue_tokens(box: sandbox.Sandbox, names: Sequence[str], show: bool = True
                 ) -> dict[str, str]:
    """Sets the names up as an administrator does, with `vornexctl token issue`, and reads
    back the tokens as the front-end would, from the token files the tool wrote."""
    if show:
        print("# " + shlex.join([CTL, "token", "issue", *names]))
    result = box.run(program=CTL, raw_argv=[CTL, "token", "issue", *names], token=None)
    if show:
        print(indent(result.stdout.decode("utf-8", "backslashreplace").rstrip("\n")))
    if result.rc != 0:
        raise RuntimeError(f"vornexctl token issue failed: {result.stderr!r}")
    tokens = {}
    for line in result.stdout.decode().splitlines():
        name, _, rest = line.partition(" ")
        path = rest.rsplit(" ", 1)[-1]
        if path.endswith("/.vornex.token"):
            tokens[name] = box.read(path).decode().strip()
    return tokens


def decoded_auth_log(box: sandbox.Sandbox, name: str) -> str:
    data = box.auth_log(name, 1005)
    if data is None:
        return "(no auth log)"
    last, until, failures, blocks = sandbox_record(data)
    blocked = f"blocked until {until}" if until else "never blocked"
    return f"{len(data)} bytes: failures in a row {failures}, blocks {blocks}, {blocked}"


def sandbox_record(data: bytes) -> tuple[int, int, int, int]:
    import struct
    return struct.unpack("<qqii", data[:24])


def road_step(box: sandbox.Sandbox, title: str, alias: str, token: str,
              show_log: str | None = "site1") -> int:
    print(f"--- {title}")
    request = ["frontend", "site1", "/home/site1", alias, "4242"]
    print(indent(f"VORNEX_TOKEN={shlex.quote(token)} " + shlex.join([SERVER, *request])))
    box.logs()
    result = box.run(request, token=token)
    print(f"    exit status {result.rc}; stdout: {shown(result.stdout)}; "
          f"stderr: {shown(result.stderr)}")
    for record in result.logs:
        print(f"    syslog {priority_name(record.pri):<15} {record.ident}: {record.text}")
    if show_log:
        print(f"    auth log of {show_log}: {decoded_auth_log(box, show_log)}")
    return result.rc


def play_road(stage: str) -> bool:
    print("=== The whole road, on one system")
    print(textwrap.fill(
        "Two accounts share uid 1005: site1 and site1web; vornexctl token issue gives both "
        "names one token, since the server tries every name of the uid. A "
        "service account svc has uid 1100. The default validator approves each request; the "
        "resource container is skipped through the edition marker. Every request names the "
        "user site1. (This sandbox has no CAP_SYS_RESOURCE to give, so requests run as the "
        "user log that raising it failed; that failure is not fatal.)", WIDTH))
    print("Command file /etc/vornex/proxy.commands:")
    print(indent(ROAD_COMMANDS.rstrip("\n")))
    box = sandbox.Sandbox(stage=stage)
    expected = []
    got = []
    try:
        box.write_file(EDITION_MARKER, "")
        box.add_user("site1", 1005)
        box.add_user("site1web", 1005, gid=1005, home="/home/site1", make_home=False,
                     group=False)
        box.add_user("svc", 1100)
        box.commands(ROAD_COMMANDS)
        tokens = issue_tokens(box, ["site1"])
        good = tokens["site1"]
        got.append(road_step(box, "site1's token: the command runs as site1", "whoami", good))
        pid_file = box.read("/home/site1/.vornex/tmp/.vornex.proxy.4242")
        print(f"    pid file /home/site1/.vornex/tmp/.vornex.proxy.4242: {shown(pid_file)}")
        got.append(road_step(box, "an alias that runs as root", "rootid", good, None))
        got.append(road_step(box, "an alias that runs as svc", "svcid", good, None))
        got.append(road_step(box, "a crontab alias", "CRONTAB_LIST", good, None))
        expected += [0, 0, 0, 0]
        print("--- /etc/vornex/proxy.disable.duid is created: one token check, site1's own")
        box.flag("proxy.disable.duid")
        for attempt in (1, 2, 3):
            got.append(road_step(box, f"wrong token, attempt {attempt}", "whoami", "guess"))
            expected.append(1)
        got.append(road_step(box, "the right token while site1 is blocked: refused, not "
                             "counted, the auth log unchanged", "whoami", good))
        expected.append(1)
        print("--- /etc/vornex/proxy.disable.duid is removed: every account of uid 1005 counts")
        box.remove("/etc/vornex/proxy.disable.duid")
        got.append(road_step(box, "the right token while site1 is still blocked: the search "
                             "passes site1 over and accepts it through site1web, which shares "
                             "the uid and the token", "whoami", tokens["site1web"], "site1web"))
        expected.append(0)
    finally:
        box.close()
    print()
    if got != expected:
        print(f"demo: the road ended with {got}, not {expected}", file=sys.stderr)
        return False
    return True


# The administrator's tool on a command file with two mistakes: a blank before "=" makes the
# alias "report " instead of "report", and a relative command path fails every request.
ADMIN_COMMANDS = ("report =/usr/bin/id\n"
                  "restart=root:usr/sbin/service-restart\n")


def admin_step(box: sandbox.Sandbox, argv: list[str]) -> int:
    print("# " + shlex.join([CTL, *argv]))
    result = box.run(program=CTL, raw_argv=[CTL, *argv], token=None)
    print(indent(result.stdout.decode("utf-8", "backslashreplace").rstrip("\n")))
    print(f"    (exit status {result.rc})")
    return result.rc


def play_admin(stage: str) -> bool:
    print("=== vornexctl: checking a command file, explaining a refusal, auditing users")
    print(textwrap.fill(
        "The administrator has written two mistakes into the main command file. vornexctl "
        "check, run after the edit, names both with file and line; a request for \"report\" "
        "is refused by the server, and vornexctl explain tells at which stage and with which "
        "syslog line, without running anything. Then site1's token file is copied in by hand "
        "and ends up root's: vornexctl check --users catches it before the server counts the "
        "right token as an attack.", WIDTH))
    print("Command file /etc/vornex/proxy.commands:")
    print(indent(ADMIN_COMMANDS.rstrip("\n")))
    box = sandbox.Sandbox(stage=stage)
    try:
        box.write_file(EDITION_MARKER, "")
        box.add_user("site1", 1005, pid_dir=False)
        token = issue_tokens(box, ["site1"])["site1"]
        box.commands(ADMIN_COMMANDS)
        got = [admin_step(box, ["check"])]
        request = ["frontend", "site1", "/home/site1", "report", "4242"]
        print(f"# VORNEX_TOKEN={token} " + shlex.join([SERVER, *request]))
        result = box.run(request, token=token)
        print(f"    exit status {result.rc}; stderr: {shown(result.stderr)}")
        for record in result.logs:
            print(f"    syslog {priority_name(record.pri):<15} {record.ident}: {record.text}")
        got += [result.rc, admin_step(box, ["explain", "site1", "report"])]
        token_file = sandbox_token_path(Account("site1", 1005))
        print(f"# cp site1.token {token_file}   (a copy made by hand: owned by root)")
        box.write_file(token_file, token + "\n", 0o400, 0, 0)
        got.append(admin_step(box, ["check", "--users"]))
    finally:
        box.close()
    print()
    if got != [1, 1, 1, 1]:
        print(f"demo: the vornexctl scene ended with {got}, not [1, 1, 1, 1]", file=sys.stderr)
        return False
    return True


WAY_IN_COMMANDS = "whoami=/usr/bin/id\nbackup=/bin/echo\nrootid=root:/usr/bin/id\n"

# A user's own program that asks the front-end for another uid's name (the token does not
# matter: the front-end refuses before the server is started).
FOREIGN_REQUEST = """import os, socket, struct, sys
sys.path.insert(0, os.environ["TESTS"])
from sandbox import encode_request, decode_reply
s = socket.socket(socket.AF_UNIX, socket.SOCK_SEQPACKET)
s.connect("/run/vornex/vornex.sock")
s.sendmsg([encode_request(b"site2", b"/home/site1", b"whoami", b"guess")],
           [(socket.SOL_SOCKET, socket.SCM_RIGHTS, struct.pack("3i", 0, 1, 2))])
print(decode_reply(s.recv(4096)))
"""


def way_in_step(front: sandbox.Frontend, box: sandbox.Sandbox, args: list[str],
                shown_as: str | None = None, program: str = sandbox.CLIENT,
                env: dict | None = None) -> int:
    print(f"site1$ {shown_as or shlex.join(['vornex', *args])}")
    box.logs()
    result = front.collect(front.start(args, box.accounts["site1"], env, program=program))
    text = (result.stdout + result.stderr).decode("utf-8", "backslashreplace").rstrip("\n")
    if text:
        print(indent(text))
    print(f"    (exit status {result.rc})")
    for record in result.logs:
        print(f"    syslog {priority_name(record.pri):<15} {record.ident}: {record.text}")
    return result.rc


def play_way_in(stage: str) -> bool:
    print("=== The way in: a user types vornex ALIAS")
    print(textwrap.fill(
        "The listener vornexd serves /run/vornex/vornex.sock under systemd's socket "
        "activator (systemd-socket-activate --seqpacket) and starts the front-end "
        "vornex-frontend per connection, as the socket and service units do on an installed "
        "system. site1 (uid 1005) and site2 (uid 1006) each get a token "
        "file from vornexctl token issue; site1 types the commands below in its own shell.",
        WIDTH))
    print("Command file /etc/vornex/proxy.commands:")
    print(indent(WAY_IN_COMMANDS.rstrip("\n")))
    box = sandbox.Sandbox(stage=stage)
    got = []
    try:
        box.write_file(EDITION_MARKER, "")
        box.add_user("site1", 1005)
        box.add_user("site2", 1006)
        issue_tokens(box, ["site1", "site2"])
        box.commands(WAY_IN_COMMANDS)
        front = sandbox.Frontend(box)
        try:
            got.append(way_in_step(front, box, ["whoami"]))
            got.append(way_in_step(front, box, ["-l"]))
            print("--- a program of site1's own asks for site2's name")
            got.append(way_in_step(front, box, ["-c", FOREIGN_REQUEST],
                                   "python3 ask-for-site2.py", "/usr/bin/python3",
                                   {"TESTS": str(REPO / "tests" / "system")}))
            print("--- site1's token file is made 0600: the server refuses it and counts")
            front.shell(f"chmod 0600 {sandbox_token_path(box.accounts['site1'])}")
            for _ in range(3):
                got.append(way_in_step(front, box, ["whoami"]))
            print(f"    auth log of site1: {decoded_auth_log(box, 'site1')}")
            print("--- 0400 again, but the name is blocked for 30 seconds")
            front.shell(f"chmod 0400 {sandbox_token_path(box.accounts['site1'])}")
            got.append(way_in_step(front, box, ["whoami"]))
        finally:
            front.close()
    finally:
        box.close()
    print()
    if got != [0, 0, 0, 1, 1, 1, 1]:
        print(f"demo: the way in ended with {got}, not [0, 0, 0, 1, 1, 1, 1]", file=sys.stderr)
        return False
    return True


def indent(text: str, prefix: str = "    ") -> str:
    return "\n".join(prefix + line for line in text.splitlines()) if text else prefix + "(empty)"


def shown(data: bytes) -> str:
    if not data:
        return "(nothing)"
    return data.decode("utf-8", "backslashreplace").rstrip("\n")


def priority_name(pri: int | None) -> str:
    if pri is None:
        return "?"
    facility, severity = divmod(pri, 8)
    return f"{FACILITIES.get(facility, str(facility))}.{SEVERITIES[severity]}"


def build_sandbox(scene: Scene, stage: str) -> tuple[sandbox.Sandbox, dict[str, str]]:
    box = sandbox.Sandbox(stage=stage)
    try:
        box.write_file(EDITION_MARKER, "")
        for account in scene.accounts:
            box.add_user(account.name, account.uid, pid_dir=False)
        for name, content in scene.commands.items():
            box.commands(content, name)
        names = [a.name for a in scene.accounts if a.token]
        tokens = issue_tokens(box, names) if names else {}
        if scene.setup is not None:
            scene.setup(box)
    except BaseException:
        box.close()
        raise
    return box, tokens


def play(number: int, scene: Scene, stage: str) -> bool:
    """Shows one scene; tells whether it ended with the status it is meant to show."""
    print(f"=== Scene {number}: {scene.title}")
    print(textwrap.fill(scene.story, WIDTH))
    print()
    for name, content in scene.commands.items():
        print(f"Command file /etc/vornex/{name}:")
        print(indent(content.rstrip("\n")))
    box, tokens = build_sandbox(scene, stage)
    token = None if scene.token is None else tokens[scene.token]
    environment = "" if token is None else f"VORNEX_TOKEN={shlex.quote(token)} "
    print("Request, as the front-end starts the server as root:")
    print(indent(environment + shlex.join([SERVER, *scene.request])))
    try:
        box.logs()  # only what this request logs
        result = box.run(list(scene.request), token=token)
        records = list(result.logs)
    finally:
        box.close()

    print("Outcome:")
    print(f"    exit status {result.rc}")
    print(f"    stdout: {shown(result.stdout)}")
    print(f"    stderr: {shown(result.stderr)}")
    print("Syslog:")
    if not records:
        print("    (no lines)")
    for record in records:
        print(f"    {priority_name(record.pri):<15} {record.ident}[{record.pid}]: {record.text}")
    print()
    if result.rc != scene.status:
        print(f"demo: scene {number} ended with status {result.rc}, not {scene.status}",
              file=sys.stderr)
        return False
    return True


def host_state() -> list[tuple[str, tuple | None]]:
    def state(path: str) -> tuple | None:
        try:
            st = os.lstat(path)
        except FileNotFoundError:
            return None
        return (st.st_mode, st.st_uid, st.st_size, st.st_mtime_ns)

    return [(path, state(path)) for path in WATCHED]


def sandbox_token_path(account: Account) -> str:
    return f"/var/vornex/{account.uid % 100:02d}/{account.name}/.vornex/.vornex.token"


def main() -> int:
    if os.geteuid() != 0:
        print("demo: the sandbox needs root (private mount namespaces and overlays)",
              file=sys.stderr)
        return 1
    stage = os.environ.get("VORNEX_STAGE", str(REPO / "build" / "stage"))
    print(f"Command server from the staged install in {stage}; every scene runs in a "
          "throw-away sandbox.\n")
    before = host_state()
    failed = [number for number, scene in enumerate(SCENES, 1) if not play(number, scene, stage)]
    if not play_road(stage):
        failed.append("road")
    if not play_admin(stage):
        failed.append("vornexctl")
    if not play_way_in(stage):
        failed.append("way in")
    if host_state() != before:
        print("demo: the host's files changed during the demo", file=sys.stderr)
        return 1
    if failed:
        print(f"demo: scenes {failed} did not end as shown", file=sys.stderr)
        return 1
    shown = len(SCENES) + 3  # the road, vornexctl and the way in
    print(f"demo: {shown} scenes shown; the host's files are as they were.")
    return 0


if __name__ == "__main__":
    sys.exit(main())
