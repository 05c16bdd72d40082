"""Which command files count, their precedence and the line format, seen from the outside."""

import pytest

PROBE = "/usr/local/bin/probe"


def ran(sb):
    """The probe's argv[0] of the request's command, or None when it did not run."""
    reports = sb.probe_reports("probe")
    return reports[-1]["argv"][0] if reports else None


def listing_order(sb):
    out = sb.shell("ls -f /etc/vornex").stdout.decode().split()
    return [n for n in out if n.endswith("proxy.commands") and n != "proxy.commands"]


def test_additional_files_come_before_the_main_file(site1):
    site1.install_probe("/usr/local/bin/main")
    site1.install_probe("/usr/local/bin/extra")
    site1.commands("probe=/usr/local/bin/main\n")
    site1.commands("probe=/usr/local/bin/extra\n", "x.proxy.commands")
    assert site1.run().rc == 0
    assert site1.probe_reports("extra") and not site1.probe_reports("main")


def test_additional_files_in_directory_order(site1):
    names = ["b.proxy.commands", "a.proxy.commands", ".proxy.commands", "cproxy.commands"]
    for name in names:
        site1.install_probe(f"/usr/local/bin/{name}")
        site1.commands(f"probe=/usr/local/bin/{name}\n", name)
    first = listing_order(site1)[0]
    assert site1.run().rc == 0
    assert site1.probe_reports(first), (first, listing_order(site1))


@pytest.mark.parametrize("name", ["proxy.commands.bak", "proxy.commands~", "x.PROXY.commands",
                                  "x.proxy.Commands"])
def test_names_that_do_not_count(site1, name):
    site1.install_probe("/usr/local/bin/other")
    site1.commands("probe=/usr/local/bin/other\n", name)
    assert site1.run().rc == 0
    assert not site1.probe_reports("other")


def test_directory_named_like_a_command_file_is_passed_over(site1):
    site1.mkdir("/etc/vornex/d.proxy.commands")
    result = site1.run()
    assert result.rc == 0
    assert "File '/etc/vornex/d.proxy.commands' is not a regular file" in result.texts()


def test_symlink_to_a_regular_file_is_read(site1):
    site1.install_probe("/usr/local/bin/linked")
    site1.write_file("/etc/vornex/real", "probe=/usr/local/bin/linked\n")
    site1.symlink("/etc/vornex/l.proxy.commands", "/etc/vornex/real")
    assert site1.run().rc == 0
    assert site1.probe_reports("linked")


def test_fifo_named_like_a_command_file_never_hangs(site1):
    site1.mkfifo("/etc/vornex/f.proxy.commands")
    result = site1.run(timeout=10)
    assert result.rc == 0
    assert "File '/etc/vornex/f.proxy.commands' is not a regular file" in result.texts()


def test_missing_main_file(sb):
    sb.add_user("site1", 1005)
    result = sb.run()
    result.assert_failed()
    assert result.texts() == [
        "Unable to stat file '/etc/vornex/proxy.commands': No such file or directory",
        "Can't find alias: user: site1, command: probe"]


def test_missing_command_directory(sb):
    sb.hide("/etc/vornex")
    result = sb.run()
    result.assert_failed()
    assert result.texts() == ["opendir: Path '/etc/vornex' does not exist or could not be read"]


@pytest.mark.parametrize("content, alias, found", [
    ("probe=/usr/local/bin/probe\n", "probe", PROBE),
    ("probe:comment=/usr/local/bin/probe\n", "probe", PROBE),
    ("probe=/usr/local/bin/probe \t\r\n", "probe", PROBE),
    ("probe =/usr/local/bin/probe\n", "probe", None),
    (" probe=/usr/local/bin/probe\n", "probe", None),
    ("PROBE=/usr/local/bin/probe\n", "probe", None),
    ("probe /usr/local/bin/probe\n", "probe", None),
    ("probe=/usr/local/bin/probe\nprobe=/bin/false\n", "probe", PROBE),
    ("#c=/usr/local/bin/probe\n", "#c", PROBE),
    ("a:b=/usr/local/bin/probe\n", "a:b", None),
    ("a=b=/usr/local/bin/probe\n", "a=b", None),
    ("=/usr/local/bin/probe\n", "probe", None),
])
def test_line_format(site1, content, alias, found):
    site1.commands(content)
    result = site1.run(alias=alias)
    if found is None:
        result.assert_failed()
        assert result.texts()[-1] == f"Can't find alias: user: site1, command: {alias}"
    else:
        assert result.rc == 0, result
        assert ran(site1) == found


def test_empty_command_path_counts_as_found(site1):
    site1.commands("probe=\n")
    result = site1.run()
    result.assert_failed()
    assert "Can't start program " in result.texts()[-1]
    assert not any(t.startswith("Can't find alias") for t in result.texts())


def test_line_of_1023_bytes_and_the_tail_of_a_longer_one(site1):
    filler = "/" * (1023 - len("probe=") - len(PROBE)) + PROBE[1:]
    line = "probe=/" + filler  # 1023 bytes before the line feed
    assert len(line) == 1023
    site1.commands(line + "\n")
    assert site1.run().rc == 0
    site1.commands("x=" + "y" * 1021 + "probe=" + PROBE + "\n")
    assert site1.run().rc == 0
    assert len(site1.probe_reports("probe")) == 2


def test_nul_byte_ends_the_piece(site1):
    site1.commands(b"probe=" + PROBE.encode() + b"\0garbage\n")
    assert site1.run().rc == 0
    site1.commands(b"\0probe=" + PROBE.encode() + b"\n")
    site1.run().assert_failed()


@pytest.mark.parametrize("present", [True, False])
def test_a_million_lines(site1, present):
    body = "".join(f"alias{i}=/bin/false\n" for i in range(1_000_000))
    site1.commands(body + ("probe=" + PROBE + "\n" if present else ""))
    result = site1.run(timeout=60)
    if present:
        assert result.rc == 0, result
    else:
        result.assert_failed()
