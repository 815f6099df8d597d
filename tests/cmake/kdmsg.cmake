# ---- message catalogs: the sample catalogs are copied into the sandbox ----
target_compile_definitions(kdmsg_test PRIVATE YQ_MSG_SAMPLES="${CMAKE_SOURCE_DIR}/companions/msg")
