# ---- The magic exchange: a client on one test host and a server on the
# other, each with the configuration library and the authentication library
# installed, machine credentials from the admin tool and the broker running;
# the client host also has the helper program for the out-of-process magic.
if(TARGET ynet_yqss_magic_test)
  add_dependencies(ynet_yqss_magic_test yorbat yorbat_broker yorbat_admin Ycrconf cwcrat_helper)
  target_compile_definitions(ynet_yqss_magic_test PRIVATE
    YORBAT_LIB="$<TARGET_FILE:yorbat>" YORBAT_BROKER_BIN="$<TARGET_FILE:yorbat_broker>"
    YORBAT_ADMIN_BIN="$<TARGET_FILE:yorbat_admin>" YCRCONF_LIB="$<TARGET_FILE:Ycrconf>"
    CWCRAT_HELPER_BIN="$<TARGET_FILE:cwcrat_helper>")
  set_tests_properties(ynet_yqss_magic_test PROPERTIES TIMEOUT 240)
endif()
