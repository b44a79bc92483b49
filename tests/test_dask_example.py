"""examples/dask_tokens.py on a cluster of two worker processes."""
import os
import runpy

import pytest

pytest.importorskip("dask.dataframe")
pytest.importorskip("distributed")

EXAMPLE = os.path.join(os.path.dirname(__file__), "..", "examples", "dask_tokens.py")


def test_every_stored_token_comes_back_from_the_workers(tmp_path):
    example = runpy.run_path(EXAMPLE)
    example["store"](str(tmp_path), 100_000)
    with example["LocalCluster"](n_workers=2, threads_per_worker=1) as cluster, \
            example["Client"](cluster) as client:
        decoded = example["decode"](str(tmp_path), client)
    assert sorted(zip(decoded["number"], decoded["text"])) == [
        (number, "%016d" % number) for number in range(100_000)]
