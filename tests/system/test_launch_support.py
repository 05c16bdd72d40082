"""Shared pieces of the launch tests: the accounts, the command file lines of the three
identity modes, and the runs with the platform doubles, the real libraries or the fault
preload. Holds no tests of its own."""

import os

from sandbox import SERVER, VALIDATOR

PROBE = "/usr/local/bin/probe"
MISSING = "/usr/local/bin/missing"

USER, UID, GID, HOME = "site1", 1005, 1005, "/home/site1"
USER_EXTRA_GID = 1009  # a supplementary group of site1
CUSER, CUID, CGID, CHOME = "cuser", 1007, 1008, "/home/cuser"
CUSER_EXTRA_GID = 1010  # a supplementary group of cuser

PID_TEXT = "4242"
PID_FILE = f"{HOME}/.vornex/tmp/.vornex.proxy.{PID_TEXT}"

# The user part of a command file line for each identity mode.
MODES = {"root": "root:", "command_user": f"{CUSER}:", "requesting_user": ""}

# The identity the command must end up with in each mode: uids, gids, supplementary groups.
IDENTITIES = {
    "command_user": ([CUID] * 3, [CGID] * 3, sorted([CGID, CUSER_EXTRA_GID])),
    "requesting_user": ([UID] * 3, [GID] * 3, sorted([GID, USER_EXTRA_GID])),
}

ZERO_CAPS = "0000000000000000"


def root_identity():
    """Root mode keeps what the server was started with: the test's own root identity."""
    return [0, 0, 0], list(os.getresgid()), sorted(set(os.getgroups()))


def prepare(sb):
    """site1 (with a supplementary group), the command user cuser (primary group other
    than its uid, one supplementary group), site1's token, and the probe as validator
    and as the command. No edition marker: each test decides about the container."""
    sb.add_group("vxextra", USER_EXTRA_GID, [USER])
    sb.add_group("cgrp", CGID)
    sb.add_group("cextra", CUSER_EXTRA_GID, [CUSER])
    sb.add_user(USER, UID, GID)
    sb.add_user(CUSER, CUID, CGID, group=False)
    sb.token(USER, UID, "secret\n")
    sb.install_validator(0)
    sb.install_probe()
    return sb


def use(sb, alias="probe", mode="requesting_user", path=PROBE, more=""):
    """The command file with one line for `alias` in the given identity mode."""
    sb.commands(f"{alias}={MODES[mode]}{path}\n{more}")


def double_log_path(sb):
    return os.path.join(sb.probe_dir, "double.log")


def double_calls(sb):
    """The calls the recording doubles logged, or None when none of them was loaded."""
    try:
        with open(double_log_path(sb)) as f:
            return f.read().splitlines()
    except FileNotFoundError:
        return None


def run_with_doubles(sb, fail=(), env=None, **request):
    """A run with the recording doubles of libqor and libtholmet in place of the real ones."""
    full = {"VORNEX_DOUBLE_LOG": double_log_path(sb)}
    if fail:
        full["VORNEX_DOUBLE_FAIL"] = ",".join(fail)
    full.update(env or {})
    return sb.run(env=full, library_path=sb.doubles_dir, **request)


def run_with_fault(sb, fault, env=None, **request):
    """A run with the fault preload failing `fault` in the server only (not in mount, the
    shell or the probe), and with the recording doubles."""
    full = {"VORNEX_FAULT": fault, "VORNEX_FAULT_EXE": "vornex-command-server",
            "VORNEX_DOUBLE_LOG": double_log_path(sb)}
    full.update(env or {})
    return sb.run(env=full, preload=sb.fault_preload, library_path=sb.doubles_dir, **request)


def server_vector(sb, **request):
    return [SERVER] + [os.fsdecode(a) if isinstance(a, bytes) else a
                       for a in sb.request(**request)]


def command_report(sb):
    """The one report of the command, asserting that it ran exactly once."""
    reports = sb.probe_reports("probe")
    assert len(reports) == 1, reports
    return reports[0]


def validator_report(sb):
    reports = sb.probe_reports(os.path.basename(VALIDATOR))
    assert len(reports) == 1, reports
    return reports[0]
