# The fuzzing configuration, as an initial cache:
#   cmake -C fuzz/config.cmake -S . -B build/fuzz -G Ninja
# Everything is built with clang, instrumented for libFuzzer's coverage and checked
# by AddressSanitizer and UndefinedBehaviorSanitizer; only the fuzz executables
# link libFuzzer itself (fuzz/CMakeLists.txt).
set(CMAKE_C_COMPILER clang CACHE STRING "")
set(CMAKE_CXX_COMPILER clang++ CACHE STRING "")
set(CMAKE_BUILD_TYPE RelWithDebInfo CACHE STRING "")
set(VELMORA_FUZZ_SANITIZE "-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer")
set(CMAKE_C_FLAGS "${VELMORA_FUZZ_SANITIZE}" CACHE STRING "")
set(CMAKE_CXX_FLAGS "${VELMORA_FUZZ_SANITIZE}" CACHE STRING "")
set(CMAKE_EXE_LINKER_FLAGS "-fsanitize=address,undefined" CACHE STRING "")
# The service module is linked with --no-undefined, but clang leaves the sanitizer
# and coverage runtimes to the executable that loads it; the last -z wins, so this
# lets the module take them from the fuzzer at load time.
set(CMAKE_CXX_STANDARD_LIBRARIES "-Wl,-z,undefs" CACHE STRING "")
set(VELMORA_WERROR ON CACHE BOOL "")
set(VELMORA_BUILD_FUZZ ON CACHE BOOL "")
set(VELMORA_BUILD_QT OFF CACHE BOOL "")
set(VELMORA_BUILD_TESTS OFF CACHE BOOL "")
set(VELMORA_BUILD_SERVER ON CACHE BOOL "")
