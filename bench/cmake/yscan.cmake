# ---- scanf engine: the benchmark reads the unit test's case file ----------
target_compile_definitions(yscan_bench PRIVATE YSCAN_CASES="${CMAKE_SOURCE_DIR}/tests/unit/data/yscan_cases.txt")
