import os
import sys

import pytest

sys.path.insert(0, os.path.dirname(__file__))

from sandbox import Sandbox, SandboxUnavailable, unavailable_reason  # noqa: E402

SITE1_UID = 1005
SITE1_TOKEN = "secret"


@pytest.fixture
def sb():
    """A fresh, empty sandbox: host accounts, an empty /etc/vornex, the log socket."""
    reason = unavailable_reason()
    if reason is not None:
        pytest.skip(reason)
    try:
        box = Sandbox()
    except SandboxUnavailable as e:
        pytest.skip(str(e))
    yield box
    box.close()


@pytest.fixture
def site1(sb):
    """The sandbox with the account site1 (uid and gid 1005, home /home/site1) and its token
    "secret", the probe as validator and as the command of alias "probe", and the resource
    container skipped through the edition marker. sb.site1 is the Account."""
    sb.site1 = sb.add_user("site1", SITE1_UID)
    sb.token("site1", SITE1_UID, SITE1_TOKEN + "\n")
    sb.install_validator(0)
    sb.install_probe()
    sb.marker()
    sb.commands("probe=/usr/local/bin/probe\n")
    return sb
