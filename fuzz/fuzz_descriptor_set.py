"""Coverage-guided fuzzing of load_descriptor_set over serialized descriptor sets of the test
suite's .proto corpus (see oracle.py).
Run by `make fuzz`; by hand: python fuzz/fuzz_descriptor_set.py WORK_DIR fuzz/corpus/descriptor_set [-flags]."""

from oracle import check_descriptor_set, run_atheris

if __name__ == "__main__":
    run_atheris(check_descriptor_set)
