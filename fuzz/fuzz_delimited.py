"""Coverage-guided fuzzing of read_delimited over length-delimited streams, read whole and a few bytes at a time (see oracle.py).
Run by `make fuzz`; by hand: python fuzz/fuzz_delimited.py WORK_DIR fuzz/corpus/delimited [-flags]."""

from oracle import check_delimited, run_atheris

if __name__ == "__main__":
    run_atheris(check_delimited)
