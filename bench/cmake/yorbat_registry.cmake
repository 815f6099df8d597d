# The registry benchmark reaches the library's internals through its object library.
if(TARGET yorbat_registry_bench)
  target_link_libraries(yorbat_registry_bench PRIVATE yorbat_objects_t)
endif()
