# What differs between the 32-bit and the 64-bit Windows build, derived from
# the toolchain file. Everything else is the same CMake for both.
#
# Out: DROVELKIT_MINGW_HOST      the cross toolchain's triple
#      DROVELKIT_EXE_NAME        drovelkit (32-bit) or drovelkit64 (64-bit)
#      DROVELKIT_EXE             the program's full path in this build
#      DROVELKIT_MANIFEST_ARCH   processorArchitecture of the manifest
#      DROVELKIT_SYMBOL_PREFIX   the compiler's user label prefix ("_" or none)
#      DROVELKIT_WINE            the Wine loader that starts this build's programs
#      DROVELKIT_WINE_ENV        "DROVELKIT_WINE=..." for the tests' ENVIRONMENT

if(CMAKE_SYSTEM_PROCESSOR STREQUAL "x86_64")
  set(DROVELKIT_MINGW_HOST x86_64-w64-mingw32)
  set(DROVELKIT_EXE_NAME drovelkit64)
  set(DROVELKIT_MANIFEST_ARCH amd64)
  # Debian's wine and wineboot commands go through the 32-bit loader, which
  # some kernels cannot run; the 64-bit loader is not on the PATH.
  set(_dk_wine_default /usr/lib/wine/wine64)
elseif(CMAKE_SYSTEM_PROCESSOR MATCHES "^i[3-6]86$")
  set(DROVELKIT_MINGW_HOST i686-w64-mingw32)
  set(DROVELKIT_EXE_NAME drovelkit)
  set(DROVELKIT_MANIFEST_ARCH x86)
  set(_dk_wine_default wine)
else()
  message(FATAL_ERROR "No Windows build for processor '${CMAKE_SYSTEM_PROCESSOR}'")
endif()
set(DROVELKIT_EXE "${CMAKE_BINARY_DIR}/${DROVELKIT_EXE_NAME}.exe")
set(DROVELKIT_WINE "${_dk_wine_default}" CACHE STRING "Wine loader for this build's programs")
set(DROVELKIT_WINE_ENV "DROVELKIT_WINE=${DROVELKIT_WINE}")

# x86-64 C symbols have no leading underscore, i686 ones do: the compiler says.
execute_process(
  COMMAND ${CMAKE_C_COMPILER} -dM -E -x c -
  INPUT_FILE /dev/null
  OUTPUT_VARIABLE _dk_macros
  RESULT_VARIABLE _dk_macros_result)
if(NOT _dk_macros_result EQUAL 0 OR NOT _dk_macros MATCHES "#define __USER_LABEL_PREFIX__ ?([_]*)\n")
  message(FATAL_ERROR "${CMAKE_C_COMPILER} does not tell its user label prefix")
endif()
set(DROVELKIT_SYMBOL_PREFIX "${CMAKE_MATCH_1}")
