# ---- Credentials and logins: the real authentication library, broker and
# admin tool, and the configuration library reading cw.conf.
if(TARGET ynet_yqss_credentials_test)
  add_dependencies(ynet_yqss_credentials_test yorbat yorbat_broker yorbat_admin Ycrconf)
  target_compile_definitions(ynet_yqss_credentials_test PRIVATE
    YORBAT_LIB="$<TARGET_FILE:yorbat>" YORBAT_BROKER_BIN="$<TARGET_FILE:yorbat_broker>"
    YORBAT_ADMIN_BIN="$<TARGET_FILE:yorbat_admin>" YCRCONF_LIB="$<TARGET_FILE:Ycrconf>")
endif()
