# ---- crconf: the configuration loader's test installs the real
# configuration library or one of these stand-ins (each leaves out or breaks
# one part) at the product's library path, so it needs all of them built.
if(TARGET crconf_test)
  foreach(variant ok no_get no_cleanup init_fails get_fails get_null)
    set(fake crconf_fake_${variant})
    string(TOUPPER ${variant} upper)
    add_library(${fake} MODULE ${CMAKE_SOURCE_DIR}/tests/unit/crconf_fakes/crconf_fake.c)
    target_include_directories(${fake} PRIVATE ${CMAKE_SOURCE_DIR}/common/include)
    target_compile_definitions(${fake} PRIVATE CRCONF_FAKE_${upper}=1)
    set_target_properties(${fake} PROPERTIES
      LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests/crconf_fakes)
    yq_strict(${fake})
    add_dependencies(crconf_test ${fake})
    target_compile_definitions(crconf_test PRIVATE
      CRCONF_FAKE_${upper}_LIB="$<TARGET_FILE:${fake}>")
  endforeach()
  add_dependencies(crconf_test Ycrconf)
  target_compile_definitions(crconf_test PRIVATE CRCONF_REAL_LIB="$<TARGET_FILE:Ycrconf>"
    CRCONF_SAMPLE="${CMAKE_SOURCE_DIR}/tests/unit/data/crconf_cw.conf")
endif()
# The configuration library's parser is fuzzed on its own: its source is
# compiled into the fuzz programs (they link no configuration library).
foreach(fuzz ycrconf_fuzz_replay ycrconf_fuzzer)
  if(TARGET ${fuzz})
    target_sources(${fuzz} PRIVATE ${CMAKE_SOURCE_DIR}/companions/crconf/ycrconf.c)
    target_include_directories(${fuzz} PRIVATE ${CMAKE_SOURCE_DIR}/companions/crconf)
  endif()
endforeach()
