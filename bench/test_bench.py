"""Checks of the benchmark's own parts: the figures, the callgrind arithmetic and the small
programs. Run with /usr/bin/python3 -m pytest bench (bench/run.sh --quick does)."""

import os
import subprocess

import pytest

import stats

HERE = os.path.dirname(os.path.abspath(__file__))


@pytest.fixture(scope="module")
def tools(tmp_path_factory):
    out = tmp_path_factory.mktemp("tools")
    for name, static in (("runner", False), ("pwenum", False), ("bare_switch", True),
                         ("true_validator", True)):
        argv = ["cc", "-std=c11", "-O2", "-o", str(out / name), os.path.join(HERE, name + ".c")]
        subprocess.run(argv + (["-static"] if static else []), check=True)
    return out


def run(*argv):
    return subprocess.run([str(a) for a in argv], capture_output=True, text=True, timeout=60)


# -- figures ---------------------------------------------------------------------------------

def test_pairs_give_median_quartiles_and_range_of_the_ratios():
    pairs = [(100, 200), (100, 300), (200, 400), (100, 500), (50, 300)]
    s = stats.summarize_pairs(pairs)
    assert (s["n"], s["median"], s["low"], s["high"]) == (5, 3.0, 2.0, 6.0)
    assert (s["q1"], s["q3"]) == (2.0, 5.0)
    assert s["floor_ms"] == 100 / 1e6 and s["ms"] == 300 / 1e6


def test_paired_columns_come_from_the_same_round():
    rows = [[1, 10, 2, 20], [3, 30, 4, 40]]
    assert stats.paired(rows, 2, 3) == [(2, 20), (4, 40)]
    assert stats.differences(rows, 1, 3) == [-10, -10]


@pytest.mark.parametrize("call", [
    lambda: stats.summarize_pairs([]),
    lambda: stats.summarize_scaling([], []),
    lambda: stats.summarize_scaling([1, 2], [1]),
    lambda: stats.summarize_concurrency([]),
    lambda: stats.combine_totals({}),
])
def test_empty_or_mismatched_input_is_refused(call):
    with pytest.raises(ValueError):
        call()


def test_scaling_overhead_compares_the_medians():
    s = stats.summarize_scaling([11_000_000, 12_000_000, 13_000_000],
                                [10_000_000, 10_000_000, 40_000_000])
    assert s["search_ms"] == 12.0 and s["enum_ms"] == 10.0
    assert s["overhead"] == pytest.approx(0.2)


def test_concurrency_counts_requests_per_second_from_the_longest_wait():
    rows = [[1_000_000, 2_000_000, 4_000_000, 8_000_000]] * 3
    c = stats.summarize_concurrency(rows)
    assert c["count"] == 4 and c["rps"] == pytest.approx(500.0)
    assert c["longest_ms"] == c["worst_ms"] == 8.0
    assert c["median_wait_ms"] == 3.0


# -- callgrind -------------------------------------------------------------------------------

@pytest.mark.parametrize("totals, whole", [
    ({1: [500]}, 500),                        # no fork: the one dump
    ({1: [300, 200]}, 500),                   # dumped after the fork and before the exec
    ({1: [300, 200], 7: [310, 5]}, 515),      # the child repeats the parent's first part
    ({9: [300, 200], 12: [300, 0]}, 500),     # pids need not start at 1
])
def test_process_tree_instructions(totals, whole):
    assert stats.combine_totals(totals) == whole


def test_dumps_are_grouped_by_pid_in_part_order(tmp_path):
    for name, content in (("cg.1", ""), ("cg.1.2", "totals: 20\n"), ("cg.1.1", "totals: 10\n"),
                          ("cg.12.1", "summary: 7\n"), ("valgrind.1.log", "x"),
                          ("other.3", "totals: 1\n")):
        (tmp_path / name).write_text(content)
    parts = stats.callgrind_parts(str(tmp_path))
    assert sorted(parts) == [1, 12]
    assert [p for p, _ in parts[1]] == [1, 2]
    assert [stats.dump_total(path) for _, path in parts[1]] == [10, 20]
    assert stats.dump_total(parts[12][0][1]) == 7


@pytest.mark.parametrize("text, short", [
    ("./elf/./elf/dl-lookup.c:do_lookup_x [/usr/lib/x86_64-linux-gnu/ld-linux-x86-64.so.2]",
     "do_lookup_x (ld-linux-x86-64.so.2)"),
    ("???:(anonymous namespace)::search_shared_uid(command_request_t const*) [/usr/libexec/"
     "vornex/vornex-command-server]",
     "(anonymous namespace)::search_shared_uid(command_request_t const*) "
     "(vornex-command-server)"),
    ("./elf/../sysdeps/x86_64/dl-machine.h:_dl_relocate_object", "_dl_relocate_object"),
])
def test_function_names_are_shortened(text, short):
    assert stats.short_function(text) == short


def test_top_and_inclusive_lookups():
    costs = stats.add_costs({"a (x)": 5}, {"a (x)": 1, "b (y)": 9, "c": 6})
    assert stats.top(costs, 2) == [("b (y)", 9), ("a (x)", 6)]
    assert stats.inclusive_of(costs, "a (") == 6 and stats.inclusive_of(costs, "zz") == 0


# -- the programs ----------------------------------------------------------------------------

def test_runner_writes_one_column_per_timed_command(tools, tmp_path):
    out = tmp_path / "t.tsv"
    done = run(tools / "runner", "-n", "3", "-w", "1", "-o", out, "/bin/true", "::",
               "@/bin/true", "::", "/bin/sh", "-c", "exit 0")
    assert done.returncode == 0, done.stderr
    rows = stats.read_table(out)
    assert len(rows) == 3 and all(len(row) == 2 and min(row) > 0 for row in rows)


@pytest.mark.parametrize("argv, named", [
    (["/bin/true", "::", "/bin/false"], "/bin/false exited with status 1"),
    (["/bin/true", "::", "@/bin/false"], "/bin/false exited with status 1"),
    (["/nonexistent/program"], "cannot execute /nonexistent/program"),
    (["/bin/sh", "-c", "kill -9 $$"], "/bin/sh ended with wait status 0x9"),
    (["-c", "4", "/bin/false"], "/bin/false exited with status 1"),
])
def test_runner_fails_when_a_command_fails(tools, argv, named):
    done = run(tools / "runner", "-n", "2", *argv)
    assert done.returncode == 1
    assert named in done.stderr


@pytest.mark.parametrize("argv", [
    [],
    ["/bin/true", "::"],
    ["-c", "2", "/bin/true", "::", "/bin/true"],
    ["-n", "0", "/bin/true"],
    ["@/bin/true"],  # nothing timed
])
def test_runner_refuses_bad_usage(tools, argv):
    assert run(tools / "runner", *argv).returncode == 2


def test_runner_releases_simultaneous_copies_together(tools, tmp_path):
    out = tmp_path / "c.tsv"
    done = run(tools / "runner", "-c", "4", "-n", "2", "-w", "0", "-o", out, "/bin/sh", "-c",
               "sleep 0.2")
    assert done.returncode == 0, done.stderr
    rows = stats.read_table(out)
    assert len(rows) == 2
    for row in rows:
        assert len(row) == 4 and row == sorted(row)
        # Held at the gate until all were forked: each waited about 0.2 s, not 4 times it.
        assert 0.19e9 < row[0] and row[-1] < 0.6e9


def test_pwenum_stops_at_the_uid(tools):
    with open("/etc/passwd", encoding="utf-8") as f:
        uids = {int(line.split(":")[2]) for line in f if line.count(":") >= 6}
    missing = next(u for u in range(54321, 60000) if u not in uids)
    assert run(tools / "pwenum", "0").returncode == 0
    assert run(tools / "pwenum", missing).returncode == 1
    assert run(tools / "pwenum", "0", "0").returncode == 1  # no entry read at all
    assert run(tools / "pwenum", "x").returncode == 2


@pytest.mark.skipif(os.geteuid() != 0, reason="switching identity needs root")
def test_bare_switch_runs_the_command_as_the_ids(tools):
    done = run(tools / "bare_switch", "-f", tools / "true_validator", "65534", "65534",
               "/bin/sh", "-c", "id -u; id -g; id -G")
    assert done.returncode == 0, done.stderr
    assert done.stdout.split() == ["65534", "65534", "65534"]
    failed = run(tools / "bare_switch", "-f", "/bin/false", "65534", "65534", "/bin/true")
    assert failed.returncode == 1 and "/bin/false failed" in failed.stderr
