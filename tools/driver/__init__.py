"""The build driver behind scripts/target-test and scripts/dist (host Python 3.9 or later)."""
