# The round trip of a message and its reply across four in-process nodes on loopback.
parlon_add_bench(roundtrip_bench ${CMAKE_CURRENT_SOURCE_DIR}/roundtrip_bench.cpp)
