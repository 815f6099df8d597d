# ---- name resolution: the tests read their hosts file and row tables from
# tests/unit/data/.
foreach(test ynet_hosts_test ynet_servs_test hosts_equal_test local_addrs_test)
  target_compile_definitions(${test} PRIVATE YQ_TEST_DATA="${CMAKE_SOURCE_DIR}/tests/unit/data")
endforeach()
