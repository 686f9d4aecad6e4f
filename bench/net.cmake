# Transport and center: registrations per second at the center, frames per second into a
# PeerListener, each beside a floor measured in the same run.
parlon_add_bench(parlon_net_bench SOURCES ${CMAKE_CURRENT_LIST_DIR}/net_bench.cpp
    LINK parlon_center_lib)
