# ---- ynetd: the bench starts the daemon and the example service, and runs
# itself inside the sandbox (they use the product's fixed paths).
if(TARGET ynetd_bench)
  add_dependencies(ynetd_bench ynetd echo_service)
  target_compile_definitions(ynetd_bench PRIVATE
    YNETD_BIN="$<TARGET_FILE:ynetd>"
    ECHO_SERVICE_BIN="$<TARGET_FILE:echo_service>"
    YQ_SANDBOX_BIN="${CMAKE_SOURCE_DIR}/tests/sandbox/yq-sandbox")
endif()
