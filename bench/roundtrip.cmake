# The round trip of a message and its reply across four in-process nodes on loopback.
parlon_add_bench(roundtrip_bench SOURCES ${CMAKE_CURRENT_LIST_DIR}/roundtrip_bench.cpp
    LINK parlon_center_lib parlon_test_node)
