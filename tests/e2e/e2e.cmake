# End-to-end tests: the real Quillstone.exe and the stand-in in fresh folders.
# They share the local port, the named mutexes and the desktop, so they never
# run beside each other or beside the channel tests.
if(NOT WIN32)
  return()
endif()

function(qs_add_e2e name)
  qs_add_gtest(${name} SOURCES ${ARGN} ${CMAKE_CURRENT_FUNCTION_LIST_DIR}/../support/WinsockEnvironment.cpp
    LIBS e2e_support LOCKS port50918 TIMEOUT 600)
  add_dependencies(${name} Quillstone Marlowcast)
endfunction()

qs_add_e2e(e2e_startup_test ${CMAKE_CURRENT_LIST_DIR}/StartupTest.cpp)
qs_add_e2e(e2e_supervision_test ${CMAKE_CURRENT_LIST_DIR}/SupervisionTest.cpp)
qs_add_e2e(e2e_tray_test ${CMAKE_CURRENT_LIST_DIR}/TrayTest.cpp)
qs_add_e2e(e2e_upgrade_test ${CMAKE_CURRENT_LIST_DIR}/UpgradeTest.cpp)
target_link_libraries(e2e_upgrade_test PRIVATE uib_package psapi)

# Reliability under faults and hostile input.
qs_add_e2e(e2e_reliability_peer_test ${CMAKE_CURRENT_LIST_DIR}/ReliabilityPeerTest.cpp
  ${CMAKE_CURRENT_LIST_DIR}/../support/ScriptedPeer.cpp)
target_link_libraries(e2e_reliability_peer_test PRIVATE psapi)
qs_add_e2e(e2e_reliability_upgrade_test ${CMAKE_CURRENT_LIST_DIR}/ReliabilityUpgradeTest.cpp
  ${CMAKE_CURRENT_LIST_DIR}/../support/ScriptedPeer.cpp)
target_link_libraries(e2e_reliability_upgrade_test PRIVATE psapi)
qs_add_e2e(e2e_reliability_process_test ${CMAKE_CURRENT_LIST_DIR}/ReliabilityProcessTest.cpp)
target_link_libraries(e2e_reliability_process_test PRIVATE psapi)
qs_add_e2e(e2e_interrupted_upgrade_test ${CMAKE_CURRENT_LIST_DIR}/InterruptedUpgradeTest.cpp)
target_link_libraries(e2e_interrupted_upgrade_test PRIVATE uib_package psapi)

# Real networks: HTTPS, the user's proxy, silent servers. The HTTPS cases run
# Quillstone built for https://localhost: the same program with another
# upgrade server compiled in, in bin/https.
qs_upgrade_server_url(qs_upgrade_url_https "https://localhost")
add_executable(Quillstone_https WIN32 ${PROJECT_SOURCE_DIR}/app/QuillstoneApp.cpp)
qs_add_resources(Quillstone_https)
target_link_libraries(Quillstone_https PRIVATE framework_main qs_ui qs_upgrade_url_https)
target_link_options(Quillstone_https PRIVATE -municode)
set_target_properties(Quillstone_https PROPERTIES OUTPUT_NAME Quillstone
  RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin/https)
qs_warnings(Quillstone_https)
qs_add_e2e(e2e_network_test ${CMAKE_CURRENT_LIST_DIR}/NetworkTest.cpp ${CMAKE_CURRENT_LIST_DIR}/../support/ScriptedPeer.cpp)
add_dependencies(e2e_network_test Quillstone_https)
