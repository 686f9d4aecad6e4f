parlon_add_bench(crypto_bench SOURCES ${CMAKE_CURRENT_LIST_DIR}/crypto_bench.cpp LINK parlon_core)
