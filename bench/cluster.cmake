# The center with its list in a Redis store against the same center in memory: registrations
# and reply bytes per second, and the time until a registration at one center shows at another.
parlon_add_bench(parlon_cluster_bench ${CMAKE_CURRENT_LIST_DIR}/cluster_bench.cpp)
