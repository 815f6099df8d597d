# ---- ynetd: the integration test starts the daemon, the example service and
# client as real processes, and installs the configuration library.
if(TARGET ynetd_integration_test)
  add_dependencies(ynetd_integration_test ynetd echo_service echo_client Ycrconf)
  target_compile_definitions(ynetd_integration_test PRIVATE
    YNETD_BIN="$<TARGET_FILE:ynetd>"
    ECHO_SERVICE_BIN="$<TARGET_FILE:echo_service>"
    ECHO_CLIENT_BIN="$<TARGET_FILE:echo_client>"
    YCRCONF_LIB="$<TARGET_FILE:Ycrconf>"
    YNETD_REQUESTS="${CMAKE_SOURCE_DIR}/tests/unit/data/ynetd_requests.txt")
  set_tests_properties(ynetd_integration_test PROPERTIES TIMEOUT 240)
endif()
