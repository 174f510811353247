# Windows benchmark programs, run under Wine by scripts/bench and never by
# ctest. Each prints one line of numbers that the script puts in its table.
if(NOT WIN32)
  return()
endif()

# The upgrade's DownloadFile, with the real upgrade window, against the upgrade server.
add_executable(download_bench ${CMAKE_CURRENT_LIST_DIR}/windows/DownloadBench.cpp)
target_link_libraries(download_bench PRIVATE qs_ui qs_upgrade_url psapi)
qs_add_resources(download_bench)
qs_warnings(download_bench)

# ProbeStatus against the bare exchange it is built on.
add_executable(probe_bench ${CMAKE_CURRENT_LIST_DIR}/windows/ProbeBench.cpp)
target_link_libraries(probe_bench PRIVATE qs_channel)
qs_warnings(probe_bench)

# The idle reference: a hidden dialog program that does nothing at all.
add_executable(idle_dialog WIN32 ${CMAKE_CURRENT_LIST_DIR}/windows/IdleDialog.cpp)
qs_add_resources(idle_dialog)
target_link_options(idle_dialog PRIVATE -municode)
qs_warnings(idle_dialog)

# The download's floor: the same WinINet calls and flags, 1024-byte reads into
# a file and a repaint request per read, and nothing of ours.
add_executable(bare_download ${CMAKE_CURRENT_LIST_DIR}/windows/BareDownload.cpp)
target_link_libraries(bare_download PRIVATE wininet)
qs_warnings(bare_download)

# One file of a signed release as an upgrade fetches it: by its block map,
# from the installed file, the kept pieces and the server.
add_executable(fetch_bench ${CMAKE_CURRENT_LIST_DIR}/windows/FetchBench.cpp)
target_link_libraries(fetch_bench PRIVATE qs_upgrade qs_upgrade_url psapi)
qs_warnings(fetch_bench)
