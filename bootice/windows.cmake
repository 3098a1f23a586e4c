# bootice.exe, the boot tool's Windows front, and its tests. Included at the
# end of bootice/CMakeLists.txt in both builds: the native build tests the
# disk guard's decisions, the Windows build makes bootice.exe and runs it
# under Wine.

# The guard decides over facts; it makes no system call, so both builds have it.
add_library(bootice_guard STATIC ${CMAKE_CURRENT_LIST_DIR}/DiskGuard.cpp)
target_include_directories(bootice_guard PUBLIC ${CMAKE_SOURCE_DIR})

if(DROVELKIT_WINDOWS)
  add_executable(bootice_exe
    ${CMAKE_CURRENT_LIST_DIR}/Main_win32.cpp
    ${CMAKE_CURRENT_LIST_DIR}/Disk_win32.cpp)
  set_target_properties(bootice_exe PROPERTIES OUTPUT_NAME bootice)
  target_compile_definitions(bootice_exe PRIVATE UNICODE _UNICODE WIN32_LEAN_AND_MEAN _WIN32_WINNT=0x0601)
  target_link_libraries(bootice_exe PRIVATE bootice_core bootice_bootcode bootice_guard)
  # A console program with no DLLs of the compiler's runtime: it runs from
  # the payload folder alone.
  target_link_options(bootice_exe PRIVATE -municode -mconsole -static -static-libgcc -static-libstdc++ -s)

  # Under Wine the disk control calls are not answered: every command form
  # must end at once with a message and leave the Wine tests' drive E: as it was.
  find_package(Python3 COMPONENTS Interpreter REQUIRED)
  add_test(NAME wine_bootice
    COMMAND ${Python3_EXECUTABLE} ${CMAKE_SOURCE_DIR}/tests/wine/test_bootice.py)
  set_tests_properties(wine_bootice PROPERTIES
    FIXTURES_REQUIRED wine_prefix LABELS wine RUN_SERIAL TRUE TIMEOUT 300 SKIP_RETURN_CODE 77
    ENVIRONMENT "DROVELKIT_BUILD_DIR=${CMAKE_BINARY_DIR};DROVELKIT_BOOTICE=$<TARGET_FILE:bootice_exe>;${DROVELKIT_WINE_ENV};DROVELKIT_EXE=${DROVELKIT_EXE};PYTHONDONTWRITEBYTECODE=1")
else()
  add_executable(bootice_guard_tests ${CMAKE_CURRENT_LIST_DIR}/tests/DiskGuardTest.cpp)
  target_link_libraries(bootice_guard_tests PRIVATE bootice_guard GTest::gtest_main)
  gtest_discover_tests(bootice_guard_tests PROPERTIES LABELS unit)
endif()
