# ---- The authentication library's registry and its admin tool: the tests
# reach the library's internals through its object library.
if(TARGET yorbat_registry_test)
  target_link_libraries(yorbat_registry_test PRIVATE yorbat_objects_t)
endif()
foreach(fuzz yorbat_pdr_fuzz_replay yorbat_pdr_fuzzer)
  if(TARGET ${fuzz})
    target_link_libraries(${fuzz} PRIVATE yorbat_objects)
  endif()
endforeach()
