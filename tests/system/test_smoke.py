"""The road of one good request and of one refused request."""


def test_good_request_runs_the_command_as_the_user(site1):
    result = site1.run(extra=["x", "y"])
    assert result.rc == 0, result
    assert result.stderr == b""
    [report] = site1.probe_reports("probe")
    assert report["argv"] == ["/usr/local/bin/probe", "x", "y"]
    assert report["uid"] == [1005, 1005, 1005]
    assert report["gid"] == [1005, 1005, 1005]
    assert not any(e.startswith("VORNEX_TOKEN=") for e in report["env"])
    assert sorted(report["fds"]) == ["0", "1", "2"]
    [validator] = site1.probe_reports("check_params.py")
    assert validator["argv"] == ["/usr/share/vornex/check_params.py", "site1", "/home/site1",
                                 "/usr/local/bin/probe", "x", "y"]
    assert validator["uid"] == [0, 0, 0]


def test_short_vector_is_refused(sb):
    result = sb.run(raw_argv=["x", "frontend", "site1", "/home/site1", "probe"])
    result.assert_refused()
    assert result.texts() == ["Less then 5 arguments passed", "User -> site1"]
    assert all(r.pri == 27 for r in result.logs)
