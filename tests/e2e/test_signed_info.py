"""The build information counts only as its signature allows: verinfo.txt.p7s beside it on the
mirror that served it, made as a maker makes it (openssl cms, detached, DER), verified against
the publisher's pins (string 2012) and the validity in days (string 2015). Otherwise no newer
build is offered and the local package is installed."""
import datetime
import time

import pytest

from conftest import set_strings
from servers import http_server
from signing import sign
from test_signature import V100, V101, offer, pins, trusted_root  # noqa: F401
from test_update_check import (CANCEL, CANCELLED, CAPTION, FORCED_END, LEFT_RUNNING, LOCAL,
                               NEWER, OPENING, PROGRESS, run, wait_until)  # noqa: F401

OLDER = "9.0.0.400"
ONE_DAY = datetime.timedelta(days=1)
PINNED_A = "*** Verify build information: signed by Velmora Test Publisher A, whose key is pinned"


@pytest.mark.parametrize("pinned, validity, signer, when, change, version, offered, line", [
    ("a", "30", "a", None, None, None, True, PINNED_A),
    ("a", "30", "a", -31 * ONE_DAY, None, None, False,
     "*** Verify build information: signed longer ago than the validity ***"),
    ("a", "30", "a", 2 * ONE_DAY, None, None, False,
     "*** Verify build information: signed in the future ***"),
    ("a", "", "b", None, None, None, False,
     "*** Verify build information: signed by Velmora Test Publisher B, whose key "),
    ("a", "", "a", None, "tampered", None, False,
     "*** Verify build information: signature is not intact (0x"),
    ("a", "", None, None, None, None, False,
     "*** Verify build information: not signed, but keys are pinned ***"),
    ("", "", None, None, None, None, True,
     "*** Verify build information: not signed, not verified ***"),
    ("", "", "a", None, "tampered", None, False,
     "*** Verify build information: signature is not intact (0x"),
    ("a", "30", "a", None, None, OLDER, False, "*** Verify build information: counts ***"),
], ids=["valid", "expired", "from the future", "unpinned key", "changed after signing",
        "missing, pinned", "missing, no pins", "changed, no pins", "an older build, signed"])
def test_build_information_counts_only_as_its_signature_allows(run, pinned, validity, signer,
                                                               when, change, version, offered,
                                                               line):
    offer(run, "local-a.msi", "signed-a.msi")
    rows = {2012: pins(pinned)} if pinned else {}
    if validity:
        rows[2015] = validity
    with http_server(run.served) as base:
        run.publish(base, version or NEWER, kind="/len")
        if rows:
            set_strings(run.setup_dir / "setup.exe", rows)
        info = run.served / "pr_dl" / "verinfo.txt"
        if signer:
            sign(info, signer, when and datetime.datetime.now(datetime.timezone.utc) + when)
        if change:
            info.write_text(info.read_text().replace("VLM-PRO", "VLM-PRX"))
        run.start()
        if offered:
            run.accept()
        run.finish()

    assert run.code == 0
    assert any(message.startswith(line) for message in run.trace), line
    assert ("*** CheckLatestBuild: Latest build found, suggest one ***" in run.trace) == offered
    assert run.installed == (V101 if offered else V100)


def fetching_signature(run):
    """The signature's transfer has begun: its node is being opened."""
    messages = [line["message"] for line in run.traces.new_lines()]
    start = next((i for i, m in enumerate(messages)
                  if m.startswith("*** Verify build information: start: ")), None)
    return start is not None and any(m.startswith(OPENING) for m in messages[start:])


def test_a_cancel_while_the_signature_stalls_reaches_msiexec_within_a_second(run):
    # The file itself comes whole; the server then holds its connection, and the signature's
    # request waits for ever.
    with http_server(run.served) as base:
        run.publish(base, kind="/len")
        run.mirrors(f"{base}/stall/pr_dl/verinfo.txt")
        run.start()
        wait_until(lambda: fetching_signature(run), "the signature's transfer")
        time.sleep(0.5)
        run.dialog("click", CAPTION, CANCEL, *PROGRESS)
        run.finish()

    assert run.seconds_between(CANCELLED, "*** Install: start ***") < 2
    assert LEFT_RUNNING in run.trace
    assert FORCED_END not in run.trace
    assert run.code == 0
    assert run.installed == LOCAL
