"""Coverage-guided fuzzing of from_json over JSON text (see oracle.py).
Run by `make fuzz`; by hand: python fuzz/fuzz_json.py WORK_DIR fuzz/corpus/json [-flags]."""

from oracle import check_json, run_atheris

if __name__ == "__main__":
    run_atheris(check_json)
