# ---- the authentication library: its core objects are linked in, and both
# builds of the shared library are installed by the test itself.
if(TARGET yorbat_library_test)
  target_link_libraries(yorbat_library_test PRIVATE yorbat_objects_t)
  add_dependencies(yorbat_library_test yorbat yorbat_t)
  target_compile_definitions(yorbat_library_test PRIVATE
    YORBAT_LIB="$<TARGET_FILE:yorbat>" YORBAT_T_LIB="$<TARGET_FILE:yorbat_t>")
endif()
