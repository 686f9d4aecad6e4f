# The packets per second one relay forwards against the floor of its decryptions on both cores.
parlon_add_bench(relay_bench SOURCES ${CMAKE_CURRENT_LIST_DIR}/relay_bench.cpp
    LINK parlon_center_lib parlon_node_lib parlon_test_support)
