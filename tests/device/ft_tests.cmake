# The FT_* layer over the sim and tty backends.
oq_add_test(ft_tests SOURCES ft_sim_test.cpp ft_tty_test.cpp LIBS oq_device oq_sim_plugins)
