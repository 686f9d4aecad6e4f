# What a next hop that never completes its connect costs the sender, a relay and other traffic.
if(TARGET parlon_net_test_support)
    parlon_add_bench(stall_bench ${CMAKE_CURRENT_SOURCE_DIR}/stall_bench.cpp)
    target_link_libraries(stall_bench PRIVATE parlon_net_test_support)
endif()
