# The packets per second one relay forwards against the floor of its decryptions on both cores.
parlon_add_bench(relay_bench ${CMAKE_CURRENT_SOURCE_DIR}/relay_bench.cpp)
