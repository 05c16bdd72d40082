"""The launch against its platform: the resource container and the quota capability through
the recording doubles and the real libraries, and the identity calls failed by the preload."""

import errno
import os

import pytest

from test_launch_support import (CGID, CUSER, HOME, MODES, PID_FILE, PROBE, UID, USER,
                                 ZERO_CAPS, command_report, double_calls, prepare,
                                 run_with_doubles, run_with_fault, use, validator_report)

ENTERED = ["init_qor", f"qor_enter_flags id={UID} flags=6", "destroy_qor"]
QUOTA = f"enable_quota_capability euid={UID}"
MARKERS = ["/etc/sorvantine-edition-tavo", "/etc/sorvantine-quellan"]


@pytest.fixture
def box(sb):
    return prepare(sb)


# -- container and capability, through the doubles ---------------------------------------

@pytest.mark.parametrize("mode", list(MODES))
def test_container_of_the_requesting_uid_in_every_mode(box, mode):
    use(box, mode=mode)
    result = run_with_doubles(box)
    assert (result.rc, result.texts()) == (0, []), result
    # Every call as the server must make it (root, malloc and free, a live handle, a
    # cookie): the doubles would have added notes otherwise. The capability only for the
    # requesting user, with that user's effective uid.
    quota = [QUOTA] if mode == "requesting_user" else []
    assert double_calls(box) == ENTERED + quota
    command_report(box)


@pytest.mark.parametrize("marker", MARKERS)
@pytest.mark.parametrize("mode", ["root", "requesting_user"])
def test_edition_marker_skips_the_container(box, marker, mode):
    box.marker(marker)
    use(box, mode=mode)
    result = run_with_doubles(box)
    assert (result.rc, result.texts()) == (0, []), result
    assert double_calls(box) == ([QUOTA] if mode == "requesting_user" else None)
    command_report(box)


def test_marker_may_be_any_kind_of_file(box):
    box.mkdir(MARKERS[1])
    use(box)
    assert run_with_doubles(box).rc == 0
    assert double_calls(box) == [QUOTA]


def test_init_qor_failure_ends_the_request(box):
    use(box)
    result = run_with_doubles(box, fail=["init_qor"])
    result.assert_failed("init_qor_generic() failed.")
    assert double_calls(box) == ["init_qor"]
    assert box.probe_reports("probe") == []
    assert box.listdir(f"{HOME}/.vornex/tmp") == []


@pytest.mark.parametrize("mode", list(MODES))
def test_qor_enter_failure_releases_the_handle_and_ends_the_request(box, mode):
    use(box, mode=mode)
    result = run_with_doubles(box, fail=["qor_enter_flags"])
    result.assert_failed(f"qor_enter_flags() failed for qor id {UID}.")
    assert double_calls(box) == ENTERED
    assert box.probe_reports("probe") == []


def test_quota_capability_failure_is_only_logged(box):
    use(box)
    result = run_with_doubles(box, fail=["enable_quota_capability"])
    assert result.rc == 0, result
    assert result.texts() == ["set CAP_SYS_RESOURCE failed: Operation not permitted"]
    assert double_calls(box) == ENTERED + [QUOTA]
    assert command_report(box)["uid"] == [UID] * 3


# -- identity calls failed by the preload ----------------------------------------------------

def current(uid=0, euid=0):
    return {"uid": uid, "euid": euid, "gid": os.getgid(), "egid": os.getegid()}


INIT_GROUPS = ("Can't init groups of process for user {user} with additional group {group}. "
               "Current user ID {uid}, euser ID {euid}, group ID {gid}, egroup ID {egid}")

REQUESTING_USER_ROWS = [
    ("initgroups", INIT_GROUPS.format(user=USER, group=UID, **current()), False),
    ("setgid", "Can't change process permissions to GID {group}. Current group ID {gid}, "
               "egroup ID {egid}, user {user}".format(group=UID, user=USER, **current()), False),
    ("seteuid", "Can't change process permissions to UID {uid0}. Current user ID {uid}, "
                "euser ID {euid}, user {user}".format(uid0=UID, user=USER, **current()), False),
    # The final drop: first its seteuid(0), then its setuid. The pid file is written by
    # then and stays.
    ("seteuid:2", "Can't change process permissions to EUID 0. Current user ID 0, "
                  f"euser ID {UID}, user {USER}", True),
    ("setuid", f"Can't change process permissions to UID {UID}. Current user ID 0, "
               f"euser ID 0, user {USER}", True),
]

COMMAND_USER_ROWS = [
    ("initgroups", INIT_GROUPS.format(user=CUSER, group=CGID, **current())),
    ("setgid", "Can't change process permissions for group {user}. Current group ID {gid}, "
               "egroup ID {egid}".format(user=CUSER, **current())),
    ("setuid", "Can't change process permissions for user {user}. Current user ID 0, "
               "euser ID 0".format(user=CUSER)),
    # The first lookup is the requesting account's.
    ("getpwnam_r:2", "getpwnam_r: " + os.strerror(errno.EIO)),
]


@pytest.mark.parametrize("fault, line, pid_file", REQUESTING_USER_ROWS,
                         ids=[row[0] for row in REQUESTING_USER_ROWS])
def test_requesting_user_identity_failures(box, fault, line, pid_file):
    use(box)
    result = run_with_fault(box, fault)
    result.assert_failed(line)
    assert box.probe_reports("probe") == []
    assert (box.read(PID_FILE) is not None) == pid_file


@pytest.mark.parametrize("fault, line", COMMAND_USER_ROWS,
                         ids=[row[0] for row in COMMAND_USER_ROWS])
def test_command_user_identity_failures(box, fault, line):
    use(box, mode="command_user")
    result = run_with_fault(box, fault)
    result.assert_failed(line)
    assert box.probe_reports("probe") == []
    # The container was entered, as root, before the identity was touched.
    assert double_calls(box) == ENTERED


@pytest.mark.parametrize("user_part, name", [("nosuch:", "nosuch"), (":", "")])
def test_command_user_without_an_account(box, user_part, name):
    box.commands(f"probe={user_part}{PROBE}\n")
    result = run_with_doubles(box)
    result.assert_failed(f"Can't get passwd info for user {name}")
    assert box.probe_reports("probe") == []


def test_root_mode_touches_no_identity_call(box):
    # Every identity call would fail, and none is made.
    use(box, mode="root")
    result = run_with_fault(box, "initgroups,setgid,setuid,seteuid,getpwnam_r:2")
    assert (result.rc, result.texts()) == (0, []), result
    assert command_report(box)["uid"] == [0, 0, 0]


@pytest.mark.parametrize("fault, lines", [
    ("chdir:1", ["Failed to change directory to '/': Input/output error"]),
    ("fork", ["Unable to fork (Resource temporarily unavailable)",
              f"Can't start program {PROBE}"]),
])
def test_failures_before_the_validator_has_approved(box, fault, lines):
    use(box)
    result = run_with_fault(box, fault)
    result.assert_failed(*lines)
    assert double_calls(box) is None
    assert box.probe_reports("check_params.py") == []
    assert box.probe_reports("probe") == []


# -- the real resource-container library -----------------------------------------------------

def cgroup2_root():
    """The first cgroup v2 mount, as the container library picks it, or None."""
    with open("/proc/self/mountinfo") as f:
        for line in f:
            fields = line.split()
            tail = fields[fields.index("-") + 1:]
            if tail and tail[0] == "cgroup2":
                return fields[4].encode().decode("unicode_escape")
    return None


@pytest.fixture
def cgroup_box(box):
    root = cgroup2_root()
    if root is None:
        pytest.skip("no cgroup v2 hierarchy is mounted")
    if not os.access(root, os.W_OK):
        pytest.skip(f"the cgroup v2 hierarchy at {root} is not writable")
    base = os.path.join(root, "vornex")
    before = set(child_cgroups(base))
    base_existed = os.path.isdir(base)
    # An account of its own, so that no other test shares its container.
    uid = 40000 + os.getpid() % 20000
    box.cgroup_uid = uid
    box.add_user("cgsite", uid)
    box.token("cgsite", uid, "secret\n")
    yield box
    # The test's own container must go. Others that appeared meanwhile (a wrong id, or
    # another program's) and the base, when it is new, go when they are unused.
    own = str(uid)
    for name in set(child_cgroups(base)) - before:
        remove_cgroup(os.path.join(base, name), required=name == own)
    if not base_existed:
        remove_cgroup(base, required=False)


def child_cgroups(base):
    try:
        return [e.name for e in os.scandir(base) if e.is_dir(follow_symlinks=False)]
    except FileNotFoundError:
        return []


def remove_cgroup(path, required):
    # The last process has been reaped when a run returns; the kernel may still need a
    # moment before the directory can go.
    for _ in range(1000):
        try:
            os.rmdir(path)
            return
        except FileNotFoundError:
            return
        except OSError as e:
            if e.errno == errno.ENOTEMPTY:
                break  # containers of others are below it
            os.sched_yield()
    if required:
        raise AssertionError(f"could not remove the cgroup {path}")


def own_capability(name):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(name + ":"):
                return int(line.split()[1], 16)
    raise AssertionError(name)


CAP_SYS_RESOURCE = 24


@pytest.mark.parametrize("mode", list(MODES))
def test_command_runs_in_the_container_of_the_requesting_uid(cgroup_box, mode):
    uid = cgroup_box.cgroup_uid
    use(cgroup_box, mode=mode)
    result = cgroup_box.run(user="cgsite")
    assert result.rc == 0, result
    report = command_report(cgroup_box)
    unified = [line for line in report["cgroup"].splitlines() if line.startswith("0::")]
    assert len(unified) == 1 and unified[0].endswith(f"/vornex/{uid}"), report["cgroup"]
    # The validator ran before the container was entered.
    assert not validator_report(cgroup_box)["cgroup"].rstrip("\n").endswith(f"/vornex/{uid}")
    expected = []
    if mode == "requesting_user":
        caps = report["caps"]
        assert (caps["CapEff"], caps["CapPrm"], caps["CapAmb"]) == (ZERO_CAPS,) * 3
        # The real capability call can only succeed where the capability is in the bounding
        # set of this machine.
        if not own_capability("CapBnd") >> CAP_SYS_RESOURCE & 1:
            expected = ["set CAP_SYS_RESOURCE failed: Operation not permitted"]
    assert result.texts() == expected


def test_container_delegated_to_a_user_is_not_entered(cgroup_box):
    # A group that belongs to someone else than root is never entered by a root process.
    uid = cgroup_box.cgroup_uid
    use(cgroup_box)
    group = os.path.join(cgroup2_root(), "vornex", str(uid))
    os.makedirs(group, exist_ok=True)
    os.chown(group, uid, uid)
    result = cgroup_box.run(user="cgsite")
    result.assert_failed(f"qor_enter_flags() failed for qor id {uid}.")
    assert cgroup_box.probe_reports("probe") == []
