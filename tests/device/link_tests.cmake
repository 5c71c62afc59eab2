# Tests of the device link: transport, exchanges with the simulated counter, oqtool device commands.
if(NOT TARGET oq_sim OR NOT EXISTS ${CMAKE_SOURCE_DIR}/src/device/FtBackend.h)
  return()
endif()
oq_add_test(link_transport_test SOURCES link_transport_test.cpp LIBS oq_device oq_sim)
oq_add_test(link_exchange_test SOURCES link_exchange_test.cpp LIBS oq_device oq_sim)
if(TARGET oq_sim_dump)
  oq_add_test(link_protocol_exchange_test SOURCES link_protocol_exchange_test.cpp LIBS oq_device oq_sim oq_sim_dump)
endif()
