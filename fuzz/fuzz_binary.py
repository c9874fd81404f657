"""Coverage-guided fuzzing of from_binary over a schema of every field kind (see oracle.py).
Run by `make fuzz`; by hand: python fuzz/fuzz_binary.py WORK_DIR fuzz/corpus/binary [-flags]."""

from oracle import check_binary, run_atheris

if __name__ == "__main__":
    run_atheris(check_binary)
