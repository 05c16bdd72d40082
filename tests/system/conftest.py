import os

import pytest

from sandbox import Sandbox

SITE1_UID = 1005


@pytest.fixture
def sb():
    if os.geteuid() != 0:
        pytest.skip("system tests run the server as root")
    box = Sandbox()
    yield box
    box.close()


@pytest.fixture
def site1(sb):
    """The account site1 (uid 1005) with its token "secret", the probe as validator and as the
    command of alias "probe", and the container skipped through the edition marker."""
    sb.add_user("site1", SITE1_UID)
    sb.token("site1", SITE1_UID, "secret\n")
    sb.install_validator(0)
    sb.install_probe()
    sb.marker()
    sb.commands("probe=/usr/local/bin/probe\n")
    return sb
