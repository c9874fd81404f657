"""Coverage-guided fuzzing of from_text over text-format documents (see oracle.py).
Run by `make fuzz`; by hand: python fuzz/fuzz_text.py WORK_DIR fuzz/corpus/text [-flags]."""

from oracle import check_text, run_atheris

if __name__ == "__main__":
    run_atheris(check_text)
