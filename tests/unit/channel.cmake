# Local request channel: the request text (portable, so natively with
# sanitizers as well as under Wine) and the socket exchanges against peers the
# test plays on Marlowcast's port.
qs_add_gtest(channel_request_text_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/channel/RequestTextTest.cpp
  LIBS quillstone_portable
  TIMEOUT 60)

if(WIN32)
  # About 25 s: the idle-limit and time-limit cases wait their 5 s and 10 s.
  qs_add_gtest(channel_local_test
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/channel/LocalChannelTest.cpp
            ${CMAKE_CURRENT_LIST_DIR}/../support/WinsockEnvironment.cpp
    LIBS qs_channel
    LOCKS port50918
    TIMEOUT 120)
endif()
