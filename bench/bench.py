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
DISABLE_FILE = "/etc/vornex/proxy.disable.duid"
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


class Profile:
    def __init__(self, quick):
        self.quick = quick
        self.rounds = 3 if quick else 400
        self.warmup = 1 if quick else 20
        self.slow_rounds = 2 if quick else 150  # candidates that take tens of milliseconds
        self.scaling_rounds = {n: 2 for n in SIZES} if quick else {1000: 120, 10000: 50,
                                                                    100000: 15}
        self.concurrency_rounds = 1 if quick else 30
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


def run_pairs(sb, candidates, rounds, warmup, name, **execute):
    """Each (label, argv) right after a floor run; ('@', argv) is an untimed step.
    Returns {label: summary}."""
    commands, labels = [], []
    for label, argv in candidates:
        if label == "@":
            commands.append(["@" + argv[0]] + argv[1:])
            continue
        commands.append([TRUE])
        commands.append(argv)
        labels.append(label)
    output = sb.out(name + ".tsv")
    sb.execute(runner_argv(sb, commands, rounds, warmup, output), **execute)
    rows = stats.read_table(output)
    return {label: stats.summarize_pairs(stats.paired(rows, 2 * i, 2 * i + 1))
            for i, label in enumerate(labels)}, rows


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


def with_sandbox(args, body, add_account=True, **kwargs):
    """Runs body(sandbox) in a new sandbox; a server log line other than the expected one
    fails the set."""
    sb = BenchSandbox(args.stage, args.tools, **kwargs)
    try:
        if add_account:
            sb.add_account()
        result = body(sb)
        unexpected = sb.unexpected_server_lines()
        if unexpected:
            raise BenchError("the server logged: " + "; ".join(sorted(set(unexpected))[:5]))
        return result
    finally:
        sb.close()


def measure_main(args, profile):
    def body(sb):
        candidates = [("bare", bare(args.tools)), ("bare_fork", bare(args.tools, True)),
                      ("vornex", vornex_request())] + peers()
        return run_pairs(sb, candidates, profile.rounds, profile.warmup, "main")[0]
    return with_sandbox(args, body)


def measure_python(args, profile):
    def body(sb):
        return run_pairs(sb, [("vornex_python", vornex_request())], profile.slow_rounds,
                         profile.warmup, "python")[0]
    return with_sandbox(args, body, validator="default")


def measure_diagnostics(args, profile):
    """Variants of the trivial-validator request that show where its time goes."""
    results = {}

    def plain(name, **execute):
        def body(sb):
            return run_pairs(sb, [(name, vornex_request())], profile.rounds, profile.warmup,
                             name, **execute)[0]
        return body

    # The per-user state and the home's pid file directory on a tmpfs: no disk flush.
    tmpfs = ["mount -t tmpfs -o mode=0755 tmpfs /var/vornex",
             "cp -a {dir}/var.up/vornex/. /var/vornex/",
             f"mount -t tmpfs -o mode=0755,uid={UID},gid={GID} tmpfs {HOME}/.vornex/tmp"]

    def on_tmpfs(sb):
        setup = [step.format(dir=sb.root) for step in tmpfs]
        return plain("vornex_tmpfs", setup=setup)(sb)

    results.update(with_sandbox(args, on_tmpfs))
    results.update(with_sandbox(args, plain("vornex_nss_files"), nsswitch=NSSWITCH_FILES_ONLY))
    results.update(with_sandbox(args, plain("vornex_no_ldcache", ldcache=False)))
    return results


def cgroup2_root():
    """The first cgroup2 mount, when it is mounted read-write."""
    with open("/proc/self/mountinfo", encoding="utf-8") as f:
        for line in f:
            fields = line.split()
            sep = fields.index("-")
            if fields[sep + 1] == "cgroup2" and "rw" in fields[5].split(","):
                return fields[4].replace("\\040", " ")
    return None


def measure_qor(args, profile):
    """The request with the container entered through the real libqor. The containers it
    creates in the host's hierarchy are removed again when they were not there before."""
    root = cgroup2_root()
    if root is None or not os.access(root, os.W_OK):
        return {}, "no writable cgroup v2 hierarchy"
    base, leaf = os.path.join(root, "vornex"), os.path.join(root, "vornex", str(UID))
    existed = {path: os.path.isdir(path) for path in (base, leaf)}

    def body(sb):
        return run_pairs(sb, [("vornex_qor", vornex_request())], profile.rounds,
                         profile.warmup, "qor")[0]
    try:
        return with_sandbox(args, body, marker=False), f"cgroup v2 at {root}"
    finally:
        for path in (leaf, base):
            if not existed[path] and os.path.isdir(path):
                try:
                    os.rmdir(path)
                except OSError as error:
                    print(f"bench: could not remove {path}: {error}", file=sys.stderr)


def measure_scaling(args, profile):
    """Per size: the request with and without the shared-uid search, and a bare enumeration
    of the whole database against one of its first entry, all paired with the floor."""
    pwenum = os.path.join(args.tools, "pwenum")
    results = {}
    for size in SIZES:
        def body(sb):
            host_entries = sb.passwd_entries()
            sb.add_account(size - host_entries - 1)
            entries = sb.passwd_entries()
            candidates = [
                ("search", vornex_request()),
                ("@", ["/usr/bin/touch", DISABLE_FILE]),
                ("no_search", vornex_request()),
                ("@", ["/bin/rm", "-f", DISABLE_FILE]),
                ("enum", [pwenum, str(UID)]),
                ("enum_first", [pwenum, "0", "1"]),
            ]
            summary, rows = run_pairs(sb, candidates, profile.scaling_rounds[size],
                                      profile.warmup, f"scaling{size}")
            # Columns: floor, search, floor, no_search, floor, enum, floor, enum_first.
            figures = stats.summarize_scaling(stats.differences(rows, 1, 3),
                                              stats.differences(rows, 5, 7))
            figures.update(entries=entries, pairs=summary)
            if profile.callgrind_scaling:
                figures["instructions"] = scaling_instructions(sb, pwenum)
            return figures
        # The account is added inside, after the fillers.
        results[size] = with_sandbox(args, body, add_account=False)
    return results


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

def callgrind_run(sb, argv, name):
    """One run under callgrind in a fresh pid namespace (so the pids, and with them every
    formatted path, are the same each time). Returns (instructions, parent dump paths)."""
    directory = sb.out(f"cg-{name}")
    shutil.rmtree(directory, ignore_errors=True)
    os.makedirs(directory)
    os.chmod(directory, 0o777)  # the dump before the command's exec is made as the user
    sb.execute(["/usr/bin/valgrind", "--tool=callgrind", "--vgdb=no", "--dump-before=execv",
                "--dump-after=fork", f"--callgrind-out-file={directory}/cg.%p",
                f"--log-file={directory}/valgrind.%p.log", *argv], pid_namespace=True)
    parts = stats.callgrind_parts(directory)
    if not parts:
        raise BenchError(f"callgrind left no dumps in {directory}")
    totals = {pid: [stats.dump_total(p) for _, p in files] for pid, files in parts.items()}
    return stats.combine_totals(totals), [p for _, p in parts[min(parts)]]


def profile_costs(paths, inclusive):
    costs = {}
    for path in paths:
        stats.add_costs(costs, stats.annotate(path, inclusive))
    return costs


def measure_instructions(args, profile):
    def body(sb):
        # A first request creates the auth log and the pid file: the measured ones then all
        # start from the same state.
        sb.execute(vornex_request())
        runs = [callgrind_run(sb, vornex_request(), f"request{i}") for i in range(2)]
        totals = [total for total, _ in runs]
        paths = runs[0][1]
        return {
            "totals": totals,
            "exclusive": stats.top(profile_costs(paths, False), 15),
            "inclusive": profile_costs(paths, True),
            "strace": strace_summary(sb),
        }
    return with_sandbox(args, body)


def scaling_instructions(sb, pwenum):
    figures = {"search": callgrind_run(sb, vornex_request(), "search")[0]}
    sb.write_file(DISABLE_FILE, b"")
    figures["no_search"] = callgrind_run(sb, vornex_request(), "no_search")[0]
    sb.remove(DISABLE_FILE)
    figures["enum"] = callgrind_run(sb, [pwenum, str(UID)], "enum")[0]
    figures["enum_first"] = callgrind_run(sb, [pwenum, "0", "1"], "enum_first")[0]
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
    fs = subprocess.run(["stat", "-f", "-c", "%T", tempfile.gettempdir()], capture_output=True,
                        text=True).stdout.strip()
    return {
        "cpu": first("/proc/cpuinfo", "model name"),
        "cores": os.cpu_count(),
        "memory": first("/proc/meminfo", "MemTotal"),
        "kernel": platform.release(),
        "debian": debian,
        "glibc": glibc.splitlines()[0] if glibc else "?",
        "tmp_fs": f"{tempfile.gettempdir()} on {fs}",
    }


def fmt_ratio(s):
    return f"{s['median']:.2f}", f"{s['low']:.2f}–{s['high']:.2f}", f"{s['ms']:.3f}"


LABELS = {
    "floor": "floor: /bin/true run directly",
    "bare": "bare switch (setgroups, setgid, setuid, exec)",
    "bare_fork": "bare switch after a fork/exec/wait of the trivial validator",
    "vornex": "**vornex, trivial validator** (container skipped)",
    "vornex_qor": "vornex, trivial validator, real libqor (cgroup v2)",
    "vornex_python": "vornex, default Python validator",
    "setpriv": "setpriv --reuid --regid --init-groups",
    "runuser": "runuser -u",
    "doas": "doas -n -u (permit nopass)",
    "sudo": "sudo -n -u (NOPASSWD)",
    "vornex_tmpfs": "diagnostic: vornex with /var/vornex and the pid file dir on tmpfs",
    "vornex_nss_files": "diagnostic: vornex with nsswitch passwd/group: files only",
    "vornex_no_ldcache": "diagnostic: vornex without rebuilding the loader cache",
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
    ir = r["instructions"]["totals"][0]
    rows.append((f"≤ {GOAL_INSTRUCTIONS:,} user-space instructions per request",
                 f"{ir:,}", ir <= GOAL_INSTRUCTIONS))
    for size, s in r["scaling"].items():
        figure = f"{s['overhead'] * 100:+.1f} % (time)"
        ok = s["overhead"] <= GOAL_SEARCH_OVERHEAD
        if "instructions" in s:
            figure += f", {s['instructions']['overhead'] * 100:+.1f} % (instructions)"
        rows.append((f"shared-uid search ≤ +10 % over a bare enumeration, {size:,} accounts",
                     figure, ok))
    return rows


def breakdown(r):
    """The request's time in floor units, by the differences between the measured variants."""
    main, diag = r["main"], r["diagnostics"]
    floor_ms = main["vornex"]["floor_ms"]
    v = main["vornex"]["median"]
    parts = [
        ("three program images: the server, the validator (fork/exec/wait), the command "
         "(= bare switch after a fork)", main["bare_fork"]["median"]),
        ("forced writes: fdatasync of the auth log, O_SYNC pid file (vornex − tmpfs variant)",
         v - diag["vornex_tmpfs"]["median"]),
        ("the systemd NSS module that initgroups loads (vornex − files-only variant)",
         v - diag["vornex_nss_files"]["median"]),
    ]
    rest = v - sum(x for _, x in parts)
    parts.append(("the rest: loading libqor, libtholmet, libcap; the command file, two "
                  "password scans, token, lock, rename, pid file; the switch", rest))
    return [(text, x, x * floor_ms) for text, x in parts], floor_ms


def write_report(path, r, args, profile):
    m = r["machine"]
    lines = [
        "# Benchmark results",
        "",
        f"- Date: {r['date']}",
        f"- Machine: {m['cpu']}, {m['cores']} cores, {m['memory']} memory; Linux "
        f"{m['kernel']}; Debian {m['debian']}; {m['glibc']}; sandbox in {m['tmp_fs']}",
        f"- Command: `{r['command']}` (`make bench` runs `bench/run.sh`)",
        f"- Server: release build (`-DCMAKE_BUILD_TYPE=Release`), staged from "
        f"`{os.path.relpath(args.stage, ROOT)}`",
        f"- Method: the runner (bench/runner.c) forks, execs and waits for each command inside "
        f"the sandbox's mount namespace, every candidate right after a run of the floor; "
        f"{profile.rounds} pairs per candidate after {profile.warmup} untimed rounds "
        f"({profile.slow_rounds} for the Python validator). A ratio is candidate / floor of "
        "one pair; the table shows the median and the range over the pairs. All commands run "
        f"/bin/true as `{USER}` (uid {UID}); the loader cache is rebuilt in the sandbox, as a "
        "package installation would.",
        "",
        "## Ratios to the floor",
        "",
        "| Candidate | median ratio | min–max | median time (ms) |",
        "|---|---:|---:|---:|",
        f"| {LABELS['floor']} | 1.00 | – | {r['main']['vornex']['floor_ms']:.3f} |",
    ]
    order = ["bare", "bare_fork", "vornex", "vornex_qor", "vornex_python", "setpriv",
             "runuser", "doas", "sudo"]
    rows = {**r["main"], **r["python"], **r["qor"]}
    for key in order:
        if key in rows:
            lines.append(f"| {LABELS[key]} | " + " | ".join(fmt_ratio(rows[key])) + " |")
    for size, s in r["scaling"].items():
        for key, text in (("search", "vornex"), ("no_search", "vornex, search disabled"),
                          ("enum", "bare getpwent_r enumeration")):
            lines.append(f"| {text}, {size:,} accounts | " +
                         " | ".join(fmt_ratio(s["pairs"][key])) + " |")
    for key in ("vornex_tmpfs", "vornex_nss_files", "vornex_no_ldcache"):
        lines.append(f"| {LABELS[key]} | " + " | ".join(fmt_ratio(r["diagnostics"][key])) + " |")
    if not r["qor"]:
        lines += ["", f"The real libqor was not measured: {r['qor_note']}."]
    else:
        lines += ["", f"The real libqor ran against the {r['qor_note']}."]

    lines += ["", "## Goals", "", "| Goal | measured | met |", "|---|---:|---|"]
    for text, figure, ok in goal_rows(r):
        lines.append(f"| {text} | {figure} | {'yes' if ok else '**no**'} |")
    py = r["python"]["vornex_python"]
    lines += ["", f"With the default Python validator the request takes {py['median']:.2f}× the "
              f"floor ({py['ms']:.2f} ms), reported apart: the interpreter's start dominates."]

    lines += ["", "## Shared-uid search", "",
              "Accounts of other uids fill the sandbox's password database, the requesting "
              "account comes last. The search's cost is the request with the search less the "
              "request with it disabled (/etc/vornex/proxy.disable.duid), per round; the bare "
              "enumeration's is bench/pwenum.c walking the whole database less the same program "
              "stopping after the first entry. Both in the same rounds.", "",
              "| accounts | search (ms) | bare enumeration (ms) | overhead, median (range) | "
              "overhead in instructions |", "|---:|---:|---:|---:|---:|"]
    for size, s in r["scaling"].items():
        instr = s.get("instructions")
        ir = (f"{instr['overhead'] * 100:+.1f} % ({instr['search'] - instr['no_search']:,} vs "
              f"{instr['enum'] - instr['enum_first']:,} Ir)" if instr else "not measured")
        lines.append(f"| {s['entries']:,} | {s['search_ms']:.3f} | {s['enum_ms']:.3f} | "
                     f"{s['overhead'] * 100:+.1f} % ({s['low'] * 100:+.0f} … "
                     f"{s['high'] * 100:+.0f} %) | {ir} |")
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
              f"({repeat}).", "", "Inclusive costs:", ""]
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
    lines += [f"| whole request | {r['main']['vornex']['median']:.2f} | "
              f"{r['main']['vornex']['ms']:.3f} |", "",
              "System calls of one request (`strace -f -c -w`, wall time, server and "
              "validator; strace slows every call, so only the shares count):", "", "```"]
    lines += ins["strace"][:16]
    lines += ["```", ""]
    lines += NOTES
    with open(path, "w", encoding="utf-8") as f:
        f.write("\n".join(lines) + "\n")


NOTES = [
    "## Notes",
    "",
    "- The floor is a whole fork/exec/wait of a dynamically linked /bin/true; any privilege "
    "switch that executes a command as another program costs at least one more exec (the "
    "bare switch) and the server two more (itself and the validator).",
    "- The forced writes are required of the server (fdatasync of every auth log update, "
    "O_SYNC for the pid file); their cost is the disk's, here a virtual disk.",
    "- On this machine the bounding set lacks CAP_SYS_RESOURCE, so every request logs "
    "\"set CAP_SYS_RESOURCE failed: Operation not permitted\"; the benchmark accepts that line "
    "and no other.",
    "- The peers run PAM sessions (runuser, doas, sudo) and sudo logs every command.",
]


def plot(path, scaling, workdir):
    data = os.path.join(workdir, "scaling.dat")
    with open(data, "w", encoding="ascii") as f:
        for size, s in scaling.items():
            f.write(f"{s['entries']} {s['search_ms']} {s['enum_ms']} "
                    f"{s['pairs']['search']['ms']}\n")
    script = "\n".join([
        "set terminal pngcairo size 800,500",
        f"set output '{path}'",
        "set title 'Shared-uid search against a bare getpwent\\_r enumeration'",
        "set xlabel 'accounts in the password database'",
        "set ylabel 'milliseconds'",
        "set logscale xy",
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
    args = parser.parse_args()
    args.stage, args.tools = os.path.abspath(args.stage), os.path.abspath(args.tools)
    if os.geteuid() != 0:
        sys.exit("bench: must run as root (the sandbox needs mount namespaces)")
    profile = Profile(args.quick)
    output = args.output or (os.path.join(args.tools, "..", "bench-quick") if args.quick
                             else HERE)
    os.makedirs(output, exist_ok=True)
    r = {"date": datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC"),
         "machine": machine(), "command": args.command or shlex.join(sys.argv)}
    steps = [("main", measure_main), ("python", measure_python),
             ("diagnostics", measure_diagnostics), ("scaling", measure_scaling),
             ("concurrency", measure_concurrency), ("instructions", measure_instructions)]
    try:
        for name, step in steps:
            print(f"bench: {name}", flush=True)
            r[name] = step(args, profile)
        print("bench: qor", flush=True)
        r["qor"], r["qor_note"] = measure_qor(args, profile)
    except BenchError as error:
        print(f"bench: FAILED: {error}", file=sys.stderr)
        return 1
    report = os.path.join(output, "RESULTS.md")
    write_report(report, r, args, profile)
    with tempfile.TemporaryDirectory() as workdir:
        plot(os.path.join(output, "scaling.png"), r["scaling"], workdir)
    print(f"bench: wrote {report}")
    for text, figure, ok in goal_rows(r):
        print(f"bench: {'met    ' if ok else 'NOT MET'} {text}: {figure}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
