"""Figures of the benchmark: paired ratios, the scaling differences, concurrency, callgrind.

Plain functions over lists and dicts, with no knowledge of the sandbox, so that they can be
checked on their own (test_stats.py).
"""

import os
import re
import statistics
import subprocess


def read_table(path):
    """The runner's output: one list of integers (nanoseconds) per round."""
    with open(path, encoding="ascii") as f:
        return [[int(v) for v in line.split("\t")] for line in f if line.strip()]


def paired(rows, floor_column, candidate_column):
    """The (floor, candidate) pairs of two columns, one per round."""
    return [(row[floor_column], row[candidate_column]) for row in rows]


def quartiles(values):
    """First and third quartile (the values themselves when there are fewer than two)."""
    if len(values) < 2:
        return min(values), max(values)
    q = statistics.quantiles(values, n=4, method="inclusive")
    return q[0], q[2]


def summarize_pairs(pairs):
    """Median, quartiles and range of candidate / floor over the pairs, with the median
    times in ms."""
    if not pairs:
        raise ValueError("no pairs to summarize")
    ratios = [c / f for f, c in pairs]
    q1, q3 = quartiles(ratios)
    return {
        "n": len(pairs),
        "median": statistics.median(ratios),
        "low": min(ratios),
        "high": max(ratios),
        "q1": q1,
        "q3": q3,
        "floor_ms": statistics.median(f for f, _ in pairs) / 1e6,
        "ms": statistics.median(c for _, c in pairs) / 1e6,
    }


def differences(rows, minuend, subtrahend):
    """Per round, the time of one column less that of another (ns)."""
    return [row[minuend] - row[subtrahend] for row in rows]


def summarize_scaling(search, enumeration):
    """The search's cost against a bare enumeration's, from per-round differences (ns): the
    overhead compares the medians; the quartiles of each show how far the noise goes."""
    if not search or len(search) != len(enumeration):
        raise ValueError("search and enumeration need the same, non-zero number of rounds")
    search_ms = statistics.median(search) / 1e6
    enum_ms = statistics.median(enumeration) / 1e6
    return {
        "n": len(search),
        "search_ms": search_ms,
        "enum_ms": enum_ms,
        "overhead": search_ms / enum_ms - 1 if enum_ms > 0 else float("inf"),
        "search_q": tuple(v / 1e6 for v in quartiles(search)),
        "enum_q": tuple(v / 1e6 for v in quartiles(enumeration)),
    }


def summarize_concurrency(rows):
    """Rounds of simultaneous requests: each row holds every request's time to its reaping."""
    if not rows:
        raise ValueError("no rounds")
    count = len(rows[0])
    longest = [max(row) for row in rows]
    waits = [v for row in rows for v in row]
    return {
        "n": len(rows),
        "count": count,
        "rps": statistics.median(count / (m / 1e9) for m in longest),
        "longest_ms": statistics.median(longest) / 1e6,
        "worst_ms": max(longest) / 1e6,
        "median_wait_ms": statistics.median(waits) / 1e6,
    }


# -- callgrind -------------------------------------------------------------------------------

_PART = re.compile(r"^(?P<prefix>[^.]+)\.(?P<pid>\d+)(?:\.(?P<part>\d+))?$")
_TOTALS = re.compile(r"^(?:totals|summary):\s*(\d+)", re.M)
_ANNOTATED = re.compile(r"^\s*([\d,]+)\s+\([^)]*\)\s+(.+?)\s*$")


def callgrind_parts(directory, prefix="cg"):
    """{pid: [(part, path)]} of the dumps in a directory, parts in order."""
    found = {}
    for name in os.listdir(directory):
        m = _PART.match(name)
        path = os.path.join(directory, name)
        if m is None or m.group("prefix") != prefix or os.path.getsize(path) == 0:
            continue  # callgrind leaves an empty file under the bare name once it has dumped
        found.setdefault(int(m.group("pid")), []).append((int(m.group("part") or 0), path))
    return {pid: sorted(parts) for pid, parts in found.items()}


def dump_total(path):
    with open(path, encoding="utf-8", errors="replace") as f:
        m = _TOTALS.search(f.read())
    return int(m.group(1)) if m else 0


def combine_totals(totals):
    """Instructions of one process tree from the dumps' totals, {pid: [part totals]}.

    The dumps are made after each fork and before each exec. A child starts with a copy of
    its parent's counters, so its first part repeats the parent's first part (the counts up
    to the fork); only what it adds to that is its own. One level of children is expected:
    the server forks once, for the validator."""
    if not totals:
        raise ValueError("no callgrind dumps")
    parent = min(totals)
    whole = sum(totals[parent])
    for pid, parts in totals.items():
        if pid == parent:
            continue
        whole += sum(parts) - totals[parent][0]
    return whole


def annotate(path, inclusive=False):
    """{function: Ir} of one dump, through callgrind_annotate."""
    argv = ["callgrind_annotate", "--threshold=100", "--auto=no"]
    if inclusive:
        argv.append("--inclusive=yes")
    out = subprocess.run(argv + [path], capture_output=True, text=True, check=True).stdout
    costs = {}
    for line in out.splitlines():
        m = _ANNOTATED.match(line)
        if m is None or "PROGRAM TOTALS" in line:
            continue
        costs[short_function(m.group(2))] = costs.get(short_function(m.group(2)), 0) + int(
            m.group(1).replace(",", ""))
    return costs


def short_function(text):
    """'./elf/dl-lookup.c:do_lookup_x [/usr/lib/.../ld-linux-x86-64.so.2]' ->
    'do_lookup_x (ld-linux-x86-64.so.2)'."""
    obj = ""
    m = re.match(r"^(.*?)\s+\[(.+)\]$", text)
    if m:
        text, obj = m.group(1), os.path.basename(m.group(2))
    function = text.split(":", 1)[1] if ":" in text else text
    return f"{function} ({obj})" if obj else function


def add_costs(into, costs):
    for name, value in costs.items():
        into[name] = into.get(name, 0) + value
    return into


def top(costs, count):
    return sorted(costs.items(), key=lambda kv: (-kv[1], kv[0]))[:count]


def inclusive_of(costs, fragment):
    """The largest inclusive cost among functions whose name contains `fragment`."""
    values = [v for k, v in costs.items() if fragment in k]
    return max(values) if values else 0
