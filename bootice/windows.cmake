# bootice.exe, the boot tool's Windows front, and its tests. Included at the
# end of bootice/CMakeLists.txt in both builds: the native build tests the
# disk guard's decisions, the Windows build makes bootice.exe and runs it
# under Wine.

# The guard decides over facts; it makes no system call, so both builds have it.
add_library(bootice_guard STATIC ${CMAKE_CURRENT_LIST_DIR}/DiskGuard.cpp ${CMAKE_CURRENT_LIST_DIR}/VolumeWork.cpp)
target_include_directories(bootice_guard PUBLIC ${CMAKE_SOURCE_DIR})

if(DROVELKIT_WINDOWS)
  add_executable(bootice_exe
    ${CMAKE_CURRENT_LIST_DIR}/Main_win32.cpp
    ${CMAKE_CURRENT_LIST_DIR}/Disk_win32.cpp
    ${CMAKE_SOURCE_DIR}/platform/RestoreRecord_win32.cpp)
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

  # The disk half through Wine (ctest label "windisk"): vdisk.sys, a kernel
  # driver for Wine's 64-bit ntoskrnl, serves image files as disks 2 and 3;
  # bootice_windisk.exe is this front over the scripted volume manager of
  # tests/windisk/SeamMain_win32.cpp. Each scenario is a test of its own.
  find_program(DROVELKIT_DRIVER_CC x86_64-w64-mingw32-gcc)
  set(_windisk ${CMAKE_SOURCE_DIR}/tests/windisk)
  if(DROVELKIT_DRIVER_CC AND DROVELKIT_NATIVE_BUILD_DIR)
    add_executable(bootice_windisk ${_windisk}/SeamMain_win32.cpp ${CMAKE_CURRENT_LIST_DIR}/Disk_win32.cpp
                 ${CMAKE_SOURCE_DIR}/platform/RestoreRecord_win32.cpp)
    target_compile_definitions(bootice_windisk PRIVATE UNICODE _UNICODE WIN32_LEAN_AND_MEAN _WIN32_WINNT=0x0601)
    target_link_libraries(bootice_windisk PRIVATE bootice_core bootice_bootcode bootice_guard)
    target_link_options(bootice_windisk PRIVATE -municode -mconsole -static -static-libgcc -static-libstdc++)
    set(_driver ${CMAKE_CURRENT_BINARY_DIR}/vdisk.sys)
    add_custom_command(OUTPUT ${_driver}
      COMMAND ${DROVELKIT_DRIVER_CC} -O1 -Wall -I/usr/x86_64-w64-mingw32/include/ddk -nostdlib -Wl,--subsystem,native -Wl,--entry,DriverEntry
              -o ${_driver} ${_windisk}/vdisk.c -lntoskrnl
      DEPENDS ${_windisk}/vdisk.c COMMENT "Building the virtual disk driver vdisk.sys" VERBATIM)
    add_custom_target(bootice_windisk_driver ALL DEPENDS ${_driver})
    add_dependencies(bootice_windisk bootice_windisk_driver)

    set(_windisk_work ${CMAKE_CURRENT_BINARY_DIR}/windisk)
    set(_windisk_run ${Python3_EXECUTABLE} ${_windisk}/windisk_test.py)
    add_test(NAME windisk_setup COMMAND ${_windisk_run} setup --work ${_windisk_work} --wine ${DROVELKIT_WINE}
                                        --driver ${_driver})
    add_test(NAME windisk_cleanup COMMAND ${_windisk_run} cleanup --work ${_windisk_work})
    set_tests_properties(windisk_setup PROPERTIES FIXTURES_SETUP windisk)
    set_tests_properties(windisk_cleanup PROPERTIES FIXTURES_CLEANUP windisk)
    foreach(_row plain autoplay-opens-new-volume new-volume-arrives-late letter-taken-meanwhile
                 old-esp-mounted-unlisted automount-off transfer-error-once
                 remount-after-dismount remounted-at-once-refused killed-after-layout gpt-stick exfat-from-ntfs)
      add_test(NAME windisk.${_row} COMMAND ${_windisk_run} row ${_row} --work ${_windisk_work}
                                            --wine ${DROVELKIT_WINE} --seam $<TARGET_FILE:bootice_windisk>
                                            --front ${DROVELKIT_NATIVE_BUILD_DIR}/bootice/bootice
                                            --firmware-dir ${CMAKE_BINARY_DIR}/payload/firmware)
      set_tests_properties(windisk.${_row} PROPERTIES FIXTURES_REQUIRED windisk)
      list(APPEND _windisk_tests windisk.${_row})
    endforeach()
    set_tests_properties(windisk_setup windisk_cleanup ${_windisk_tests} PROPERTIES
      LABELS "windisk;wine" RUN_SERIAL TRUE TIMEOUT 300 SKIP_RETURN_CODE 77 ENVIRONMENT "PYTHONDONTWRITEBYTECODE=1")
  endif()
else()
  add_executable(bootice_guard_tests ${CMAKE_CURRENT_LIST_DIR}/tests/DiskGuardTest.cpp
                 ${CMAKE_CURRENT_LIST_DIR}/tests/VolumeWorkTest.cpp)
  target_link_libraries(bootice_guard_tests PRIVATE bootice_guard GTest::gtest_main)
  gtest_discover_tests(bootice_guard_tests PROPERTIES LABELS unit)
endif()
