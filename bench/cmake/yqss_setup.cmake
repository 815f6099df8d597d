# ---- Authenticated setup: the bench starts the daemon and the example
# service, installs the configuration and authentication libraries, issues a
# machine credential with the admin tool, and runs itself inside the sandbox.
if(TARGET yqss_setup_bench)
  add_dependencies(yqss_setup_bench ynetd echo_service Ycrconf yorbat yorbat_admin)
  target_compile_definitions(yqss_setup_bench PRIVATE
    YNETD_BIN="$<TARGET_FILE:ynetd>"
    ECHO_SERVICE_BIN="$<TARGET_FILE:echo_service>"
    YORBAT_ADMIN_BIN="$<TARGET_FILE:yorbat_admin>"
    YCRCONF_LIB="$<TARGET_FILE:Ycrconf>"
    YORBAT_LIB="$<TARGET_FILE:yorbat>"
    YQ_SANDBOX_BIN="${CMAKE_SOURCE_DIR}/tests/sandbox/yq-sandbox")
endif()
