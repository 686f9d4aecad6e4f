# The center with its list in a Redis store against the same center in memory: registrations
# and reply bytes per second, and the time until a registration at one center shows at another.
parlon_add_bench(parlon_cluster_bench SOURCES ${CMAKE_CURRENT_LIST_DIR}/cluster_bench.cpp
    LINK parlon_center_lib parlon_test_support)
