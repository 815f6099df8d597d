# ---- scanf engine: the unit test reaches the engine's private header ----
target_include_directories(yscan_test PRIVATE ${CMAKE_SOURCE_DIR}/bsdscan)
target_compile_definitions(yscan_test PRIVATE YSCAN_CASES="${CMAKE_SOURCE_DIR}/tests/unit/data/yscan_cases.txt")
