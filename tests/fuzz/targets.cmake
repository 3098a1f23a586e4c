# The fuzz targets: one line each, drovelkit_fuzz_target(NAME SOURCE [MORE SOURCES...] [MAX_LEN n]),
# sources relative to the repository. The fuzz build makes fuzz_NAME from them
# and the logic; the native build runs each with its corpus/NAME folder for a
# bounded number of inputs (ctest -L fuzz).
drovelkit_fuzz_target(tool_output tests/fuzz/fuzz_tool_output.cpp)
drovelkit_fuzz_target(wmi_search tests/fuzz/fuzz_wmi_search.cpp)
drovelkit_fuzz_target(drop_list tests/fuzz/fuzz_drop_list.cpp)
drovelkit_fuzz_target(boot_command tests/fuzz/fuzz_boot_command.cpp bootice/CommandLine.cpp)
# The UEFI driver's NTFS and exFAT readers over volume images given as patches.
drovelkit_fuzz_target(ntfs_volume tests/fuzz/fuzz_ntfs_volume.cpp bootice/efi/fsreader.c bootice/efi/ntfs.c
                      bootice/efi/exfat.c MAX_LEN 65536)
drovelkit_fuzz_target(exfat_volume tests/fuzz/fuzz_exfat_volume.cpp bootice/efi/fsreader.c bootice/efi/ntfs.c
                      bootice/efi/exfat.c MAX_LEN 65536)
# The ISO image reader (UDF, Joliet, ISO 9660) over small images given as patches
# (seeds made by tests/fuzz/image_seed.py from genisoimage and xorriso images;
# udf_entry_forms from the last image of the iso tests' UdfEntryFormsOfOtherMasteringTools,
# install.wim's bytes past its first 64 zeroed).
drovelkit_fuzz_target(image_files tests/fuzz/fuzz_image_files.cpp MAX_LEN 16384)
# The WIM splitter's header and table reader and its plan, over image files.
drovelkit_fuzz_target(wim_tables tests/fuzz/fuzz_wim_tables.cpp wim/WimFormat.cpp wim/WimSplit.cpp MAX_LEN 16384)
