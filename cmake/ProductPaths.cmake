# Every fixed path of the product is spelled here once; the generated header
# yq_paths.h turns these cache variables into macros for the sources.
set(YQ_PATH_KELDA       "/usr/kelda"               CACHE PATH "Product installation root")
set(YQ_PATH_LOG_DIR     "/usr/kelda/carrow/logs"   CACHE PATH "Per-program debug log directory")
set(YQ_PATH_CARROW_DIR  "/usr/kelda/carrow"        CACHE PATH "Product configuration directory")
set(YQ_CW_CONF_NAME     "cw.conf"                  CACHE STRING "Product configuration file name")
set(YQ_PATH_CRCONF_LIB  "/usr/kelda/lib/libYcrconf.so" CACHE FILEPATH "Configuration library")
set(YQ_PATH_YNETD_DIR   "/usr/kelda/var/ynetd"     CACHE PATH "ynetd rendezvous directory")
set(YQ_PATH_MSG_DIR     "/usr/kelda/msg"           CACHE PATH "Message catalog directory")
set(YQ_PATH_MSG_CONF    "/usr/kelda/msg/.conf"     CACHE FILEPATH "Locale definition file")
set(YQ_PATH_YSS_DIR     "/etc/yq/yss"              CACHE PATH "Security-services configuration directory")
set(YQ_PATH_YORBAT_CONF "/etc/yq/yss/YORBat.conf"  CACHE FILEPATH "Authentication configuration file")
set(YQ_PATH_YORBAT_LOC  "/etc/yq/yss/YORBat.loc"   CACHE FILEPATH "Authentication library location file")
set(YQ_PATH_YORBAT_HOME "/opt/YORBat"              CACHE PATH "Authentication library installation")
set(YQ_PATH_YQSS_DIR    "/usr/kelda/var/yqss"      CACHE PATH "Machine credential tree")
set(YQ_PATH_YQSS_CREDENTIALS "/usr/kelda/var/yqss/credentials" CACHE PATH "Machine credential directory")
set(YQ_PATH_CWCRAT_HELPER "/usr/kelda/carrow/bin/cwcrat_helper" CACHE FILEPATH "Out-of-process client magic program")
set(YQ_PATH_HELPER_LIB  "/usr/kelda/lib/libYqSS_helper.so" CACHE FILEPATH "This library, installed")
set(YQ_PATH_CONNECT_BACK_DIR "/tmp"                CACHE PATH "Where connect-back listeners are made")
set(YQ_CONNECT_BACK_PREFIX "ynet"                  CACHE STRING "Name prefix of connect-back listeners")

configure_file(${CMAKE_SOURCE_DIR}/cmake/yq_paths.h.in
               ${CMAKE_BINARY_DIR}/generated/yq_paths.h @ONLY)
