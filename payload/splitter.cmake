# The splitter that puts a Windows image of 4 GiB or more onto FAT32 as .swm
# parts: wimlib-imagex.exe, cross-built at configure time from Debian's
# source packages (build/build-wimlib.sh, stamped, cached in payload/work).
# Appends it to DROVELKIT_PAYLOAD_EXTRA. When a source package cannot be
# fetched the payload goes without it, and the program refuses FAT32 for
# such images at Start, as it did before it could split them.

set(_dk_splitter_script "${CMAKE_CURRENT_LIST_DIR}/build/build-wimlib.sh")
set(_dk_splitter_work "${CMAKE_BINARY_DIR}/payload/work/wimlib")
message(STATUS "Building wimlib-imagex.exe for Windows in ${_dk_splitter_work}")
execute_process(
  COMMAND bash "${_dk_splitter_script}" "${_dk_splitter_work}" "${DROVELKIT_MINGW_HOST}"
  RESULT_VARIABLE _dk_splitter_result
  OUTPUT_FILE "${CMAKE_BINARY_DIR}/wimlib-build.log"
  ERROR_FILE "${CMAKE_BINARY_DIR}/wimlib-build.log")
if(_dk_splitter_result EQUAL 0)
  list(APPEND DROVELKIT_PAYLOAD_EXTRA "${_dk_splitter_work}/out/wimlib-imagex.exe|wimlib-imagex.exe")
elseif(_dk_splitter_result EQUAL 3)
  message(WARNING "wimlib's or libxml2's source package could not be fetched (see "
                  "${CMAKE_BINARY_DIR}/wimlib-build.log): the payload carries no splitter, and FAT32 "
                  "is refused for images holding a Windows image of 4 GiB or more")
else()
  message(FATAL_ERROR "payload/build/build-wimlib.sh failed (${_dk_splitter_result}); "
                      "see ${CMAKE_BINARY_DIR}/wimlib-build.log")
endif()
# Editing the script must rerun it.
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${_dk_splitter_script}")
