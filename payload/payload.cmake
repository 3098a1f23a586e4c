# The payload block stored in drovelkit.exe (drovelkit64.exe): the console 7-Zip self-extractor
# followed by a password-protected archive whose top folder is drovelkit/.
#
# In:  DROVELKIT_PAYLOAD_EXTRA          "SOURCE|path/inside/drovelkit" entries
#                                       (SOURCE may be a generator expression)
#      DROVELKIT_PAYLOAD_EXTRA_DEPENDS  targets those files come from
# Out: target payload_block producing ${DROVELKIT_PAYLOAD_BIN} and the SHA-256 list of its
#      files ${DROVELKIT_PAYLOAD_DIGESTS}
#      target payload_firmware producing payload/firmware/{bios,efi32,efi64}.bin
#      variables DROVELKIT_PAYLOAD_BIN, DROVELKIT_ARCHIVER_EXE, DROVELKIT_FIRMWARE_DIR
#
# The slow third-party builds (7-Zip, edk2) are cached in payload/work with
# stamp files, so they rerun only when their script or patch changes. The
# firmware is the same for both Windows builds: DROVELKIT_OVMF_IA32_WORK lets
# one build use the other's edk2 folder (a lock keeps two builds from
# building it at once).

set(_dk_payload_build "${CMAKE_CURRENT_LIST_DIR}/build")
set(_dk_payload_dir "${CMAKE_BINARY_DIR}/payload")
set(_dk_payload_work "${_dk_payload_dir}/work")

set(DROVELKIT_PAYLOAD_BIN "${_dk_payload_dir}/payload.bin")
set(DROVELKIT_PAYLOAD_DIGESTS "${DROVELKIT_PAYLOAD_BIN}.sha256")
set(DROVELKIT_FIRMWARE_DIR "${_dk_payload_dir}/firmware")
set(DROVELKIT_ARCHIVER_EXE "${_dk_payload_work}/7zip/out/7zdrovelkit.exe")
set(_dk_sfx_stub "${_dk_payload_work}/7zip/out/7zCon.sfx")
set(DROVELKIT_OVMF_IA32_WORK "${_dk_payload_work}/edk2" CACHE PATH
    "Work folder of the OVMF IA32 build (may be shared with the other Windows build)")
set(_dk_ovmf_ia32 "${DROVELKIT_OVMF_IA32_WORK}/out/OVMF-IA32.fd")

# Debian's file names (packages seabios and ovmf).
set(DROVELKIT_SEABIOS_IMAGE "/usr/share/seabios/bios.bin" CACHE FILEPATH "SeaBIOS image")
set(DROVELKIT_OVMF_X64_IMAGE "/usr/share/ovmf/OVMF.fd" CACHE FILEPATH "64-bit OVMF image")
foreach(_dk_fw IN ITEMS "${DROVELKIT_SEABIOS_IMAGE}" "${DROVELKIT_OVMF_X64_IMAGE}")
  if(NOT EXISTS "${_dk_fw}")
    message(FATAL_ERROR "Firmware image ${_dk_fw} is missing; run scripts/setup.sh")
  endif()
endforeach()
find_program(DROVELKIT_7ZZ 7zz REQUIRED)

add_custom_command(
  OUTPUT "${DROVELKIT_ARCHIVER_EXE}" "${_dk_sfx_stub}"
  COMMAND bash "${_dk_payload_build}/build-7zip.sh" "${_dk_payload_work}/7zip" "${DROVELKIT_MINGW_HOST}"
  DEPENDS "${_dk_payload_build}/build-7zip.sh" "${_dk_payload_build}/7zip-volume-comment.patch"
  COMMENT "Building 7-Zip (archiver and SFX stub) for Windows"
  VERBATIM)
add_custom_target(payload_archiver DEPENDS "${DROVELKIT_ARCHIVER_EXE}" "${_dk_sfx_stub}")

add_custom_command(
  OUTPUT "${_dk_ovmf_ia32}"
  COMMAND ${CMAKE_COMMAND} -E make_directory "${DROVELKIT_OVMF_IA32_WORK}"
  COMMAND flock "${DROVELKIT_OVMF_IA32_WORK}/.lock"
          bash "${_dk_payload_build}/build-ovmf-ia32.sh" "${DROVELKIT_OVMF_IA32_WORK}"
  DEPENDS "${_dk_payload_build}/build-ovmf-ia32.sh"
  COMMENT "Building OVMF IA32 (no SMM, no Secure Boot) from Debian's edk2 source"
  VERBATIM)

set(_dk_firmware_files
  "${DROVELKIT_FIRMWARE_DIR}/bios.bin"
  "${DROVELKIT_FIRMWARE_DIR}/efi32.bin"
  "${DROVELKIT_FIRMWARE_DIR}/efi64.bin")
add_custom_command(
  OUTPUT ${_dk_firmware_files}
  COMMAND ${CMAKE_COMMAND} -E make_directory "${DROVELKIT_FIRMWARE_DIR}"
  COMMAND ${CMAKE_COMMAND} -E copy "${DROVELKIT_SEABIOS_IMAGE}" "${DROVELKIT_FIRMWARE_DIR}/bios.bin"
  COMMAND ${CMAKE_COMMAND} -E copy "${_dk_ovmf_ia32}" "${DROVELKIT_FIRMWARE_DIR}/efi32.bin"
  COMMAND ${CMAKE_COMMAND} -E copy "${DROVELKIT_OVMF_X64_IMAGE}" "${DROVELKIT_FIRMWARE_DIR}/efi64.bin"
  DEPENDS "${DROVELKIT_SEABIOS_IMAGE}" "${_dk_ovmf_ia32}" "${DROVELKIT_OVMF_X64_IMAGE}"
  COMMENT "Collecting firmware images"
  VERBATIM)
add_custom_target(payload_firmware DEPENDS ${_dk_firmware_files})

set(_dk_payload_entries
  "${DROVELKIT_ARCHIVER_EXE}|7zdrovelkit.exe"
  "${DROVELKIT_FIRMWARE_DIR}/bios.bin|qemu/bios.bin"
  "${DROVELKIT_FIRMWARE_DIR}/efi32.bin|qemu/efi32.bin"
  "${DROVELKIT_FIRMWARE_DIR}/efi64.bin|qemu/efi64.bin")
set(_dk_payload_sources)
foreach(_dk_entry IN LISTS DROVELKIT_PAYLOAD_EXTRA)
  if(NOT _dk_entry MATCHES "^(.+)\\|([^|]+)$")
    message(FATAL_ERROR "DROVELKIT_PAYLOAD_EXTRA entry '${_dk_entry}' is not SOURCE|path")
  endif()
  list(APPEND _dk_payload_sources "${CMAKE_MATCH_1}")
  list(APPEND _dk_payload_entries "${_dk_entry}")
endforeach()

add_custom_command(
  OUTPUT "${DROVELKIT_PAYLOAD_BIN}" "${DROVELKIT_PAYLOAD_DIGESTS}"
  COMMAND bash "${_dk_payload_build}/make-payload.sh"
          "${DROVELKIT_PAYLOAD_BIN}" "${_dk_sfx_stub}" "${_dk_payload_work}/stage"
          ${_dk_payload_entries}
  DEPENDS "${_dk_payload_build}/make-payload.sh" "${_dk_sfx_stub}" "${DROVELKIT_ARCHIVER_EXE}"
          ${_dk_firmware_files} ${_dk_payload_sources} ${DROVELKIT_PAYLOAD_EXTRA_DEPENDS}
  COMMENT "Packing the payload block"
  VERBATIM)
add_custom_target(payload_block ALL DEPENDS "${DROVELKIT_PAYLOAD_BIN}" "${DROVELKIT_PAYLOAD_DIGESTS}")
add_dependencies(payload_block payload_archiver payload_firmware)

# Checks of what the payload brings (ctest labels wine and boot). The two Wine
# checks share one prefix, created on first use, and stop its wineserver when
# they end, so they must not overlap.
set(_dk_payload_test "${_dk_payload_dir}/test")
add_test(NAME payload_archiver_contract
  COMMAND bash "${_dk_payload_build}/check-archiver.sh" "${DROVELKIT_ARCHIVER_EXE}"
          "${_dk_payload_test}/archiver" "${_dk_payload_test}/wineprefix")
add_test(NAME payload_block_unpacks
  COMMAND bash "${_dk_payload_build}/check-payload.sh" "${DROVELKIT_PAYLOAD_BIN}"
          "${_dk_payload_test}/sfx" "${_dk_payload_test}/wineprefix" ${_dk_payload_entries})
set_tests_properties(payload_archiver_contract payload_block_unpacks PROPERTIES
  LABELS wine RESOURCE_LOCK drovelkit_payload_wineprefix TIMEOUT 600
  ENVIRONMENT "${DROVELKIT_WINE_ENV}")
add_test(NAME payload_firmware_starts
  COMMAND bash "${_dk_payload_build}/check-firmware.sh" "${DROVELKIT_FIRMWARE_DIR}"
          "${_dk_payload_test}/firmware")
set_tests_properties(payload_firmware_starts PROPERTIES LABELS boot TIMEOUT 300)
