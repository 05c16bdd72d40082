"""The pid file of ordinary requests and the three crontab aliases."""

import stat

import pytest

from test_launch_support import (GID, HOME, IDENTITIES, MISSING, MODES, PID_FILE, PID_TEXT,
                                 PROBE, UID, command_report, prepare, root_identity,
                                 run_with_doubles, run_with_fault, use, validator_report)

PID_DIR = f"{HOME}/.vornex/tmp"


@pytest.fixture
def box(sb):
    prepare(sb)
    sb.marker()
    return sb


def assert_pid_file_of(box, pid):
    info = box.lstat(PID_FILE)
    assert info is not None, box.listdir(PID_DIR)
    assert stat.S_ISREG(info.st_mode)
    assert stat.S_IMODE(info.st_mode) == 0o600
    assert (info.st_uid, info.st_gid) == (UID, GID)
    assert box.read(PID_FILE) == str(pid).encode()


# -- the pid file --------------------------------------------------------------------------

def test_pid_file_holds_the_pid_of_the_command(box):
    use(box)
    result = run_with_doubles(box)
    assert (result.rc, result.texts()) == (0, []), result
    report = command_report(box)
    assert report["pid"] == result.pid
    assert_pid_file_of(box, report["pid"])
    assert box.listdir(PID_DIR) == [f".vornex.proxy.{PID_TEXT}"]


def test_pid_text_names_the_file_as_given(box):
    use(box)
    assert run_with_doubles(box, pid="000123").rc == 0
    assert box.listdir(PID_DIR) == [".vornex.proxy.000123"]
    assert box.read(f"{PID_DIR}/.vornex.proxy.000123") == str(command_report(box)["pid"]).encode()


@pytest.mark.parametrize("mode, alias", [
    ("root", "probe"), ("command_user", "probe"), ("requesting_user", "VORNEX_ENTER")])
def test_no_pid_file(box, mode, alias):
    use(box, alias=alias, mode=mode)
    result = run_with_doubles(box, alias=alias)
    assert (result.rc, result.texts()) == (0, []), result
    assert box.listdir(PID_DIR) == []
    report = command_report(box)
    uids = root_identity()[0] if mode == "root" else IDENTITIES[mode][0]
    assert report["uid"] == uids  # VORNEX_ENTER still drops root for good
    assert report["environ"]["HOME"] == HOME


def test_existing_pid_file_is_truncated_and_rewritten(box):
    use(box)
    box.write_file(PID_FILE, b"99999999999999999999\nold\n", 0o600, UID, GID)
    assert run_with_doubles(box).rc == 0
    assert_pid_file_of(box, command_report(box)["pid"])


def test_missing_pid_directory_is_logged_and_the_command_runs(box):
    use(box)
    box.remove(PID_DIR)
    result = run_with_doubles(box)
    assert result.rc == 0, result
    assert result.texts() == [
        f"Unable to create pid file {PID_FILE}: No such file or directory"]
    command_report(box)


def test_pid_file_is_created_with_the_users_permissions(box):
    # The directory admits root but not the user: the open is made as the user.
    use(box)
    box.mkdir(PID_DIR, 0o755, 0, 0)
    result = run_with_doubles(box)
    assert result.rc == 0, result
    assert result.texts() == [f"Unable to create pid file {PID_FILE}: Permission denied"]
    assert box.listdir(PID_DIR) == []
    assert command_report(box)["uid"] == [UID] * 3


BASHRC = f"{HOME}/.bashrc"


@pytest.mark.parametrize("planted, error", [
    # A FIFO does not hold the request.
    (lambda box: box.mkfifo(PID_FILE, 0o600, UID, GID), "No such device or address"),
    # A link is not followed: the file it leads to is left as it was.
    (lambda box: box.symlink(PID_FILE, BASHRC), "Too many levels of symbolic links"),
])
def test_what_is_planted_at_the_pid_file_path_is_left_alone(box, planted, error):
    use(box)
    box.write_file(BASHRC, b"keep\n", 0o644, UID, GID)
    planted(box)
    result = run_with_doubles(box, timeout=15)
    assert result.rc == 0, result
    assert result.texts() == [f"Unable to create pid file {PID_FILE}: {error}"]
    command_report(box)
    assert box.read(BASHRC) == b"keep\n"


def test_pid_file_path_longer_than_its_buffer_is_not_written(box):
    # "<home>/.vornex/tmp/.vornex.proxy." is 38 bytes; with this pid text the path needs
    # 16385 bytes with its NUL, one more than the buffer holds, and is logged cut short.
    use(box)
    pid = "7" * (16384 - 38)
    full = f"{PID_DIR}/.vornex.proxy.{pid}"
    result = run_with_doubles(box, pid=pid)
    assert result.rc == 0, result
    assert result.texts() == [f"Unable to create pid file {full[:16383]}: File name too long"]
    command_report(box)


@pytest.mark.parametrize("fault, line", [
    ("open", "Unable to create pid file {path}: Input/output error"),
    ("write", "Write error for pid file {path}: Input/output error"),
    ("write@short", "Failed to write {length} bytes to pid file {path}"),
])
def test_pid_file_trouble_is_logged_and_the_file_removed(box, fault, line):
    use(box)
    result = run_with_fault(box, fault, env={"VORNEX_FAULT_PATH": ".vornex.proxy."})
    assert result.rc == 0, result
    length = len(str(command_report(box)["pid"]))
    assert result.texts() == [line.format(path=PID_FILE, length=length)]
    assert box.listdir(PID_DIR) == []


@pytest.mark.parametrize("path, mode", [(MISSING, None), ("/usr/local/bin/noexec", 0o644)])
def test_failed_exec_removes_the_pid_file(box, path, mode):
    if mode is not None:
        box.install_probe(path, mode=mode)
    use(box, path=path)
    box.write_file(PID_FILE, b"stale", 0o600, UID, GID)
    result = run_with_doubles(box)
    result.assert_failed(f"Can't start program {path}")
    assert box.listdir(PID_DIR) == []


def test_pid_file_outlives_a_failure_after_it_was_written(box):
    use(box)
    result = run_with_doubles(box, cwd="/home/nonexistent")
    result.assert_failed(
        "Failed to change directory to '/home/nonexistent': No such file or directory")
    assert box.read(PID_FILE) == str(result.pid).encode()


# -- crontab aliases -----------------------------------------------------------------------

@pytest.mark.parametrize("extra", [[], ["x", "-r"]])
def test_crontab_check_that_finds_a_crontab_ends_quietly(box, extra):
    use(box, alias="CRONTAB_CHECK")
    box.probe_stdout("probe", b"* * * * * listed\n")
    result = run_with_doubles(box, alias="CRONTAB_CHECK", extra=extra)
    assert (result.rc, result.stdout, result.stderr, result.texts()) == (0, b"", b"", [])
    [check] = box.probe_reports("probe")
    assert check["argv"] == [PROBE, "-l"]
    assert check["uid"] == [UID] * 3
    assert check["cwd"] == HOME
    assert check["fds"]["1"] == check["fds"]["2"] == "/dev/null"
    assert check["ppid"] == result.pid
    assert validator_report(box)["argv"][3:] == [PROBE, *extra]
    assert box.listdir(PID_DIR) == []


def test_crontab_check_without_a_crontab_executes_the_command_with_dash(box):
    use(box, alias="CRONTAB_CHECK")
    box.probe_exit("probe", 1)
    box.probe_stdout("probe", b"no crontab\n")
    result = run_with_doubles(box, alias="CRONTAB_CHECK", extra=["x"])
    # The command's own status and output; nothing of the server's.
    assert (result.rc, result.stdout, result.stderr, result.texts()) == (
        1, b"no crontab\n", b"", [])
    check, command = box.probe_reports("probe")
    assert (check["argv"], command["argv"]) == ([PROBE, "-l"], [PROBE, "-"])
    assert command["pid"] == result.pid == check["ppid"]
    assert command["uid"] == [UID] * 3
    assert box.listdir(PID_DIR) == []


@pytest.mark.parametrize("alias, flag", [("CRONTAB_LIST", "-l"), ("CRONTAB_SAVE", "-")])
@pytest.mark.parametrize("mode", list(MODES))
def test_crontab_list_and_save_get_exactly_one_flag(box, alias, flag, mode):
    use(box, alias=alias, mode=mode)
    result = run_with_doubles(box, alias=alias, extra=["x", "y"])
    assert (result.rc, result.texts()) == (0, []), result
    report = command_report(box)
    assert report["argv"] == [PROBE, flag]
    assert report["pid"] == result.pid
    assert report["uid"] == (root_identity() if mode == "root" else IDENTITIES[mode])[0]
    assert report["cwd"] == HOME
    assert report["environ"]["HOME"] == HOME
    assert validator_report(box)["argv"][3:] == [PROBE, "x", "y"]
    assert box.listdir(PID_DIR) == []


@pytest.mark.parametrize("alias", ["CRONTAB_LIST", "CRONTAB_SAVE"])
def test_crontab_exec_failure_ends_without_a_line(box, alias):
    use(box, alias=alias, path=MISSING)
    result = run_with_doubles(box, alias=alias)
    result.assert_failed()
    assert result.texts(None) == []


def test_crontab_check_that_cannot_start_ends_without_a_line(box):
    use(box, alias="CRONTAB_CHECK", path=MISSING)
    result = run_with_doubles(box, alias="CRONTAB_CHECK")
    result.assert_failed()
    assert result.texts() == []
    # Only the pre-check's child reports its own failed exec.
    assert result.texts("vornex.command.server.forked") == [
        "Error in execv (No such file or directory)"]


def test_crontab_missing_working_directory(box):
    use(box, alias="CRONTAB_LIST")
    result = run_with_doubles(box, alias="CRONTAB_LIST", cwd="/home/nonexistent")
    result.assert_failed(
        "Failed to change directory to '/home/nonexistent': No such file or directory")
    assert box.probe_reports("probe") == []


@pytest.mark.parametrize("alias", ["crontab_list", "CRONTAB_LIST ", "CRONTAB"])
def test_near_crontab_aliases_take_the_normal_path(box, alias):
    use(box, alias=alias)
    assert run_with_doubles(box, alias=alias, extra=["x"]).rc == 0
    assert command_report(box)["argv"] == [PROBE, "x"]
    assert box.listdir(PID_DIR) == [f".vornex.proxy.{PID_TEXT}"]
