"""Decodes a column of stored tokens with Dask, on a cluster of worker processes.

    python examples/dask_tokens.py [COUNT] [WORKERS]

Needs the `dask` extra (pip install "tavro-ciphers[dask]"). Stores COUNT tokens (default
1,000,000) of 16-character texts in CSV files, decodes their column on a
distributed.LocalCluster of WORKERS worker processes (default 2), checks every answer, and
prints the time beside a loop over the same column in this process.

_TavroCrypt4.d1 goes to the workers as it is: the methods pickle by reference, as Python
functions do, so each worker finds the one its own import of the library made.
"""

import os
import sys
import tempfile
import time

import dask
import dask.dataframe as dd
import pandas as pd
from distributed import Client, LocalCluster

from tavro.libs.ciphers.tavro_crypt_4 import _TavroCrypt4

FILES = 8


def text_of(number):
    return "%016d" % number


def store(folder, count):
    """Writes the tokens of `count` texts to CSV files in `folder`, with the number of each."""
    step = -(-count // FILES)
    for start in range(0, count, step):
        numbers = range(start, min(start + step, count))
        pd.DataFrame(
            {"number": numbers, "token": [_TavroCrypt4.e1(text_of(number)) for number in numbers]}
        ).to_csv(os.path.join(folder, "tokens-%d.csv" % start), index=False)


def decode(folder, client):
    """(number, text) of every stored token, decoded by the client's workers."""
    # Plain object columns: the answers are str or None, as d1 gives them.
    with dask.config.set({"dataframe.convert-string": False}):
        frame = dd.read_csv(os.path.join(folder, "tokens-*.csv"))
        frame["text"] = frame["token"].apply(
            _TavroCrypt4.d1, args=("utf-8",), meta=("text", object)
        )
        return client.compute(frame[["number", "text"]]).result()


def decode_here(folder):
    """The same column decoded by a loop in this process, for comparison."""
    texts = []
    for name in sorted(os.listdir(folder)):
        texts.extend(
            _TavroCrypt4.d1(token, "utf-8")
            for token in pd.read_csv(os.path.join(folder, name))["token"]
        )
    return texts


def main():
    count = int(sys.argv[1]) if len(sys.argv) > 1 else 1_000_000
    workers = int(sys.argv[2]) if len(sys.argv) > 2 else 2
    with tempfile.TemporaryDirectory() as folder:
        store(folder, count)
        with (
            LocalCluster(n_workers=workers, threads_per_worker=1, processes=True) as cluster,
            Client(cluster) as client,
        ):
            start = time.perf_counter()
            decoded = decode(folder, client)
            cluster_seconds = time.perf_counter() - start
        wrong = sum(
            text != text_of(number) for number, text in zip(decoded["number"], decoded["text"])
        )
        if len(decoded) != count or wrong:
            sys.exit("%d of %d answers wrong or missing" % (wrong + count - len(decoded), count))
        start = time.perf_counter()
        decode_here(folder)
        loop_seconds = time.perf_counter() - start
    print(
        "%d tokens, every answer right: %.2f s on %d workers, %.2f s in a loop here"
        % (count, cluster_seconds, workers, loop_seconds)
    )


if __name__ == "__main__":
    main()
