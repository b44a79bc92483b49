"""tools/junit_counts.py against what pytest itself says of the same run."""

import os
import re
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))

OUTCOMES = '''
import pytest

@pytest.fixture
def broken():
    raise RuntimeError("set-up")

@pytest.fixture
def breaks_afterwards():
    yield
    raise RuntimeError("teardown")

def test_passes():
    pass

@pytest.mark.parametrize("n", [1, 2])
def test_skips(n):
    pytest.skip("not here")

def test_fails():
    assert False

def test_errors_in_set_up(broken):
    pass

def test_fails_then_errors_in_teardown(breaks_afterwards):
    assert False
'''


def test_counts_match_pytests_closing_line(tmp_path):
    (tmp_path / "test_outcomes.py").write_text(OUTCOMES)
    run = subprocess.run(
        [sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider",
         "--junitxml=junit.xml", "test_outcomes.py"],
        cwd=tmp_path, capture_output=True, text=True)
    closing = re.search(r"^(\d+ failed.*) in [\d.]+s", run.stdout, re.MULTILINE).group(1)
    counts = subprocess.run(
        [sys.executable, os.path.join(HERE, "junit_counts.py"), str(tmp_path / "junit.xml")],
        capture_output=True, text=True, check=True)
    assert closing == "2 failed, 1 passed, 2 skipped, 2 errors"
    assert counts.stdout == closing + "\n"
