# ---- The authentication library's OpenSSL layer: the test, the import fuzz
# target and the bench reach its internals through the threaded objects.
if(TARGET yorbat_tls_test)
  target_link_libraries(yorbat_tls_test PRIVATE yorbat_objects_t)
endif()
if(TARGET yorbat_import_fuzz_replay)
  target_link_libraries(yorbat_import_fuzz_replay PRIVATE yorbat_objects)
endif()
if(TARGET yorbat_import_fuzzer)
  target_link_libraries(yorbat_import_fuzzer PRIVATE yorbat_objects)
endif()
