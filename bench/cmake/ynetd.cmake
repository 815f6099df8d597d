# ---- ynetd: the bench starts the daemon and the example service, and runs
# itself inside the sandbox (they use the product's fixed paths).
if(TARGET ynetd_bench)
  add_dependencies(ynetd_bench ynetd)
  target_compile_definitions(ynetd_bench PRIVATE
    YNETD_BIN="$<TARGET_FILE:ynetd>"
    YQ_SANDBOX_BIN="${CMAKE_SOURCE_DIR}/tests/sandbox/yq-sandbox")
endif()
