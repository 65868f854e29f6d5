# Benchmarks (bench/), built only when configured with -DBRIMVALE_BENCH=ON,
# best in a release build directory of its own; bench/run does exactly that
# and then runs everything:
#
#   cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DBRIMVALE_BENCH=ON
#   cmake --build build-bench -j2 --target bench
#
# brimvale_bench holds every Google Benchmark micro-benchmark (bench/*_bench.cpp);
# bench_measure and bench_client serve the whole-process script
# bench/whole_process.

option(BRIMVALE_BENCH "Build the benchmarks under bench/ (needs libbenchmark-dev)" OFF)
if(NOT BRIMVALE_BENCH)
  return()
endif()
if(NOT CMAKE_BUILD_TYPE STREQUAL "Release")
  message(WARNING "Benchmarks in a ${CMAKE_BUILD_TYPE} build measure that build, not the release.")
endif()

find_package(benchmark REQUIRED)

file(GLOB brimvale_bench_sources CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/bench/*_bench.cpp)
add_executable(brimvale_bench ${brimvale_bench_sources})
target_link_libraries(brimvale_bench PRIVATE brimvale_updater brimvale_gui benchmark::benchmark_main)
set_target_properties(brimvale_bench PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})

add_executable(bench_measure bench/measure.c)
set_target_properties(bench_measure PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})

# A stand-in for the game client, linked statically (so nothing runs
# between the exec and its first statement) and never sanitized.
add_executable(bench_client bench/stamp_client.c)
target_compile_options(bench_client PRIVATE -fno-sanitize=all)
target_link_options(bench_client PRIVATE -static -fno-sanitize=all)
set_target_properties(bench_client PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})

add_custom_target(bench DEPENDS brimvale_bench bench_measure bench_client
                                brimvale-launcher brimvale-update brimvale-publish)
