parlon_add_bench(crypto_bench ${CMAKE_CURRENT_SOURCE_DIR}/crypto_bench.cpp)
