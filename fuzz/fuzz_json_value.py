"""Coverage-guided fuzzing of _from_json_value over the value trees that the standard library
reads from JSON text, against from_json of the same text (see oracle.py).
Run by `make fuzz`; by hand: python fuzz/fuzz_json_value.py WORK_DIR fuzz/corpus/json_value [-flags]."""

from oracle import check_json_value, run_atheris

if __name__ == "__main__":
    run_atheris(check_json_value)
