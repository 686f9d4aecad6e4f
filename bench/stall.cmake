# What a next hop that never completes its connect costs the sender, a relay and other traffic.
parlon_add_bench(stall_bench SOURCES ${CMAKE_CURRENT_LIST_DIR}/stall_bench.cpp
    LINK parlon_center_lib parlon_test_support)
