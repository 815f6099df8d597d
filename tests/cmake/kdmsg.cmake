# ---- message catalogs: the sample catalogs are copied into the sandbox ----
target_compile_definitions(kdmsg_test PRIVATE YQ_MSG_SAMPLES="${CMAKE_SOURCE_DIR}/companions/msg")
target_compile_definitions(kdmsg_test PRIVATE KDMSG_DATA="${CMAKE_SOURCE_DIR}/tests/unit/data/kdmsg")
