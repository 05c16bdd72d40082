#!/usr/bin/python3
"""Whole-process benchmark of the command server against the floor and its peers.

Every candidate set runs in its own sandbox (tests/system/sandbox.py): a private mount
namespace with throw-away overlays of /etc, /var, /usr, /home, /dev (and /run here), so the
host is never written. The runner (runner.c) runs inside the namespace, so the cost of
unshare and mount lies outside the timed loop; it alternates each candidate with the floor
(/bin/true run directly) and the figures are the candidate / floor ratios of the pairs.

Started by bench/run.sh, which builds the release server and the benchmark's programs.
"""

import argparse
import datetime
import os
import platform
import shlex
import shutil
import statistics
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(ROOT, "tests", "system"))

import sandbox  # noqa: E402
import stats  # noqa: E402

SERVER = sandbox.SERVER
TRUE = "/bin/true"
USER, UID, GID = "benchuser", 4242, 4242
HOME = f"/home/{USER}"
TOKEN = "b3nch-t0ken-5e1f-9a7c-04d2"
ALIAS = "bench"
VALIDATOR = "/usr/share/vornex/check_params.py"
VALIDATOR_PROGRAM = "/usr/libexec/vornex/vornex-check-params"
# The validator's path is a link to the compiled program in an installation.
INSTALLED_LINK = "../../libexec/vornex/vornex-check-params"
RULES = "/etc/vornex/params.rules"
RULE_LINES = 1000
DISABLE_FILE = "/etc/vornex/proxy.disable.duid"
MARKER = "/etc/sorvantine-edition-tavo"
NSSWITCH_FILES_ONLY = "passwd: files\ngroup: files\nshadow: files\ngshadow: files\n"
# Logged on every request where the machine's bounding set lacks CAP_SYS_RESOURCE; not a fault.
EXPECTED_SERVER_LINES = ("set CAP_SYS_RESOURCE failed:",)
SIZES = (1000, 10000, 100000)
CONCURRENCY = 32

GOAL_FLOOR_RATIO = 3.5
GOAL_DOAS_SPEEDUP = 1.6
GOAL_RUNUSER_SPEEDUP = 1.8
GOAL_INSTRUCTIONS = 1_500_000
GOAL_SEARCH_OVERHEAD = 0.10
GOAL_VALIDATOR_RATIO = 1.3
GOAL_RULES_OVERHEAD = 0.10


class Profile:
    def __init__(self, quick):
        self.quick = quick
        self.rounds = 3 if quick else 1000
        self.warmup = 1 if quick else 3  # per block
        self.scaling_rounds = {n: 2 for n in SIZES} if quick else {1000: 300, 10000: 120,
                                                                    100000: 40}
        self.concurrency_rounds = 1 if quick else 50
        self.blocks = 1 if quick else 10
        self.callgrind_scaling = not quick


class BenchError(Exception):
    pass


def vornex_request():
    return [SERVER, "frontend", USER, HOME, ALIAS, "4242"]


class BenchSandbox(sandbox.Sandbox):
    """The system tests' sandbox with the benchmark's account and files, and /run overlaid
    as well (sudo keeps its state there). Commands run inside the namespace behind a shell
    line of set-up steps, optionally in a fresh pid namespace too."""

    def __init__(self, stage, tools, validator="trivial", marker=True, nsswitch=None):
        super().__init__(stage=stage)
        self.tools = tools
        for part in ("run.up", "run.work", "out"):
            os.makedirs(os.path.join(self.root, part))
        os.chmod(self.out(""), 0o777)
        self.records = []
        if validator == "trivial":
            with open(os.path.join(tools, "true_validator"), "rb") as f:
                self.write_file(VALIDATOR, f.read(), 0o755)
        if marker:
            self.marker()
        if nsswitch is not None:
            self.write_file("/etc/nsswitch.conf", nsswitch)
        self.commands(f"{ALIAS}={TRUE}\n")
        self.write_file("/etc/doas.conf", f"permit nopass root as {USER}\n", 0o400)
        self.write_file("/etc/sudoers.d/vornex-bench",
                        f"root ALL=({USER}) NOPASSWD: {TRUE}\n", 0o440)

    def add_account(self, fillers=0):
        """The requesting account, after `fillers` accounts of other uids."""
        if fillers > 0:
            self.add_users("".join(
                f"fill{i:06d}:x:{200000 + i}:100::/nonexistent:/usr/sbin/nologin\n"
                for i in range(fillers)))
        self.add_user(USER, UID, GID)
        self.token(USER, UID, TOKEN + "\n")

    def passwd_entries(self):
        with open(os.path.join(self.upper("etc"), "passwd"), "rb") as f:
            return sum(1 for _ in f)

    def out(self, name):
        return os.path.join(self.root, "out", name)

    def inside(self, argv, setup=(), pid_namespace=False):
        run = ("mount -t overlay overlay -o " + shlex.quote(
            f"lowerdir=/run,upperdir={self.root}/run.up,workdir={self.root}/run.work") +
            " /run")
        script = " && ".join([run, *setup, 'exec "$0" "$@"'])
        command = self.command(["/bin/sh", "-c", script, *argv])
        if pid_namespace:
            assert command[0] == b"unshare", command
            command = command[:1] + [b"-p", b"-f"] + command[1:]
        return command

    def execute(self, argv, ldcache=True, setup=(), pid_namespace=False, timeout=900):
        """Runs argv inside the namespace. The loader cache is rebuilt first, as a package's
        installation would, so that the staged libraries are found like installed ones."""
        steps = (["/sbin/ldconfig"] if ldcache else []) + list(setup)
        env = {"PATH": "/usr/bin:/bin", "VORNEX_TOKEN": TOKEN}
        try:
            done = subprocess.run(self.inside(argv, steps, pid_namespace), env=env,
                                  stdin=subprocess.DEVNULL, capture_output=True,
                                  timeout=timeout)
        finally:
            self.records.extend(self.logs())
        if done.returncode != 0:
            raise BenchError(f"{shlex.join(argv[:3])} ... exited with {done.returncode}:\n"
                             + done.stderr.decode(errors="replace")[-3000:])
        return done

    def unexpected_server_lines(self):
        return [r.text for r in self.records
                if (r.ident or "").startswith(sandbox.IDENT)
                and not r.text.startswith(EXPECTED_SERVER_LINES)]


# -- the timed sets --------------------------------------------------------------------------

def runner_argv(sb, commands, rounds, warmup, output):
    argv = [os.path.join(sb.tools, "runner"), "-n", str(rounds), "-w", str(warmup), "-o",
            output]
    for i, command in enumerate(commands):
        if i:
            argv.append("::")
        argv.extend(command)
    return argv


class TimedSet:
    """Candidates that share one sandbox, each (label, argv) timed right after a run of the
    floor; ('@', argv) is an untimed step between them. The rounds are run in blocks, and
    the blocks of all sets take turns, so that a busy spell of the shared machine falls on
    every set alike."""

    def __init__(self, name, sb, candidates, rounds, **execute):
        self.name, self.sb, self.rounds, self.execute = name, sb, rounds, execute
        self.commands, self.labels, self.rows = [], [], []
        for label, argv in candidates:
            if label == "@":
                self.commands.append(["@" + argv[0]] + argv[1:])
                continue
            self.commands += [[TRUE], argv]
            self.labels.append(label)

    def run_block(self, index, rounds, warmup):
        output = self.sb.out(f"{self.name}-{index}.tsv")
        self.sb.execute(runner_argv(self.sb, self.commands, rounds, warmup, output),
                        **self.execute)
        self.rows += stats.read_table(output)

    def summaries(self):
        return {label: stats.summarize_pairs(stats.paired(self.rows, 2 * i, 2 * i + 1))
                for i, label in enumerate(self.labels)}


def run_blocks(sets, blocks, warmup):
    for index in range(blocks):
        for timed in sets:
            rounds = timed.rounds // blocks + (1 if index < timed.rounds % blocks else 0)
            if rounds > 0:
                timed.run_block(index, rounds, warmup)


def peers():
    return [
        ("setpriv", ["/usr/bin/setpriv", "--reuid", USER, "--regid", USER, "--init-groups",
                     TRUE]),
        ("runuser", ["/usr/sbin/runuser", "-u", USER, "--", TRUE]),
        ("doas", ["/usr/bin/doas", "-n", "-u", USER, TRUE]),
        ("sudo", ["/usr/bin/sudo", "-n", "-u", USER, TRUE]),
    ]


def bare(tools, first=False):
    argv = [os.path.join(tools, "bare_switch")]
    if first:
        argv += ["-f", VALIDATOR]
    return argv + [str(UID), str(GID), TRUE]


def write_shipped_rules(sb):
    """The rules file that the package installs, in its place; returns its text."""
    with open(os.path.join(ROOT, "debian", "params.rules"), encoding="utf-8") as f:
        shipped = f.read()
    sb.write_file(RULES, shipped)
    return shipped


def write_rules_files(sb):
    """The shipped rules file in place, and beside it one of RULE_LINES lines: rules for other
    commands, and the benchmark's command last, so every line is read before the verdict."""
    shipped = write_shipped_rules(sb)
    sb.write_file(RULES + ".shipped", shipped)
    lines = [f"{'site%d,:ops ' % i if i % 3 == 0 else ''}/usr/local/sbin/tool{i:04d} "
             f"--site site{i}-* --level=full \"a b\" ...\n" for i in range(RULE_LINES - 1)]
    sb.write_file(RULES + ".1000", "".join(lines) + f"{TRUE}\n")


def installed_validator_candidates(tools):
    """The request with the installed validator (the link put in place of the trivial one for
    its run, and the trivial one back after it), and the installed validator alone with the
    shipped rules file and with a file of RULE_LINES lines."""
    alone = [VALIDATOR_PROGRAM, USER, HOME, TRUE]
    return [
        ("@", ["/bin/ln", "-sfn", INSTALLED_LINK, VALIDATOR]),
        ("vornex_installed", vornex_request()),
        ("@", ["/bin/cp", "--remove-destination", os.path.join(tools, "true_validator"),
               VALIDATOR]),
        ("validator_alone", alone),
        ("@", ["/bin/cp", RULES + ".1000", RULES]),
        ("validator_rules1000", alone),
        ("@", ["/bin/cp", RULES + ".shipped", RULES]),
    ]


def rules_overhead(timed):
    """What the long rules file adds to the validator alone: the median of the per-round
    differences of the two candidates, run in the same rounds, against the median time of the
    validator with the shipped file."""
    alone = 2 * timed.labels.index("validator_alone") + 1
    long_file = 2 * timed.labels.index("validator_rules1000") + 1
    added = statistics.median(stats.differences(timed.rows, long_file, alone)) / 1e6
    base = statistics.median(row[alone] for row in timed.rows) / 1e6
    return {"added_ms": added, "alone_ms": base, "overhead": added / base}


def check_logs(sb):
    unexpected = sb.unexpected_server_lines()
    if unexpected:
        raise BenchError("the server logged: " + "; ".join(sorted(set(unexpected))[:5]))


def with_sandbox(args, body, **kwargs):
    """Runs body(sandbox) in a new sandbox with the account; a server log line other than
    the expected one fails it."""
    sb = BenchSandbox(args.stage, args.tools, **kwargs)
    try:
        sb.add_account()
        result = body(sb)
        check_logs(sb)
        return result
    finally:
        sb.close()


# The per-user state and the home's pid file directory on a tmpfs: no disk flush.
TMPFS_SETUP = ["mount -t tmpfs -o mode=0755 tmpfs /var/vornex",
               "cp -a {root}/var.up/vornex/. /var/vornex/",
               f"mount -t tmpfs -o mode=0755,uid={UID},gid={GID} tmpfs {HOME}/.vornex/tmp"]


def cgroup2_root():
    """The first cgroup2 mount, when it is mounted read-write."""
    with open("/proc/self/mountinfo", encoding="utf-8") as f:
        for line in f:
            fields = line.split()
            sep = fields.index("-")
            if fields[sep + 1] == "cgroup2" and "rw" in fields[5].split(","):
                return fields[4].replace("\\040", " ")
    return None


def scaling_candidates(pwenum):
    # Columns: floor, search, floor, no_search, floor, enum, floor, enum_first.
    return [
        ("search", vornex_request()),
        ("@", ["/usr/bin/touch", DISABLE_FILE]),
        ("no_search", vornex_request()),
        ("@", ["/bin/rm", "-f", DISABLE_FILE]),
        ("enum", [pwenum, str(UID)]),
        ("enum_first", [pwenum, "0", "1"]),
    ]


def measure_timed(args, profile):
    """Every timed set, in interleaved blocks:
    - main: the bare switches, the request with the trivial validator, the same request
      entering the container through the real libqor when a writable cgroup v2 hierarchy
      exists (what it creates there is removed again unless it was there before), the peers;
    - in the main set too: the request with the installed validator, and that validator
      alone with the shipped rules file and with one of RULE_LINES lines;
    - the diagnostic variants of the request, which show where its time goes;
    - per size: the request with and without the shared-uid search, and a bare enumeration
      to the requesting account against one of the first entry only."""
    pwenum = os.path.join(args.tools, "pwenum")
    boxes, sets = [], []

    def box(fillers=None, **kwargs):
        sb = BenchSandbox(args.stage, args.tools, **kwargs)
        boxes.append(sb)
        if fillers is None:
            sb.add_account()
        else:
            sb.add_account(fillers - sb.passwd_entries() - 1)
        return sb

    request = vornex_request()
    root = cgroup2_root()
    writable = root is not None and os.access(root, os.W_OK)
    created = []
    if writable:
        for path in (os.path.join(root, "vornex"), os.path.join(root, "vornex", str(UID))):
            if not os.path.isdir(path):
                created.insert(0, path)
    try:
        # The container entry runs in the main set's own rounds: the marker file that
        # skips it is taken away for that one run and put back after it.
        qor = [("@", ["/bin/rm", "-f", MARKER]), ("vornex_qor", request),
               ("@", ["/usr/bin/touch", MARKER])] if writable else []
        main_box = box()
        write_rules_files(main_box)
        sets.append(TimedSet("main", main_box, [("bare", bare(args.tools)),
                                                ("bare_fork", bare(args.tools, True)),
                                                ("vornex", request)] + qor +
                             installed_validator_candidates(args.tools) + peers() +
                             [("platform_libs", [os.path.join(args.tools, "platform_libs")])],
                             profile.rounds))
        if writable:
            # Migrations close together are cheaper than spaced ones (the cgroup core waits
            # for an RCU grace period unless another migration came just before).
            sets.append(TimedSet("qor", box(marker=False), [("vornex_qor_close", request)],
                                 profile.rounds))
        sb = box()
        sets.append(TimedSet("tmpfs", sb, [("vornex_tmpfs", request)], profile.rounds,
                             setup=[step.format(root=sb.root) for step in TMPFS_SETUP]))
        sets.append(TimedSet("nss", box(nsswitch=NSSWITCH_FILES_ONLY),
                             [("vornex_nss_files", request)], profile.rounds))
        sb = box(nsswitch=NSSWITCH_FILES_ONLY)
        sets.append(TimedSet("tmpfs_nss", sb, [("vornex_tmpfs_nss_files", request)],
                             profile.rounds,
                             setup=[step.format(root=sb.root) for step in TMPFS_SETUP]))
        sets.append(TimedSet("no_ldcache", box(), [("vornex_no_ldcache", request)],
                             profile.rounds, ldcache=False))
        scaling_sets = {}
        for size in SIZES:
            scaling_sets[size] = TimedSet(f"scaling{size}", box(fillers=size),
                                          scaling_candidates(pwenum),
                                          profile.scaling_rounds[size])
            sets.append(scaling_sets[size])

        run_blocks(sets, profile.blocks, profile.warmup)
        for sb in boxes:
            check_logs(sb)

        results = {"qor_note": f"cgroup v2 at {root}" if writable
                   else "no writable cgroup v2 hierarchy"}
        summaries = {}
        for timed in sets:
            if not timed.name.startswith("scaling"):
                summaries.update(timed.summaries())
        # The time from one request of the main set to the next: one of its rounds.
        results["main_round_ms"] = statistics.median(sum(row) for row in sets[0].rows) / 1e6
        results["main"] = {k: summaries[k] for k in sets[0].labels
                           if k not in ("platform_libs", "vornex_qor")}
        results["rules_overhead"] = rules_overhead(sets[0])
        results["qor"] = ({k: summaries[k] for k in ("vornex_qor", "vornex_qor_close")}
                          if writable else {})
        results["diagnostics"] = {k: v for k, v in summaries.items()
                                  if k.startswith("vornex_") or k == "platform_libs"}
        for k in ("vornex_installed", "vornex_qor", "vornex_qor_close"):
            results["diagnostics"].pop(k, None)
        results["scaling"] = {}
        for size, timed in scaling_sets.items():
            figures = stats.summarize_scaling(stats.differences(timed.rows, 1, 3),
                                              stats.differences(timed.rows, 5, 7))
            figures.update(entries=timed.sb.passwd_entries(), pairs=timed.summaries())
            if profile.callgrind_scaling:
                figures["instructions"] = scaling_instructions(timed.sb, pwenum)
            results["scaling"][size] = figures
        return results
    finally:
        for sb in boxes:
            sb.close()
        for path in created:
            try:
                if os.path.isdir(path):
                    os.rmdir(path)
            except OSError as error:
                print(f"bench: could not remove {path}: {error}", file=sys.stderr)


# -- the way in: the user's client through the front-end ---------------------------------------

CLIENT = sandbox.CLIENT
# The listener under systemd's activator, as the socket and service units run it (the
# service's own settings: --per-uid 8; it never ends when idle here, since the rounds come in
# blocks), in the set's pid namespace, so that it ends with the runner. Beside it, the old
# per-connection start: the activator forks and executes the front-end for each connection on
# a socket of its own, which the steps around its runs rename into the listener's place.
DIRECT_SOCKET = "/run/vornex/direct.sock"
PARKED_SOCKET = "/run/vornex/parked.sock"
WAY_IN_SETUP = [
    "mkdir -p /run/vornex",
    "(systemd-socket-activate --seqpacket -l /run/vornex/vornex.sock "
    f"{sandbox.LISTENER} --per-uid 8 --idle-exit 0 </dev/null >/dev/null 2>&1 &)",
    f"(systemd-socket-activate --seqpacket --accept --inetd -l {DIRECT_SOCKET} "
    f"{sandbox.FRONTEND} --per-uid 8 </dev/null >/dev/null 2>&1 &)",
    "i=0; while { [ ! -S /run/vornex/vornex.sock ] || [ ! -S " + DIRECT_SOCKET + " ]; } && "
    "[ $i -lt 200 ]; do sleep 0.05; i=$((i+1)); done; sleep 0.2",
    f"chmod {sandbox.SOCKET_MODE:o} /run/vornex/vornex.sock {DIRECT_SOCKET}",
]
WAY_IN_ORDER = ["way_in", "way_in_per_connection", "way_in_before", "vornex", "way_in_trivial", "vornex_trivial",
                "setpriv", "doas", "sudo"]
WAY_IN_LABELS = {
    "way_in": f"**the whole way in**: `setpriv --reuid {USER} ... vornex {ALIAS}`, from the "
              "client's start to its exit (installed validator, shipped rules file)",
    "way_in_per_connection": "the whole way in without the listener: the activator starts "
                             "the front-end per connection (`--accept --inetd`)",
    "way_in_before": "the whole way in with the client and front-end of --before",
    "vornex": "the server started directly as root (installed validator)",
    "way_in_trivial": "the whole way in, trivial validator",
    "vornex_trivial": "the server started directly as root, trivial validator",
    "setpriv": "setpriv --reuid --regid --init-groups (how the user's shell is stood in for)",
    "doas": "doas -n -u (permit nopass)",
    "sudo": "sudo -n -u (NOPASSWD)",
}
GOAL_WAY_IN_ADDED = 2.0


def before_candidates(sb, before):
    """The way in with the client and the front-end of another staged build (the server stays
    this build's): its front-end is bound over this one's around its runs."""
    if before is None:
        return []
    for installed in (CLIENT, sandbox.FRONTEND):
        with open(os.path.join(before, installed.lstrip("/")), "rb") as f:
            sb.write_file(installed + ".before", f.read(), 0o755)
    frontend = sandbox.FRONTEND
    return [("@", ["/bin/mount", "--bind", frontend + ".before", frontend]),
            ("way_in_before", ["/usr/bin/setpriv", "--reuid", USER, "--regid", USER,
                               "--init-groups", CLIENT + ".before", ALIAS]),
            ("@", ["/bin/umount", frontend])]


def measure_way_in(args, profile):
    """The whole way in against the server started directly, the peers and the floor, in one
    set, with the installed validator and the shipped rules file, as a package installs them;
    the same two again with the trivial validator put in its place for their runs. The client
    runs as the user through setpriv, which stands in for the user's shell; setpriv alone is
    timed too, so that its share can be taken out."""
    def body(sb):
        write_shipped_rules(sb)
        way_in = ["/usr/bin/setpriv", "--reuid", USER, "--regid", USER, "--init-groups",
                  CLIENT, ALIAS]
        peer = dict(peers())
        trivial = os.path.join(args.tools, "true_validator")
        swap_in = [("@", ["/bin/mv", "-T", sandbox.SOCKET, PARKED_SOCKET]),
                   ("@", ["/bin/mv", "-T", DIRECT_SOCKET, sandbox.SOCKET])]
        swap_out = [("@", ["/bin/mv", "-T", sandbox.SOCKET, DIRECT_SOCKET]),
                    ("@", ["/bin/mv", "-T", PARKED_SOCKET, sandbox.SOCKET])]
        timed = TimedSet("way_in", sb, [("way_in", way_in),
                                        *swap_in, ("way_in_per_connection", way_in), *swap_out,
                                        *before_candidates(sb, args.before),
                                        ("vornex", vornex_request()),
                                        ("@", ["/bin/cp", "--remove-destination", trivial,
                                               VALIDATOR]),
                                        ("way_in_trivial", way_in),
                                        ("vornex_trivial", vornex_request()),
                                        ("@", ["/bin/ln", "-sfn", INSTALLED_LINK, VALIDATOR]),
                                        ("setpriv", peer["setpriv"]), ("doas", peer["doas"]),
                                        ("sudo", peer["sudo"])], profile.rounds,
                         setup=WAY_IN_SETUP, pid_namespace=True)
        start = load()
        run_blocks([timed], profile.blocks, profile.warmup)
        return {**timed.summaries(), "load": (start, load())}
    return with_sandbox(args, body, validator="installed")


def client_and_frontend_ms(w, way_in="way_in", server="vornex"):
    """What the client, the activator's fork and exec and the front-end add to the server
    started directly (the medians of the set, setpriv's share taken out)."""
    return w[way_in]["ms"] - w["setpriv"]["ms"] - w[server]["ms"] + w[server]["floor_ms"]


def way_in_parts(w):
    """(text, floor units, ms) of the whole way in, from the medians of its set."""
    floor = w["vornex"]["floor_ms"]
    server, setpriv = w["vornex"]["ms"], w["setpriv"]["ms"]
    added = client_and_frontend_ms(w)
    return [("setpriv standing in for the user's shell (setpriv − floor)", setpriv - floor),
            ("the server with the command (server started directly)", server),
            ("client, listener's fork and exec, front-end (the rest)", added)], floor


def way_in_section(w, profile):
    parts, floor = way_in_parts(w)
    added = parts[2][1] / floor
    lines = ["## The way in", "",
             "One set of its own, in a sandbox whose /run holds the socket, handed by systemd's "
             "activator (`systemd-socket-activate --seqpacket`) to the listener, which forks "
             "and executes the front-end per connection, with the service unit's settings "
             "(`--per-uid 8`); beside it the old per-connection start, in which the activator "
             "itself starts the front-end (`--accept --inetd`); the user's client "
             f"requests `{ALIAS}` (/bin/true) and ends when the request has. The validator is "
             "the installed one (the compiled program behind the link, the shipped rules "
             "file), as in a package's installation; the trivial one is put in its place for "
             f"the two runs that name it, in the same rounds. {profile.rounds} pairs per "
             "candidate, each right after the floor; load average (1, 5, 15 min) at the start: "
             f"{w['load'][0]}, at the end: {w['load'][1]} (the machine is shared: the pairing "
             "is what keeps the ratios usable).", "",
             "| Candidate | median ratio | middle half | min–max | median time (ms) |",
             "|---|---:|---:|---:|---:|",
             f"| {LABELS['floor']} | 1.00 | – | – | {floor:.3f} |"]
    lines += [f"| {WAY_IN_LABELS[k]} | " + " | ".join(fmt_ratio(w[k])) + " |"
              for k in WAY_IN_ORDER if k in w]
    lines += ["", "Where the time of the whole way in goes (medians of the set):", "",
              "| part | floor units | ms |", "|---|---:|---:|"]
    lines += [f"| {text} | {ms / floor:.2f} | {ms:.3f} |" for text, ms in parts]
    lines += ["", "The rest holds two program starts (the client, which setpriv executes in place "
              "of /bin/true, and the front-end, which the listener starts with posix_spawn for the "
              "connection after its accept and the uid's slot lock), two "
              "password lookups (the client's of its uid, the front-end's of the name asked "
              "for), the client's one read of its token file, the connection with its request "
              "and reply, and the pid file: the server writes one of "
              "a new name for every request (the client's pid), which the client then removes, "
              "where the server started directly rewrites the same file. The server is started "
              "with posix_spawn (nothing of the front-end is copied); the audit line, with the "
              "front-end's syslog connection, comes after the reply. Under the service manager "
              "the listener is started once and starts every front-end itself, as here."]
    verdict = "met" if added <= GOAL_WAY_IN_ADDED else "NOT MET"
    trivial = client_and_frontend_ms(w, "way_in_trivial", "vornex_trivial") / floor
    lines += ["", f"- Client and front-end together add {added:.2f} floors to the server "
              f"alone (aim: at most {GOAL_WAY_IN_ADDED:.0f}, two process starts): {verdict}. "
              f"With the trivial validator: {trivial:.2f} floors.",
              f"- The whole way in against doas: {w['way_in']['ms'] / w['doas']['ms']:.2f}× its "
              f"time; against sudo: {w['way_in']['ms'] / w['sudo']['ms']:.2f}× (setpriv "
              "included, which a user typing in a shell does not pay)."]
    if "way_in_per_connection" in w:
        listener = w["way_in"]["ms"] - w["way_in_per_connection"]["ms"]
        lines.append(f"- The listener's cost per connection (its accept, the slot lock and its "
                     f"own fork and exec of the front-end, against the activator's): "
                     f"{listener:+.3f} ms ({listener / floor:+.2f} floors).")
    if "way_in_before" in w:
        before = client_and_frontend_ms(w, "way_in_before")
        lines.append(f"- With the client and front-end of --before, they added "
                     f"{before / floor:.2f} floors ({before:.3f} ms); the whole way in took "
                     f"{w['way_in_before']['ms'] / w['way_in']['ms']:.2f}× the time it takes now.")
    return lines + [""]


def record_way_in(path, w, profile):
    """Puts the way-in section into RESULTS.md in place of an older one, or at its end."""
    try:
        with open(path, encoding="utf-8") as f:
            text = f.read()
    except FileNotFoundError:
        text = "# Benchmark results\n"
    head, marker, rest = text.partition("## The way in\n")
    following = rest.find("\n## ") if marker else -1
    out = head.rstrip("\n") + "\n\n" + "\n".join(way_in_section(w, profile)).rstrip("\n") + "\n"
    if following >= 0:
        out += "\n" + rest[following + 1:]
    with open(path, "w", encoding="utf-8") as f:
        f.write(out)


def measure_concurrency(args, profile):
    def body(sb):
        figures = {}
        for label, argv in (("vornex", vornex_request()), ("floor", [TRUE])):
            output = sb.out(f"concurrent-{label}.tsv")
            sb.execute([os.path.join(sb.tools, "runner"), "-c", str(CONCURRENCY), "-n",
                        str(profile.concurrency_rounds), "-w", "1", "-o", output, *argv])
            figures[label] = stats.summarize_concurrency(stats.read_table(output))
        record = sb.auth_log(USER, UID)
        if record is None or len(record) != 24 or sandbox.decode_record(record)[2] != 0:
            raise BenchError(f"auth log after the concurrent requests: {record!r}")
        return figures
    return with_sandbox(args, body)


# -- instructions ----------------------------------------------------------------------------

def callgrind_run(sb, argv, name, profile=False):
    """One run under callgrind in a fresh pid namespace (so the pids, and with them every
    formatted path, are the same each time).

    For the count, dumps are made after each fork and before each exec, so that a child's
    own instructions can be told from those it inherits; the result is the instructions of
    the whole process tree until it executes the command. For a profile, the only dump is
    before the server's exec of the command (a part that begins in the middle of a call
    chain would charge that chain's callers wrongly); the result is then the server's
    dump."""
    directory = sb.out(f"cg-{name}")
    shutil.rmtree(directory, ignore_errors=True)
    os.makedirs(directory)
    os.chmod(directory, 0o777)  # the dump before the command's exec is made as the user
    dumps = ["--dump-before=execv"] + ([] if profile else ["--dump-after=fork"])
    sb.execute(["/usr/bin/valgrind", "--tool=callgrind", "--vgdb=no", *dumps,
                f"--callgrind-out-file={directory}/cg.%p",
                f"--log-file={directory}/valgrind.%p.log", *argv], pid_namespace=True)
    parts = stats.callgrind_parts(directory)
    if not parts:
        raise BenchError(f"callgrind left no dumps in {directory}")
    if profile:
        return parts[min(parts)][0][1]
    totals = {pid: [stats.dump_total(p) for _, p in files] for pid, files in parts.items()}
    return stats.combine_totals(totals)


def measure_instructions(args, profile):
    def body(sb):
        # A first request creates the auth log and the pid file: the measured ones then all
        # start from the same state.
        sb.execute(vornex_request())
        totals = [callgrind_run(sb, vornex_request(), f"request{i}") for i in range(2)]
        dump = callgrind_run(sb, vornex_request(), "profile", profile=True)
        return {
            "totals": totals,
            "floor": callgrind_run(sb, [TRUE], "floor"),
            "exclusive": stats.top(stats.annotate(dump), 15),
            "inclusive": stats.annotate(dump, inclusive=True),
            "strace": strace_summary(sb),
        }

    def files_only(sb):
        sb.execute(vornex_request())
        return callgrind_run(sb, vornex_request(), "files_only")

    figures = with_sandbox(args, body)
    figures["nss_files"] = with_sandbox(args, files_only, nsswitch=NSSWITCH_FILES_ONLY)
    return figures


def measure_validator_instructions(args):
    """The installed validator alone under callgrind, with the shipped rules file and with one
    of RULE_LINES lines, and /bin/true: exact counts, where a shared machine's timing of a
    difference of some tens of microseconds is mostly noise."""
    def body(sb):
        write_rules_files(sb)
        alone = [VALIDATOR_PROGRAM, USER, HOME, TRUE]
        figures = {"shipped": callgrind_run(sb, alone, "validator_shipped"),
                   "floor": callgrind_run(sb, [TRUE], "validator_floor")}
        sb.execute(["/bin/cp", RULES + ".1000", RULES])
        figures["rules1000"] = callgrind_run(sb, alone, "validator_rules1000")
        return figures

    return with_sandbox(args, body)


def scaling_instructions(sb, pwenum):
    figures = {"search": callgrind_run(sb, vornex_request(), "search")}
    sb.write_file(DISABLE_FILE, b"")
    figures["no_search"] = callgrind_run(sb, vornex_request(), "no_search")
    sb.remove(DISABLE_FILE)
    figures["enum"] = callgrind_run(sb, [pwenum, str(UID)], "enum")
    figures["enum_first"] = callgrind_run(sb, [pwenum, "0", "1"], "enum_first")
    search = figures["search"] - figures["no_search"]
    enumeration = figures["enum"] - figures["enum_first"]
    figures["overhead"] = search / enumeration - 1 if enumeration > 0 else float("inf")
    return figures


def strace_summary(sb):
    """System calls of one request (server and validator), by wall time."""
    output = sb.out("strace.txt")
    sb.execute(["/usr/bin/strace", "-f", "-c", "-w", "-S", "time", "-o", output,
                *vornex_request()])
    with open(output, encoding="utf-8") as f:
        return [line.rstrip() for line in f if line.strip()]


# -- the report ------------------------------------------------------------------------------

def machine():
    def first(path, key):
        try:
            with open(path, encoding="utf-8") as f:
                for line in f:
                    if line.startswith(key):
                        return line.split(":", 1)[1].strip()
        except OSError:
            pass
        return "?"
    glibc = subprocess.run(["ldd", "--version"], capture_output=True, text=True).stdout
    with open("/etc/debian_version", encoding="utf-8") as f:
        debian = f.read().strip()
    fs = " ".join(subprocess.run(["findmnt", "-n", "-o", "FSTYPE,SOURCE", "-T",
                                  tempfile.gettempdir()], capture_output=True,
                                 text=True).stdout.split())
    return {
        "cpu": first("/proc/cpuinfo", "model name"),
        "cores": os.cpu_count(),
        "memory": first("/proc/meminfo", "MemTotal"),
        "kernel": platform.release(),
        "debian": debian,
        "glibc": glibc.splitlines()[0] if glibc else "?",
        "tmp_fs": f"{tempfile.gettempdir()} on {fs}",
        "load": load(),
    }


def load():
    with open("/proc/loadavg", encoding="ascii") as f:
        return " ".join(f.read().split()[:3])


def fmt_ratio(s):
    return (f"{s['median']:.2f}", f"{s['q1']:.2f}–{s['q3']:.2f}",
            f"{s['low']:.2f}–{s['high']:.2f}", f"{s['ms']:.3f}")


LABELS = {
    "floor": "floor: /bin/true run directly",
    "bare": "bare switch (setgroups, setgid, setuid, exec)",
    "bare_fork": "bare switch after a fork/exec/wait of the trivial validator",
    "vornex": "**vornex, trivial validator** (container skipped)",
    "vornex_qor": "vornex, trivial validator, real libqor (cgroup v2), among the others",
    "vornex_qor_close": "vornex, trivial validator, real libqor, only with the floor between "
                        "requests",
    "vornex_installed": "**vornex, installed validator** (compiled, shipped rules file)",
    "validator_alone": "the installed validator alone, shipped rules file",
    "validator_rules1000": f"the installed validator alone, {RULE_LINES:,}-line rules file",
    "setpriv": "setpriv --reuid --regid --init-groups",
    "runuser": "runuser -u",
    "doas": "doas -n -u (permit nopass)",
    "sudo": "sudo -n -u (NOPASSWD)",
    "vornex_tmpfs": "diagnostic: vornex with /var/vornex and the pid file dir on tmpfs",
    "vornex_nss_files": "diagnostic: vornex with nsswitch passwd/group: files only",
    "vornex_tmpfs_nss_files": "diagnostic: vornex with both of the above",
    "vornex_no_ldcache": "diagnostic: vornex without rebuilding the loader cache",
    "platform_libs": "diagnostic: a program that exits at once, linked as the server against "
                     "libqor and libtholmet (and so libcap)",
}


def goal_rows(r):
    main = r["main"]
    v = main["vornex"]["median"]
    rows = [
        (f"vornex (trivial validator) ≤ {GOAL_FLOOR_RATIO}× the floor", f"{v:.2f}×",
         v <= GOAL_FLOOR_RATIO),
        (f"vornex ≥ {GOAL_DOAS_SPEEDUP}× faster than doas",
         f"{main['doas']['median'] / v:.2f}×", main["doas"]["median"] / v >= GOAL_DOAS_SPEEDUP),
        (f"vornex ≥ {GOAL_RUNUSER_SPEEDUP}× faster than runuser",
         f"{main['runuser']['median'] / v:.2f}×",
         main["runuser"]["median"] / v >= GOAL_RUNUSER_SPEEDUP),
    ]
    rows += validator_goal_rows(main, r["rules_overhead"], r["validator_instructions"])
    ir = r["instructions"]["totals"][0]
    rows.append((f"≤ {GOAL_INSTRUCTIONS:,} user-space instructions per request",
                 f"{ir:,}", ir <= GOAL_INSTRUCTIONS))
    for size, s in r["scaling"].items():
        # The instruction counts are exact; the time differences carry the machine's noise.
        figure = f"{s['overhead'] * 100:+.1f} % (time)"
        ok = s["overhead"] <= GOAL_SEARCH_OVERHEAD
        if "instructions" in s:
            figure = (f"{s['instructions']['overhead'] * 100:+.1f} % (instructions), "
                      + figure)
            ok = s["instructions"]["overhead"] <= GOAL_SEARCH_OVERHEAD
        rows.append((f"shared-uid search ≤ +10 % over a bare enumeration, {size:,} accounts",
                     figure, ok))
    return rows


def validator_goal_rows(main, rules, ins):
    installed, doas = main["vornex_installed"]["median"], main["doas"]["median"]
    alone = main["validator_alone"]["median"]
    # The goal is on time; the instruction counts (exact, but blind to the kernel's part of a
    # process's start, which dominates) are shown beside it.
    added_ins = ins["rules1000"] / ins["shipped"] - 1
    return [
        ("vornex (installed validator) no slower than doas -n -u", f"{doas / installed:.2f}×",
         installed <= doas),
        (f"installed validator alone ≤ {GOAL_VALIDATOR_RATIO}× /bin/true", f"{alone:.2f}×",
         alone <= GOAL_VALIDATOR_RATIO),
        (f"a {RULE_LINES:,}-line rules file adds < {GOAL_RULES_OVERHEAD * 100:.0f} % to the "
         "validator's time", f"{rules['overhead'] * 100:+.1f} % ({rules['added_ms'] * 1000:.0f} "
         f"µs of {rules['alone_ms']:.3f} ms; instructions {added_ins * 100:+.0f} %)",
         rules["overhead"] < GOAL_RULES_OVERHEAD),
    ]


def breakdown(r):
    """The request's time in floor units, by the differences between the measured variants
    (each difference of two medians, so the parts add up only roughly)."""
    main, diag = r["main"], r["diagnostics"]
    floor_ms = main["vornex"]["floor_ms"]
    v = main["vornex"]["median"]
    images = main["bare_fork"]["median"]
    lean = diag["vornex_tmpfs_nss_files"]["median"]
    parts = [
        ("three program images: the server, the validator (fork/exec/wait), the command; "
         "= the bare switch after a fork, the floor's own image included", images),
        ("the server's own work besides the two below: loading libqor, libtholmet, libcap; "
         "command file, two password scans, token, lock, auth log, pid file, switch "
         "(= the variant with both below removed − the bare switch after a fork)",
         lean - images),
        ("forced writes: fdatasync of the auth log, O_SYNC pid file (vornex − tmpfs variant)",
         v - diag["vornex_tmpfs"]["median"]),
        ("the systemd NSS module that initgroups loads (vornex − files-only variant)",
         v - diag["vornex_nss_files"]["median"]),
    ]
    return [(text, x, x * floor_ms) for text, x in parts], floor_ms


def analysis(r):
    """The paragraphs that explain the goals' outcome with the measured figures."""
    main, diag = r["main"], r["diagnostics"]
    floor_ms = main["vornex"]["floor_ms"]
    v = main["vornex"]["median"]
    images = main["bare_fork"]["median"]
    lean = diag["vornex_tmpfs_nss_files"]["median"]
    writes = v - diag["vornex_tmpfs"]["median"]
    nss = v - diag["vornex_nss_files"]["median"]
    libs = diag["platform_libs"]["median"] - 1
    doas, runuser = main["doas"]["median"], main["runuser"]["median"]
    installed = main["vornex_installed"]["median"]
    ins = r["instructions"]

    def ms(units):
        return f"{units * floor_ms:.2f} ms"

    def meets(ratio, bound, peer):
        return f"{'meet' if ratio <= bound else 'still miss'} the goal against {peer}"

    return [
        "## Reading the figures",
        "",
        f"- Three program images are the least this design can cost: the server, the "
        f"validator it runs to completion, and the command it becomes. The bare switch after "
        f"a fork/exec/wait of a static trivial validator takes {images:.2f}× the floor; the "
        f"{GOAL_FLOOR_RATIO}× goal leaves {GOAL_FLOOR_RATIO - images:.2f} floor units "
        f"({ms(GOAL_FLOOR_RATIO - images)}) for everything the server does.",
        f"- The two forced writes of every request (fdatasync of the auth log before its "
        f"rename, the pid file opened O_SYNC) take {writes:.2f} floor units ({ms(writes)}) on "
        "this virtual disk, and more while other work on the machine writes to it; both are "
        "required of the server.",
        f"- initgroups loads the systemd NSS module, since this machine's nsswitch.conf says "
        f"\"group: files systemd\": {nss:.2f} floor units ({ms(nss)}), and "
        f"{ins['totals'][0] - ins['nss_files']:,} of the {ins['totals'][0]:,} instructions. "
        "Every peer here that sets the supplementary groups pays it as well.",
        f"- With both taken away (state on tmpfs, files-only NSS) the request takes "
        f"{lean:.2f}× the floor: the three images plus {lean - images:.2f} units "
        f"({ms(lean - images)}) of the server's own work, of which loading libqor, libtholmet "
        f"and libcap is about {libs:.2f} units ({ms(libs)}).",
        f"- doas takes {doas:.2f}× and runuser {runuser:.2f}× the floor. Being "
        f"{GOAL_DOAS_SPEEDUP}× faster than doas and {GOAL_RUNUSER_SPEEDUP}× faster than "
        f"runuser means at most {doas / GOAL_DOAS_SPEEDUP:.2f}× and "
        f"{runuser / GOAL_RUNUSER_SPEEDUP:.2f}×; without the forced writes and the NSS module "
        f"the request would {meets(lean, doas / GOAL_DOAS_SPEEDUP, 'doas')} and "
        f"{meets(lean, runuser / GOAL_RUNUSER_SPEEDUP, 'runuser')}. The peers run one image "
        "fewer (no validator) and write nothing to disk.",
        f"- The installed validator makes the request {installed:.2f}× the floor, "
        f"{installed - v:.2f} units ({ms(installed - v)}) more than the trivial one: it is "
        "dynamically linked against the C library alone, reads the rules file whole with one "
        "read of the descriptor it checked, looks at each line only up to its command path, "
        "parses "
        "and matches only the lines that can concern the request's command (a line of it that "
        "cannot be read refuses the request), and looks up no account unless such a line has "
        "a group limit.",
        "- On this machine the bounding set lacks CAP_SYS_RESOURCE, so every request logs "
        "\"set CAP_SYS_RESOURCE failed: Operation not permitted\"; the benchmark accepts "
        "that line and no other. The peers run PAM sessions (runuser, doas, sudo), and sudo "
        "logs every command.",
    ]


def validator_paragraph(main, ins):
    installed, trivial = main["vornex_installed"], main["vornex"]
    return ["", f"Side by side in the same rounds: the request with the installed validator "
            f"takes {installed['median']:.2f}× the floor ({installed['ms']:.3f} ms), with the "
            f"trivial one {trivial['median']:.2f}× ({trivial['ms']:.3f} ms); doas -n -u "
            f"{main['doas']['median']:.2f}×, sudo -n -u {main['sudo']['median']:.2f}×. The "
            f"validator alone: {main['validator_alone']['median']:.2f}× /bin/true with the "
            f"shipped rules file, {main['validator_rules1000']['median']:.2f}× with "
            f"{RULE_LINES:,} lines. Under callgrind (the validator's whole process, the "
            f"loader included): {ins['shipped']:,} instructions with the shipped file, "
            f"{ins['rules1000']:,} with {RULE_LINES:,} lines, /bin/true {ins['floor']:,}."]


def write_report(path, r, args, profile):
    m = r["machine"]
    lines = [
        "# Benchmark results" + (" (quick run: too few rounds to mean anything)"
                                 if profile.quick else ""),
        "",
        f"- Date: {r['date']}",
        f"- Machine: {m['cpu']}, {m['cores']} cores, {m['memory']} memory; Linux "
        f"{m['kernel']}; Debian {m['debian']}; {m['glibc']}; sandbox in {m['tmp_fs']}",
        f"- Load average (1, 5, 15 min) at the start: {m['load']}; at the end: {r['load_end']} "
        "(the machine is shared: the pairing is what keeps the ratios usable)",
        f"- Command: `{r['command']}` (`make bench` runs `bench/run.sh`)",
        f"- Server: release build (`-DCMAKE_BUILD_TYPE=Release`), staged from "
        f"`{os.path.relpath(args.stage, ROOT)}`",
        f"- Method: the runner (bench/runner.c) forks, execs and waits for each command inside "
        f"the sandbox's mount namespace, every candidate right after a run of the floor; "
        f"{profile.rounds} pairs per candidate,"
        f" in {profile.blocks} blocks each after {profile.warmup} untimed rounds; the blocks of "
        "all the sets below take turns. A ratio is candidate / floor of one pair; the table "
        "shows the median, the middle half and the range over the pairs. All commands run "
        f"/bin/true as `{USER}` (uid {UID}); the loader cache is rebuilt in the sandbox, as a "
        "package installation would.",
        "",
        "## Ratios to the floor",
        "",
        "| Candidate | median ratio | middle half | min–max | median time (ms) |",
        "|---|---:|---:|---:|---:|",
        f"| {LABELS['floor']} | 1.00 | – | – | {r['main']['vornex']['floor_ms']:.3f} |",
    ]
    order = ["bare", "bare_fork", "vornex", "vornex_installed", "validator_alone",
             "validator_rules1000", "vornex_qor", "vornex_qor_close",
             "setpriv",
             "runuser", "doas", "sudo"]
    rows = {**r["main"], **r["qor"]}
    for key in order:
        if key in rows:
            lines.append(f"| {LABELS[key]} | " + " | ".join(fmt_ratio(rows[key])) + " |")
    for size, s in r["scaling"].items():
        for key, text in (("search", "vornex"), ("no_search", "vornex, search disabled"),
                          ("enum", "bare getpwent_r enumeration")):
            lines.append(f"| {text}, {size:,} accounts | " +
                         " | ".join(fmt_ratio(s["pairs"][key])) + " |")
    for key in ("vornex_tmpfs", "vornex_nss_files", "vornex_tmpfs_nss_files",
                "vornex_no_ldcache", "platform_libs"):
        lines.append(f"| {LABELS[key]} | " + " | ".join(fmt_ratio(r["diagnostics"][key])) + " |")
    if not r["qor"]:
        lines += ["", f"The real libqor was not measured: {r['qor_note']}."]
    else:
        skipped = r["main"]["vornex"]["ms"]
        spaced = r["qor"]["vornex_qor"]["ms"] - skipped
        close = r["qor"]["vornex_qor_close"]["ms"] - skipped
        lines += ["", f"The real libqor ran against the {r['qor_note']}: once in the same rounds "
                  "as the other candidates (the edition marker taken away for its run), about "
                  f"{r['main_round_ms']:.0f} ms between two requests, where entering the "
                  f"container adds {spaced:.2f} ms; and once in a set of its own, a floor run "
                  f"between two requests, where it adds {close:.2f} ms. Moving a process into a "
                  "cgroup waits for an RCU grace period unless another move came shortly before "
                  "(the hierarchy is mounted without favordynmods), so spaced requests, the "
                  "usual case, pay the higher figure."]

    lines += ["", "## Goals", "", "| Goal | measured | met |", "|---|---:|---|"]
    for text, figure, ok in goal_rows(r):
        lines.append(f"| {text} | {figure} | {'yes' if ok else '**no**'} |")
    lines += validator_paragraph(r["main"], r["validator_instructions"])

    lines += ["", "## Shared-uid search", "",
              "Accounts of other uids fill the sandbox's password database, the requesting "
              "account comes last. The search's cost is the request with the search less the "
              "request with it disabled (/etc/vornex/proxy.disable.duid), per round; the bare "
              "enumeration's is bench/pwenum.c walking the database with getpwent_r up to the "
              "requesting account, where the search stops too, less the same program stopping "
              "after the first entry. Both in the same rounds; the instruction counts (exact) "
              "decide the goal. At the smallest size the time difference of the two requests "
              "is a fraction of a millisecond, within the spread of their forced writes, "
              "which the flag file's creation and removal between them disturb.", "",
              "| accounts | search, ms: median (middle half) | bare enumeration, ms | "
              "overhead (medians) | overhead in instructions |", "|---:|---:|---:|---:|---:|"]
    for size, s in r["scaling"].items():
        instr = s.get("instructions")
        ir = (f"{instr['overhead'] * 100:+.1f} % ({instr['search'] - instr['no_search']:,} vs "
              f"{instr['enum'] - instr['enum_first']:,} Ir)" if instr else "not measured")
        lines.append(f"| {s['entries']:,} | {s['search_ms']:.3f} ({s['search_q'][0]:.3f}–"
                     f"{s['search_q'][1]:.3f}) | {s['enum_ms']:.3f} ({s['enum_q'][0]:.3f}–"
                     f"{s['enum_q'][1]:.3f}) | {s['overhead'] * 100:+.1f} % | {ir} |")
    lines += ["", "![scaling](scaling.png)"]

    lines += ["", f"## {CONCURRENCY} simultaneous requests for one name", "",
              "All forked first and held on a pipe, then released together; the wait of a "
              "request runs from the release to its reaping.", "",
              "| command | rounds | requests/s (median) | longest wait, median (worst) | "
              "median wait |", "|---|---:|---:|---:|---:|"]
    for label, c in r["concurrency"].items():
        lines.append(f"| {label} | {c['n']} | {c['rps']:.0f} | {c['longest_ms']:.2f} ms "
                     f"({c['worst_ms']:.2f} ms) | {c['median_wait_ms']:.2f} ms |")

    ins = r["instructions"]
    repeat = "repeats exactly" if len(set(ins["totals"])) == 1 else "DIFFERS between runs"
    lines += ["", "## Instructions of one request", "",
              f"`valgrind --tool=callgrind` on the server inside the sandbox (fresh pid "
              f"namespace, dumps after the fork and before each exec; the validator's and "
              f"/bin/true's own instructions not counted): **{ins['totals'][0]:,}** "
              f"user-space instructions; runs: {', '.join(f'{t:,}' for t in ins['totals'])} "
              f"({repeat}). With nsswitch.conf's passwd and group set to files only: "
              f"{ins['nss_files']:,}. The floor, /bin/true: {ins['floor']:,}. Between runs of "
              "the benchmark the count moves by a few dozen instructions: strftime formats "
              "the time of day into the one syslog line each request writes on this machine "
              "(see the last note below).", "",
              "Inclusive costs (one run, the server's part):", ""]
    for fragment, text in (("_dl_start", "dynamic loader start-up (_dl_start)"),
                           ("main (vornex", "main"),
                           ("authenticate_request", "authenticate_request (token check, "
                            "auth log)"),
                           ("search_shared_uid", "search_shared_uid"),
                           ("getpwnam_r@", "getpwnam_r"),
                           ("initgroups", "initgroups"),
                           ("enable_quota_capability", "enable_quota_capability"),
                           ("syslog", "syslog")):
        lines.append(f"- {text}: {stats.inclusive_of(ins['inclusive'], fragment):,}")
    lines += ["", "Top functions (exclusive):", "", "| Ir | function |", "|---:|---|"]
    lines += [f"| {v:,} | {k} |" for k, v in ins["exclusive"]]

    parts, floor_ms = breakdown(r)
    lines += ["", "## Where the time goes", "",
              "The trivial-validator request in floor units, from the differences between the "
              "candidates and the diagnostic variants above (each its own median, so the parts "
              "add up only roughly):", "", "| part | floor units | ms |", "|---|---:|---:|"]
    lines += [f"| {t} | {x:.2f} | {ms:.3f} |" for t, x, ms in parts]
    lines += [f"| sum of the parts | {sum(x for _, x, _ in parts):.2f} | "
              f"{sum(ms for _, _, ms in parts):.3f} |",
              f"| whole request, measured | {r['main']['vornex']['median']:.2f} | "
              f"{r['main']['vornex']['ms']:.3f} |", "",
              "System calls of one request (`strace -f -c -w`, wall time, server and "
              "validator; strace slows every call, so only the shares count):", "", "```"]
    lines += ins["strace"][:16]
    lines += ["```", ""]
    lines += analysis(r)
    lines += [""] + way_in_section(r["way_in"], profile)
    with open(path, "w", encoding="utf-8") as f:
        f.write("\n".join(lines) + "\n")


def plot(path, scaling, workdir):
    data = os.path.join(workdir, "scaling.dat")
    def positive(value):
        return f"{value}" if value > 0 else "NaN"  # noise can make a short difference < 0

    with open(data, "w", encoding="ascii") as f:
        for s in scaling.values():
            f.write(f"{s['entries']} {positive(s['search_ms'])} {positive(s['enum_ms'])} "
                    f"{s['pairs']['search']['ms']}\n")
    script = "\n".join([
        "set terminal pngcairo size 800,500",
        f"set output '{path}'",
        "set title 'Shared-uid search against a bare getpwent\\_r enumeration'",
        "set xlabel 'accounts in the password database'",
        "set ylabel 'milliseconds'",
        "set logscale xy",
        "set xrange [500:200000]",
        "set format x '%.0f'",
        "set key top left",
        "set grid",
        f"plot '{data}' using 1:4 with linespoints title 'whole request', "
        f"'{data}' using 1:2 with linespoints title 'shared-uid search', "
        f"'{data}' using 1:3 with linespoints title 'bare enumeration'",
    ])
    subprocess.run(["gnuplot"], input=script, text=True, check=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true",
                        help="a few rounds of everything, results outside bench/")
    parser.add_argument("--stage", required=True, help="staged install of the release build")
    parser.add_argument("--tools", required=True, help="the benchmark's compiled programs")
    parser.add_argument("--output", help="directory for RESULTS.md and scaling.png")
    parser.add_argument("--command", default=None, help="the command line to record")
    parser.add_argument("--way-in", action="store_true",
                        help="only the way in; its section of RESULTS.md is replaced")
    parser.add_argument("--before", default=None,
                        help="with --way-in: a staged install whose client and front-end run "
                             "the way in too, paired in the same set")
    args = parser.parse_args()
    args.stage, args.tools = os.path.abspath(args.stage), os.path.abspath(args.tools)
    if args.before is not None:
        args.before = os.path.abspath(args.before)
    if os.geteuid() != 0:
        sys.exit("bench: must run as root (the sandbox needs mount namespaces)")
    profile = Profile(args.quick)
    output = args.output or (os.path.join(args.tools, "..", "bench-quick") if args.quick
                             else HERE)
    os.makedirs(output, exist_ok=True)
    r = {"date": datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC"),
         "machine": machine(), "command": args.command or shlex.join(sys.argv)}
    if args.way_in:
        try:
            w = measure_way_in(args, profile)
        except BenchError as error:
            print(f"bench: FAILED: {error}", file=sys.stderr)
            return 1
        record_way_in(os.path.join(output, "RESULTS.md"), w, profile)
        print("\n".join(way_in_section(w, profile)))
        return 0
    try:
        print(f"bench: timed sets, {profile.blocks} blocks", flush=True)
        r.update(measure_timed(args, profile))
        print("bench: concurrency", flush=True)
        r["concurrency"] = measure_concurrency(args, profile)
        print("bench: instructions", flush=True)
        r["instructions"] = measure_instructions(args, profile)
        print("bench: the way in", flush=True)
        r["way_in"] = measure_way_in(args, profile)
        r["validator_instructions"] = measure_validator_instructions(args)
    except BenchError as error:
        print(f"bench: FAILED: {error}", file=sys.stderr)
        return 1
    r["load_end"] = load()
    report = os.path.join(output, "RESULTS.md")
    write_report(report, r, args, profile)
    with tempfile.TemporaryDirectory() as workdir:
        plot(os.path.join(output, "scaling.png"), r["scaling"], workdir)
    print(f"bench: wrote {report}")
    if profile.quick:
        print("bench: quick run: every candidate ran; its figures are too few to mean anything")
        return 0
    for text, figure, ok in goal_rows(r):
        print(f"bench: {'met    ' if ok else 'NOT MET'} {text}: {figure}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
