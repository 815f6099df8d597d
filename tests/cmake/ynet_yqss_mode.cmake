# ---- ynet_yqss: the decision runs against real ynetd processes that answer
# from cw.conf through the configuration library; the client magic runs the
# installed library or a stand-in of the helper program.
if(TARGET ynet_yqss_mode_test)
  add_dependencies(ynet_yqss_mode_test ynetd Ycrconf)
  target_compile_definitions(ynet_yqss_mode_test PRIVATE
    YNETD_BIN="$<TARGET_FILE:ynetd>" YCRCONF_LIB="$<TARGET_FILE:Ycrconf>")
  set_tests_properties(ynet_yqss_mode_test PROPERTIES TIMEOUT 240)
endif()
if(TARGET ynet_yqss_exec_test)
  add_executable(ynet_yqss_standin ${CMAKE_SOURCE_DIR}/tests/unit/ynet_yqss_standin.cpp)
  yq_strict(ynet_yqss_standin)
  add_dependencies(ynet_yqss_exec_test ynet_yqss_standin YqSS_helper cwcrat_helper Ycrconf)
  target_compile_definitions(ynet_yqss_exec_test PRIVATE
    STANDIN_BIN="$<TARGET_FILE:ynet_yqss_standin>" HELPER_LIB="$<TARGET_FILE:YqSS_helper>"
    CWCRAT_HELPER_BIN="$<TARGET_FILE:cwcrat_helper>" YCRCONF_LIB="$<TARGET_FILE:Ycrconf>")
endif()
