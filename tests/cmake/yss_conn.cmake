# ---- Security services, connections, validation, host names: the tables are
# data files; the connection test installs the real authentication library,
# sets a broker up with the admin tool and starts it.
foreach(test yss_conn_test yss_fqdn_test)
  if(TARGET ${test})
    target_compile_definitions(${test} PRIVATE YQ_TEST_DATA="${CMAKE_SOURCE_DIR}/tests/unit/data")
  endif()
endforeach()
if(TARGET yss_conn_test)
  add_dependencies(yss_conn_test yorbat yorbat_broker yorbat_admin)
  target_compile_definitions(yss_conn_test PRIVATE YORBAT_LIBRARY="$<TARGET_FILE:yorbat>"
    YORBAT_BROKER_BIN="$<TARGET_FILE:yorbat_broker>" YORBAT_ADMIN_BIN="$<TARGET_FILE:yorbat_admin>")
endif()
