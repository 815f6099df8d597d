# Strict warnings for the project's own code only (not for third-party headers).
set(YQ_WARNINGS -Wall -Wextra -Werror)

# The wider set, for the library, the companions, the examples and the
# benchmarks (not yet for the tests). Left out on purpose:
#   -Wsign-conversion    the C interface passes sizes and counts as int, so every
#                        hand-over to a size_t call would need a cast that proves
#                        nothing; conversions that can lose a value are still
#                        caught by -Wconversion (clang's -Wconversion includes
#                        it, so it is switched off there to keep both alike)
#   -Wuseless-cast       (GCC) fires on casts between types that are the same on
#                        Linux but not everywhere (socklen_t, time_t, ssize_t)
#   -Wpedantic           the descriptor hand-over message embeds struct cmsghdr,
#                        whose flexible array member -Wpedantic rejects, to get
#                        the ancillary data's alignment right
#   -Wformat-nonliteral  (part of -Wformat=2) message catalogs supply formats at
#                        run time by design
#   -Wduplicated-branches, -Wlogical-op (GCC) report branches and conditions
#                        that differ only in constants equal on Linux but not
#                        everywhere (errno != EAGAIN && errno != EWOULDBLOCK)
#   -Wdouble-promotion   only matters where the FPU lacks double; clang also
#                        reports exact widenings to long double (the scanner)
#   -Wcast-align=strict  (GCC) reports every cast out of byte storage, aligned
#                        or not; the sanitized suite's alignment check catches
#                        the misaligned ones (plain -Wcast-align is silent on
#                        x86)
option(YQ_MORE_WARNINGS "Also build the project's own code with the wider warning set" ON)
set(YQ_MORE_WARNING_FLAGS
  -Wshadow -Wconversion -Wcast-qual -Wformat=2 -Wno-format-nonliteral
  -Wnull-dereference -Wimplicit-fallthrough -Wundef
  $<$<COMPILE_LANGUAGE:CXX>:-Wold-style-cast> $<$<COMPILE_LANGUAGE:CXX>:-Wnon-virtual-dtor>
  $<$<COMPILE_LANGUAGE:CXX>:-Woverloaded-virtual>
  $<$<CXX_COMPILER_ID:GNU>:-Wduplicated-cond> $<$<CXX_COMPILER_ID:Clang>:-Wno-sign-conversion>)

function(yq_strict target)
  target_compile_options(${target} PRIVATE ${YQ_WARNINGS})
  get_target_property(dir ${target} SOURCE_DIR)
  string(FIND "${dir}/" "${CMAKE_SOURCE_DIR}/tests/" in_tests)
  if(YQ_MORE_WARNINGS AND NOT in_tests EQUAL 0)
    target_compile_options(${target} PRIVATE ${YQ_MORE_WARNING_FLAGS})
  endif()
endfunction()
