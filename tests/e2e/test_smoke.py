"""The executable starts under Wine and leaves a well-formed trace file in the temporary
directory."""
import datetime

from conftest import TRACE_NAME, TraceFiles, messages, run_for_exit_code, windows_path


def test_a_run_writes_its_trace_into_the_temporary_directory(setup_dir, temp_dir):
    traces = TraceFiles(temp_dir)
    started = datetime.datetime.now()

    code = run_for_exit_code(f'"{windows_path(setup_dir / "setup.exe")}" /s', cwd=setup_dir)

    # No package beside it: msiexec's own error code comes back.
    assert code not in (0, -1, 1157)
    new = traces.new_files()
    assert len(new) == 1 and TRACE_NAME.match(new[0])
    stamp = datetime.datetime.strptime(new[0], "tw-setup-%Y-%m-%d-%H-%M-%S.log")
    assert abs((stamp - started).total_seconds()) < 60
    lines = traces.new_lines()
    assert messages(lines)[0] == "*** start ***"
    assert messages(lines)[-1] == "*** end ***"
    assert len({(line["pid"], line["tid"]) for line in lines}) == 1
    # Nothing lands beside the executable.
    assert sorted(p.name for p in setup_dir.iterdir()) == ["setup.exe"]
