# Installation: `cmake --install build --prefix P` (DESTDIR honoured) lays out
# the product tree under P, and `cpack -G DEB` packs the same tree.
#
#   P/lib                 libYqSS_helper, libYcrconf, libyorbat, libyorbat_t,
#                         the pkg-config file and the CMake package config
#   P/include             the public C headers
#   P/bin                 yorbat_admin, cwcrat_helper, ynetctl
#   P/sbin                the daemons ynetd and yorbat_broker
#   P/msg                 the message catalogs and the locale definition file
#   P/lib/systemd/system  the daemons' units
#
# Without a prefix the tree goes where the product looks for it.
if(CMAKE_INSTALL_PREFIX_INITIALIZED_TO_DEFAULT)
  set(CMAKE_INSTALL_PREFIX "${YQ_PATH_KELDA}" CACHE PATH "Installation prefix" FORCE)
endif()

# Installing and packing copy what was built and never start a build of
# their own (`cmake --install` never does; `cpack` and `make install` alike).
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)

set(YQ_INSTALL_LIBDIR     "lib"                 CACHE STRING "Libraries, below the prefix")
set(YQ_INSTALL_BINDIR     "bin"                 CACHE STRING "Tools, below the prefix")
set(YQ_INSTALL_SBINDIR    "sbin"                CACHE STRING "Daemons, below the prefix")
set(YQ_INSTALL_INCLUDEDIR "include"             CACHE STRING "Public headers, below the prefix")
set(YQ_INSTALL_MSGDIR     "msg"                 CACHE STRING "Message catalogs, below the prefix")
set(YQ_INSTALL_SYSTEMDDIR "lib/systemd/system"  CACHE STRING "systemd units, below the prefix")
set(YQ_INSTALL_CMAKEDIR   "${YQ_INSTALL_LIBDIR}/cmake/YqSS_helper")

# Installed programs find the installed libraries beside them, wherever the
# tree was put; the build tree keeps its own search path.
file(RELATIVE_PATH yq_bin_to_lib "/p/${YQ_INSTALL_BINDIR}" "/p/${YQ_INSTALL_LIBDIR}")
foreach(program ynetd yorbat_broker yorbat_admin cwcrat_helper ynetctl)
  if(TARGET ${program})
    set_target_properties(${program} PROPERTIES INSTALL_RPATH "$ORIGIN/${yq_bin_to_lib}")
  endif()
endforeach()

file(GLOB YQ_PUBLIC_HEADERS CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/common/include/*.h)
# Consumers of the exported target see the installed headers, never the source.
set_property(TARGET YqSS_helper PROPERTY INTERFACE_INCLUDE_DIRECTORIES
  "$<BUILD_INTERFACE:${CMAKE_SOURCE_DIR}/common/include>"
  "$<INSTALL_INTERFACE:${YQ_INSTALL_INCLUDEDIR}>")
set_target_properties(YqSS_helper PROPERTIES PUBLIC_HEADER "${YQ_PUBLIC_HEADERS}")

install(TARGETS YqSS_helper EXPORT YqSS_helperTargets
  LIBRARY DESTINATION ${YQ_INSTALL_LIBDIR}
  PUBLIC_HEADER DESTINATION ${YQ_INSTALL_INCLUDEDIR})
install(TARGETS Ycrconf yorbat yorbat_t LIBRARY DESTINATION ${YQ_INSTALL_LIBDIR})
foreach(tool yorbat_admin cwcrat_helper ynetctl)
  if(TARGET ${tool})
    install(TARGETS ${tool} RUNTIME DESTINATION ${YQ_INSTALL_BINDIR})
  endif()
endforeach()
foreach(daemon ynetd yorbat_broker)
  if(TARGET ${daemon})
    install(TARGETS ${daemon} RUNTIME DESTINATION ${YQ_INSTALL_SBINDIR})
  endif()
endforeach()
install(DIRECTORY ${CMAKE_SOURCE_DIR}/companions/msg/ DESTINATION ${YQ_INSTALL_MSGDIR})

# The units name the daemons by their installed paths.
set(YQ_UNIT_SBINDIR "${CMAKE_INSTALL_PREFIX}/${YQ_INSTALL_SBINDIR}")
foreach(unit ynetd.service yorbat-broker.service)
  configure_file(${CMAKE_SOURCE_DIR}/packaging/systemd/${unit}.in
                 ${CMAKE_BINARY_DIR}/packaging/systemd/${unit} @ONLY)
  install(FILES ${CMAKE_BINARY_DIR}/packaging/systemd/${unit} DESTINATION ${YQ_INSTALL_SYSTEMDDIR})
endforeach()
install(FILES ${CMAKE_SOURCE_DIR}/packaging/systemd/ynetd.socket DESTINATION ${YQ_INSTALL_SYSTEMDDIR})

# pkg-config: the prefix is worked out from the file's own place, so a tree
# installed under a DESTDIR or moved elsewhere still describes itself.
file(RELATIVE_PATH yq_pc_to_prefix "/p/${YQ_INSTALL_LIBDIR}/pkgconfig" "/p")
configure_file(${CMAKE_SOURCE_DIR}/cmake/YqSS_helper.pc.in
               ${CMAKE_BINARY_DIR}/packaging/YqSS_helper.pc @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/packaging/YqSS_helper.pc DESTINATION ${YQ_INSTALL_LIBDIR}/pkgconfig)

# CMake: find_package(YqSS_helper) gives YqSS_helper::YqSS_helper.
include(CMakePackageConfigHelpers)
install(EXPORT YqSS_helperTargets NAMESPACE YqSS_helper:: DESTINATION ${YQ_INSTALL_CMAKEDIR})
configure_package_config_file(${CMAKE_SOURCE_DIR}/cmake/YqSS_helperConfig.cmake.in
  ${CMAKE_BINARY_DIR}/packaging/YqSS_helperConfig.cmake
  INSTALL_DESTINATION ${YQ_INSTALL_CMAKEDIR})
write_basic_package_version_file(${CMAKE_BINARY_DIR}/packaging/YqSS_helperConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/packaging/YqSS_helperConfig.cmake
              ${CMAKE_BINARY_DIR}/packaging/YqSS_helperConfigVersion.cmake
        DESTINATION ${YQ_INSTALL_CMAKEDIR})

# Debian package: `cpack -G DEB` in the build tree. The dependencies are the
# run-time packages of what the libraries and programs link: ACE (the
# security services), OpenSSL and PAM (the authentication companion), the C
# and C++ run-times.
set(CPACK_PACKAGE_NAME "yqss-helper")
set(CPACK_PACKAGE_VENDOR "YqSS")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "Connection helper library with its daemon, configuration and authentication companions")
set(CPACK_PACKAGING_INSTALL_PREFIX "${CMAKE_INSTALL_PREFIX}")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "YqSS maintainers <yqss@localhost>")
set(CPACK_DEBIAN_PACKAGE_SECTION "net")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_DEPENDS
    "libace-${ACE_VERSION}, libssl3, libpam0g, libc6 (>= 2.34), libstdc++6")
set(CPACK_GENERATOR "DEB")
include(CPack)
