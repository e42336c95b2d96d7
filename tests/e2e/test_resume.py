"""A package download that breaks off goes on from the bytes already written: on the same mirror
(an HTTP range with If-Range, an FTP restart) or, where the package is checked at the end, on
the next one; a server that ignores ranges or whose file changed starts it again from zero. The
cuts are made by a relay in front of the server (nginx or our own) or by the FTP server itself."""
import contextlib
import time

import pytest

from servers import cutting_relay, ftp_server, http_server, nginx_server
from test_signature import MATERIAL, V100, V101, trusted_root  # noqa: F401 (the fixture)
from test_update_check import (CANCELLED, CAPTION, DOWNLOADED, FORCED_END, LEFT_RUNNING, LOCAL,
                               NEWER, PACKAGE, PROGRESS, run, wait_until)  # noqa: F401
from test_update_check import CANCEL as CANCEL_BUTTON

RESUMED = "*** Download: resume: "
NO_MORE = "*** Download: no resume: "
POSTED = "*** PostProgress: post progress: "
COPY_STARTED = "*** Internet copy file procedure: started ***"
BROKEN = "*** Internet copy file procedure: remote file ended early: "
# Bytes a cut connection passes: its headers and some 900 bytes of the body, so that nine cuts
# still fall inside a package of some 12 KB.
CUT = 1200


def nginx_cut(cuts):
    def mirrors(stack, served):
        base = stack.enter_context(nginx_server(served))
        relay, _ = stack.enter_context(cutting_relay(base, cuts, CUT))
        return [f"{relay}/{PACKAGE}"]
    return mirrors


def ours_cut(kind):
    def mirrors(stack, served):
        base = stack.enter_context(http_server(served))
        relay, _ = stack.enter_context(cutting_relay(base, 1, CUT))
        return [f"{relay}/{kind}/{PACKAGE}"]
    return mirrors


def first_mirror_cut(kind, then):
    """The first mirror is cut once and then answers as kind (or not at all); the second opens
    for a range only, so that the first is the one a new download opens."""
    def mirrors(stack, served):
        base = stack.enter_context(http_server(served))
        relay, _ = stack.enter_context(cutting_relay(base, 1, CUT, then))
        return [f"{relay}/{kind}/{PACKAGE}", f"{base}/rangeonly/{PACKAGE}"]
    return mirrors


def ftp_cut(refuse_rest):
    def mirrors(stack, served):
        base = stack.enter_context(ftp_server(served, cuts=1, cut_after=CUT,
                                              refuse_rest=refuse_rest))
        return [f"{base}/{PACKAGE}"]
    return mirrors


# The mirrors, whether the packages are signed (so that the download is checked at the end),
# the answers the trace shows for the resumes (mirror by mirror: its index in the list and the
# answer), and whether the new build is installed.
CASES = [
    pytest.param(nginx_cut(1), False, [(0, 206)], True, id="nginx cut once"),
    pytest.param(nginx_cut(3), False, [(0, 206)] * 3, True, id="nginx cut three times"),
    pytest.param(nginx_cut(8), False, [(0, 206)] * 8, True, id="nginx cut eight times"),
    pytest.param(nginx_cut(9), False, [(0, 206)] * 8, False, id="nginx cut nine times"),
    pytest.param(ours_cut("norange"), False, [(0, 200)], True, id="a range answered with 200"),
    pytest.param(ours_cut("etag"), False, [(0, 200)], True, id="the ETag changes"),
    pytest.param(first_mirror_cut("badrange", "pass"), True, [(0, 206), (1, 206)], True,
                 id="a range from elsewhere, then the next mirror"),
    pytest.param(first_mirror_cut("range", "refuse"), True, [(0, 0), (1, 206)], True,
                 id="the first mirror gone, the second continues"),
    pytest.param(ftp_cut(False), False, [(0, 350)], True, id="FTP restarted"),
    pytest.param(ftp_cut(True), False, [(0, 502)], True, id="FTP refuses to restart"),
]


def resumes(run, urls):
    """The resumes the trace shows: the mirror's index in urls, the offset and the answer."""
    found = []
    for message in run.trace:
        if message.startswith(RESUMED):
            url, rest = message[len(RESUMED):-len(" ***")].rsplit(" at ", 1)
            offset, answer = rest.split(": ")
            found.append((urls.index(url), int(offset), int(answer)))
    return found


def bar_after_staging(run):
    """The bar's positions from the package copy's first start on."""
    start = run.trace.index(COPY_STARTED, run.trace.index(next(
        m for m in run.trace if m.startswith("*** Stage download: "))))
    return [int(m[len(POSTED):].split()[0]) for m in run.trace[start:] if m.startswith(POSTED)]


@pytest.mark.parametrize("mirrors, signed, expected, taken", CASES)
def test_a_broken_download_goes_on_from_the_bytes_written(run, mirrors, signed, expected,
                                                          taken):
    if signed:
        (run.setup_dir / "vlm.tch.msi").write_bytes((MATERIAL / "local-a.msi").read_bytes())
        (run.served / PACKAGE).write_bytes((MATERIAL / "signed-a.msi").read_bytes())
    with contextlib.ExitStack() as stack:
        urls = mirrors(stack, run.served)
        info = stack.enter_context(http_server(run.served))
        (run.served / "pr_dl" / "verinfo.txt").write_text(f"VLM-TCH {NEWER} {';'.join(urls)}\r\n")
        run.mirrors(f"{info}/len/pr_dl/verinfo.txt")
        run.start().accept()
        run.finish()

    assert run.code == 0
    assert run.installed == ((V101 if signed else DOWNLOADED) if taken
                             else (V100 if signed else LOCAL))
    found = resumes(run, urls)
    assert [(mirror, answer) for mirror, _, answer in found] == expected
    # Each resume starts where the one before had got to, further along.
    offsets = [offset for _, offset, _ in found]
    assert offsets == sorted(offsets) and offsets[0] > 0
    if taken:
        assert run.target.read_bytes() == (run.served / PACKAGE).read_bytes()
    else:
        assert not run.target.exists()
        assert any(m.startswith(NO_MORE) for m in run.trace)
    if len(urls) == 1 and all(answer in (206, 350) for _, answer in expected):
        # The bar goes on from where it was; it never starts again from zero.
        positions = bar_after_staging(run)
        assert positions == sorted(positions)


def breaks(run):
    return sum(m["message"].startswith(BROKEN) for m in run.traces.new_lines())


@pytest.mark.parametrize("cuts, then, left", [(3, "pass", False), (1, "stall", True)],
                         ids=["during the back-off", "during the resume's open"])
def test_cancel_during_a_resume_reaches_msiexec_within_a_second(run, cuts, then, left):
    with http_server(run.served) as base, cutting_relay(base, cuts, CUT, then) as (relay, _):
        (run.served / "pr_dl" / "verinfo.txt").write_text(
            f"VLM-TCH {NEWER} {relay}/range/{PACKAGE}\r\n")
        run.mirrors(f"{base}/len/pr_dl/verinfo.txt")
        run.start().accept()
        # The third back-off lasts 2 s; after the first one (0.5 s) the open waits for ever.
        wait_until(lambda: breaks(run) >= cuts, f"{cuts} breaks")
        time.sleep(0.2 if then == "pass" else 1)
        run.dialog("click", CAPTION, CANCEL_BUTTON, *PROGRESS)
        run.finish()

    assert run.seconds_between(CANCELLED, "*** Install: start ***") < 1
    assert (LEFT_RUNNING in run.trace) == left
    assert FORCED_END not in run.trace
    assert run.code == 0
    assert run.installed == LOCAL
    assert list(run.downloads.iterdir()) == []
