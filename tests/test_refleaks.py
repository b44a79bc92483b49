"""The reference-leak check of refleak_check.py, in the suite wherever the interpreter counts
references (a debug build)."""
import sys

import pytest

import refleak_check

pytestmark = pytest.mark.skipif(not hasattr(sys, "gettotalrefcount"),
                                reason="counting references needs a debug interpreter "
                                       "(sys.gettotalrefcount)")


@pytest.mark.parametrize("name", list(refleak_check.CASES))
def test_no_references_leak(name):
    assert refleak_check.growth(refleak_check.CASES[name]) < refleak_check.LEAK
