# ---- ynetctl: the tool runs on a test host against real ynetd processes that
# answer from cw.conf through the configuration library.
if(TARGET ynetctl_test)
  add_dependencies(ynetctl_test ynetctl ynetd Ycrconf yorbat yorbat_admin)
  target_compile_definitions(ynetctl_test PRIVATE
    YNETCTL_BIN="$<TARGET_FILE:ynetctl>" YNETD_BIN="$<TARGET_FILE:ynetd>" YCRCONF_LIB="$<TARGET_FILE:Ycrconf>"
    YORBAT_LIB="$<TARGET_FILE:yorbat>" YORBAT_ADMIN_BIN="$<TARGET_FILE:yorbat_admin>")
  set_tests_properties(ynetctl_test PROPERTIES TIMEOUT 240)
endif()
