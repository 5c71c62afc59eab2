# Tests of the device link: transport, exchanges with the simulated counter, oqtool device commands.
oq_add_test(link_transport_test SOURCES link_transport_test.cpp LIBS oq_device oq_sim_plugins)
oq_add_test(link_exchange_test SOURCES link_exchange_test.cpp LIBS oq_device oq_sim_plugins)
oq_add_test(link_protocol_exchange_test SOURCES link_protocol_exchange_test.cpp LIBS oq_device oq_sim_plugins oq_sim_dump)

# oqtool's device commands, run as processes against oq-counter-sim and in-process counters.
if(TARGET oqtool)
  oq_add_test(link_oqtool_test SOURCES link_oqtool_test.cpp LIBS oq_sim oq_sim_dump oq_history TIMEOUT 300)
  target_compile_definitions(link_oqtool_test PRIVATE OQTOOL_PATH="$<TARGET_FILE:oqtool>" COUNTER_SIM_PATH="$<TARGET_FILE:oq-counter-sim>")
  add_dependencies(link_oqtool_test oqtool oq-counter-sim)
endif()
