# The program's logic: everything that decides, none of it calls Windows.
# Shared by the program's builds and the fuzz build (tests/fuzz).
set(DROVELKIT_LOGIC_SOURCES
  common/Sha256.cpp common/Str.cpp common/Wave.cpp
  app/AppState.cpp app/Controls.cpp app/EventLoop.cpp app/Logo.cpp app/Reporting.cpp
  app/Shutdown.cpp app/Startup.cpp
  drives/DriveList.cpp
  payload/Payload.cpp
  tools/ConsoleRunner.cpp tools/DiskCheck.cpp tools/DiskCheckOutput.cpp tools/Match.cpp tools/OutputParser.cpp
  tools/RunReport.cpp
  copy/CopyOperation.cpp copy/ImageSelection.cpp copy/WindowsImageSplit.cpp
  boottest/DiskLookup.cpp boottest/EmulatorTest.cpp qemu_front/EmulatorSearch.cpp
  wim/WimFormat.cpp wim/WimSplit.cpp
  iso/ImageFiles.cpp
)
