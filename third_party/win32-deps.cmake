# Static PCRE2 and libpng for the Windows build, cross-built from Debian's
# source packages at configure time (see build-win32-deps.sh). Defines the
# imported targets pcre2_win32 and png_win32.

set(DROVELKIT_WIN32_DEPS_DIR "${CMAKE_BINARY_DIR}/deps")

message(STATUS "Building PCRE2 and libpng for Windows in ${DROVELKIT_WIN32_DEPS_DIR}")
execute_process(
  COMMAND bash "${CMAKE_CURRENT_LIST_DIR}/build-win32-deps.sh" "${DROVELKIT_WIN32_DEPS_DIR}"
          "${DROVELKIT_MINGW_HOST}"
  RESULT_VARIABLE _drovelkit_deps_result
  OUTPUT_FILE "${CMAKE_BINARY_DIR}/deps-build.log"
  ERROR_FILE "${CMAKE_BINARY_DIR}/deps-build.log")
if(NOT _drovelkit_deps_result EQUAL 0)
  message(FATAL_ERROR "third_party/build-win32-deps.sh failed (${_drovelkit_deps_result}); "
                      "see ${CMAKE_BINARY_DIR}/deps-build.log")
endif()
# Editing the script must rerun it.
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
  "${CMAKE_CURRENT_LIST_DIR}/build-win32-deps.sh")

set(DROVELKIT_WIN32_ZLIB "/usr/${DROVELKIT_MINGW_HOST}/lib/libz.a")

if(NOT TARGET pcre2_win32)
  add_library(pcre2_win32 STATIC IMPORTED GLOBAL)
  set_target_properties(pcre2_win32 PROPERTIES
    IMPORTED_LOCATION "${DROVELKIT_WIN32_DEPS_DIR}/lib/libpcre2-8.a"
    INTERFACE_INCLUDE_DIRECTORIES "${DROVELKIT_WIN32_DEPS_DIR}/include"
    INTERFACE_COMPILE_DEFINITIONS "PCRE2_STATIC;PCRE2_CODE_UNIT_WIDTH=8")
endif()

if(NOT TARGET png_win32)
  add_library(png_win32 STATIC IMPORTED GLOBAL)
  set_target_properties(png_win32 PROPERTIES
    IMPORTED_LOCATION "${DROVELKIT_WIN32_DEPS_DIR}/lib/libpng16.a"
    INTERFACE_INCLUDE_DIRECTORIES "${DROVELKIT_WIN32_DEPS_DIR}/include;/usr/${DROVELKIT_MINGW_HOST}/include"
    INTERFACE_LINK_LIBRARIES "${DROVELKIT_WIN32_ZLIB}")
endif()
