# Read through the CMAKE_TOOLCHAIN_FILE environment variable by the fresh-machine check: the
# packages of the tools (CLI11), the tests (GoogleTest) and the benchmarks (Google
# Benchmark) count as missing, as on a machine that has only the README's apt-get line.
set(CMAKE_DISABLE_FIND_PACKAGE_CLI11 ON)
set(CMAKE_DISABLE_FIND_PACKAGE_GTest ON)
set(CMAKE_DISABLE_FIND_PACKAGE_benchmark ON)
