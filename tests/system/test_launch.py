"""The launch seen from the command and the validator: identity in each mode, HOME, the
working directory, the environment, the argument vectors and the open descriptors."""

import os

import pytest

from sandbox import VALIDATOR
from test_launch_support import (HOME, IDENTITIES, MISSING, MODES, PROBE, USER, ZERO_CAPS,
                                 command_report, double_calls, prepare, root_identity,
                                 run_with_doubles, server_vector, use, validator_report)

SIGCHLD_BIT = 1 << (17 - 1)  # in the SigIgn mask of /proc/<pid>/status


@pytest.fixture
def box(sb):
    prepare(sb)
    sb.marker()
    return sb


def expected_identity(mode):
    return root_identity() if mode == "root" else IDENTITIES[mode]


@pytest.mark.parametrize("mode", list(MODES))
def test_command_runs_with_the_identity_of_its_mode(box, mode):
    use(box, mode=mode)
    result = run_with_doubles(box, env={"HOME": "/nowhere", "KEEP": "kept"},
                              extra=["x", "", "a b"])
    assert (result.rc, result.stderr, result.texts()) == (0, b"", []), result
    report = command_report(box)
    uids, gids, groups = expected_identity(mode)
    assert report["uid"] == uids
    assert report["gid"] == gids
    assert sorted(report["groups"]) == groups
    caps = report["caps"]
    if mode == "root":
        assert report["setuid0"] == "ok"
        assert int(caps["CapEff"], 16) != 0
    else:
        assert report["setuid0"] == "EPERM"
        assert (caps["CapEff"], caps["CapPrm"], caps["CapAmb"]) == (ZERO_CAPS,) * 3
    # The same process: the server became the command.
    assert report["pid"] == result.pid
    assert report["argv"] == [PROBE, "x", "", "a b"]
    assert report["cwd"] == HOME
    assert report["umask"] == "0022"
    assert sorted(report["fds"]) == ["0", "1", "2"]
    # HOME is the requesting user's in every mode; nothing else differs from what the
    # validator saw, and the token is in neither.
    validator = validator_report(box)
    assert validator["environ"]["HOME"] == "/nowhere"
    assert report["environ"] == {**validator["environ"], "HOME": HOME}
    assert report["environ"]["KEEP"] == "kept"
    assert not any(e.startswith("VORNEX_TOKEN") for e in report["env"] + validator["env"])


@pytest.mark.parametrize("extra", [[], ["x", "y"], ["", "-l", "a b", "%s"]])
def test_validator_gets_the_launch_vector_as_root_in_the_root_directory(box, extra):
    use(box)
    result = run_with_doubles(box, env={"HOME": "/nowhere"}, extra=extra)
    assert result.rc == 0, result
    validator = validator_report(box)
    assert validator["argv"] == [VALIDATOR, USER, HOME, PROBE, *extra]
    assert validator["uid"] == [0, 0, 0]
    assert validator["gid"] == list(os.getresgid())
    assert sorted(validator["groups"]) == sorted(set(os.getgroups()))
    assert validator["cwd"] == "/"
    assert validator["environ"]["HOME"] == "/nowhere"
    assert "VORNEX_TOKEN" not in validator["environ"]
    assert sorted(validator["fds"]) == ["0", "1", "2"]
    assert command_report(box)["argv"] == [PROBE, *extra]


def test_validator_sees_no_home_when_the_server_got_none(box):
    use(box)
    assert run_with_doubles(box).rc == 0
    assert "HOME" not in validator_report(box)["environ"]
    assert command_report(box)["environ"]["HOME"] == HOME


@pytest.mark.parametrize("mode", list(MODES))
def test_refusing_validator_ends_the_request_before_the_container(sb, mode):
    prepare(sb)
    use(sb, mode=mode)
    sb.install_validator(2)
    result = run_with_doubles(sb)
    result.assert_failed(f"Can't start program {PROBE}")
    validator_report(sb)  # it did run
    assert double_calls(sb) is None  # neither libqor nor libtholmet was called
    assert sb.probe_reports("probe") == []
    assert sb.listdir(f"{HOME}/.vornex/tmp") == []


def test_validator_verdict_lost_to_an_ignored_sigchld_refuses(box):
    # With SIGCHLD ignored the kernel reaps the validator itself and waitpid finds no
    # child: its verdict cannot be read, and the request ends as for a refusal.
    use(box)
    result = run_with_doubles(box, program="/usr/bin/env",
                              raw_argv=["/usr/bin/env", "--ignore-signal=CHLD",
                                        *server_vector(box)])
    result.assert_failed(f"Can't start program {PROBE}")
    # The validator inherited the ignored SIGCHLD, so the server had it too.
    assert int(validator_report(box)["sigign"], 16) & SIGCHLD_BIT
    assert box.probe_reports("probe") == []


def test_inherited_descriptors_reach_neither_validator_nor_command(box):
    use(box)
    read_end, write_end = os.pipe()
    with open(os.devnull, "rb") as extra:
        fds = (read_end, write_end, extra.fileno())
        # The launcher itself hands them on: a shell started the same way lists them.
        seen = box.run(program="/bin/sh", raw_argv=["/bin/sh", "-c", "ls /proc/self/fd"],
                       pass_fds=fds)
        assert {str(fd) for fd in fds} <= set(seen.stdout.decode().split()), seen
        result = run_with_doubles(box, pass_fds=fds)
    os.close(read_end)
    os.close(write_end)
    assert result.rc == 0, result
    assert sorted(validator_report(box)["fds"]) == ["0", "1", "2"]
    assert sorted(command_report(box)["fds"]) == ["0", "1", "2"]


def test_closed_standard_descriptors_are_opened_on_dev_null(box):
    use(box)
    result = run_with_doubles(box, program="/bin/sh",
                              raw_argv=["/bin/sh", "-c", 'exec 0<&- 1>&- 2>&- "$@"', "sh",
                                        *server_vector(box)])
    assert result.rc == 0, result
    null = {"0": "/dev/null", "1": "/dev/null", "2": "/dev/null"}
    assert validator_report(box)["fds"] == null
    assert command_report(box)["fds"] == null


@pytest.mark.parametrize("mode", ["command_user", "requesting_user"])
def test_working_directory_the_user_may_not_enter_leaves_the_root_directory(box, mode):
    box.mkdir("/home/locked", 0o700)
    use(box, mode=mode)
    result = run_with_doubles(box, cwd="/home/locked")
    assert (result.rc, result.texts()) == (0, []), result
    assert command_report(box)["cwd"] == "/"


def test_root_enters_a_directory_closed_to_users(box):
    box.mkdir("/home/locked", 0o700)
    use(box, mode="root")
    assert run_with_doubles(box, cwd="/home/locked").rc == 0
    assert command_report(box)["cwd"] == "/home/locked"


@pytest.mark.parametrize("mode", list(MODES))
def test_missing_working_directory_ends_the_request(box, mode):
    use(box, mode=mode)
    result = run_with_doubles(box, cwd="/home/nonexistent")
    result.assert_failed(
        "Failed to change directory to '/home/nonexistent': No such file or directory")
    assert box.probe_reports("probe") == []


@pytest.mark.parametrize("mode", list(MODES))
def test_command_that_cannot_be_executed(box, mode):
    use(box, mode=mode, path=MISSING)
    result = run_with_doubles(box)
    result.assert_failed(f"Can't start program {MISSING}")
    validator_report(box)
