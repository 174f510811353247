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
  ${CMAKE_CURRENT_LIST_DIR}/../support/ScriptedPeer.cpp ${CMAKE_CURRENT_LIST_DIR}/../support/RangeServer.cpp)
target_link_libraries(e2e_reliability_upgrade_test PRIVATE psapi)
qs_add_e2e(e2e_reliability_process_test ${CMAKE_CURRENT_LIST_DIR}/ReliabilityProcessTest.cpp)
target_link_libraries(e2e_reliability_process_test PRIVATE psapi)
qs_add_e2e(e2e_interrupted_upgrade_test ${CMAKE_CURRENT_LIST_DIR}/InterruptedUpgradeTest.cpp)
target_link_libraries(e2e_interrupted_upgrade_test PRIVATE uib_package psapi)

# Quillstone built for another upgrade source, in bin/<folder>: the same
# program with another server address or publisher's key compiled in.
function(qs_supervisor_build target folder source)
  add_executable(${target} WIN32 ${PROJECT_SOURCE_DIR}/app/QuillstoneApp.cpp)
  qs_add_resources(${target})
  target_link_libraries(${target} PRIVATE framework_main qs_ui ${source})
  target_link_options(${target} PRIVATE -municode)
  set_target_properties(${target} PROPERTIES OUTPUT_NAME Quillstone RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin/${folder})
  qs_warnings(${target})
endfunction()

# Real networks: HTTPS (Quillstone built for https://localhost), the user's
# proxy, silent servers.
qs_upgrade_source(qs_upgrade_url_https "https://localhost" "")
qs_supervisor_build(Quillstone_https https qs_upgrade_url_https)
qs_add_e2e(e2e_network_test ${CMAKE_CURRENT_LIST_DIR}/NetworkTest.cpp ${CMAKE_CURRENT_LIST_DIR}/../support/ScriptedPeer.cpp)
add_dependencies(e2e_network_test Quillstone_https)

# Signed upgrades: Quillstone built with the public half of a root key made
# for the tests; scripts/test signs keys documents with the root's private
# half and releases with two release keys (build/windows/test-keys), using
# the native uibpack.
set(QS_TEST_KEYS ${CMAKE_BINARY_DIR}/test-keys)
set(qs_test_key_files)
set(qs_test_key_commands)
foreach(name root release-1 release-2)
  list(APPEND qs_test_key_files ${QS_TEST_KEYS}/${name}.pem ${QS_TEST_KEYS}/${name}.pub.pem)
  list(APPEND qs_test_key_commands
    COMMAND openssl ecparam -name prime256v1 -genkey -noout -out ${QS_TEST_KEYS}/${name}.pem
    COMMAND openssl ec -in ${QS_TEST_KEYS}/${name}.pem -pubout -out ${QS_TEST_KEYS}/${name}.pub.pem 2>/dev/null)
endforeach()
add_custom_command(OUTPUT ${qs_test_key_files}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${QS_TEST_KEYS}
  ${qs_test_key_commands}
  COMMENT "Making the tests' root and release keys (one command: the build needs the root's public half, the releases all)")
qs_upgrade_source(qs_upgrade_url_signed "${QUILLSTONE_UPGRADE_URL}" ${QS_TEST_KEYS}/root.pub.pem)
qs_supervisor_build(Quillstone_signed signed qs_upgrade_url_signed)
qs_add_e2e(e2e_signed_upgrade_test ${CMAKE_CURRENT_LIST_DIR}/SignedUpgradeTest.cpp)
add_dependencies(e2e_signed_upgrade_test Quillstone_signed)
