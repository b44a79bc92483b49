"""A short, fixed run of tests/fuzz_methods.py in the suite; CI runs it longer on its own."""
import fuzz_methods


def test_a_short_fuzz_run_agrees_with_the_model():
    count, differences = fuzz_methods.fuzz(seed=20261208, cases=2000)
    assert differences == []
    assert count == 2000


def test_the_fuzzer_reports_where_the_model_and_the_library_part(monkeypatch):
    monkeypatch.setattr(fuzz_methods.MODEL["3"], "e2", staticmethod(lambda raw: "x"))
    count, differences = fuzz_methods.fuzz(seed=20261208, cases=2000)
    assert len(differences) == 1 and count < 2000
    assert "3.e2(" in differences[0] and "model:   returned str: 'x'" in differences[0]

