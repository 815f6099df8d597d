# ---- ynet reporters: the report test installs the real configuration library
# in the sandbox, so that cw.conf sets the verbosity the reporters read.
if(TARGET ynet_report_test)
  add_dependencies(ynet_report_test Ycrconf)
  target_compile_definitions(ynet_report_test PRIVATE YCRCONF_LIB="$<TARGET_FILE:Ycrconf>")
endif()
