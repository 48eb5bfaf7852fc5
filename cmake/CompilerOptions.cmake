# Warnings are errors for the project's own targets (link `project_warnings`); sanitizers
# from the host-asan and host-tsan presets apply to everything built, GoogleTest included,
# so that ThreadSanitizer sees every access.
add_library(project_warnings INTERFACE)
target_compile_options(project_warnings INTERFACE
  -Wall -Wextra -Wpedantic -Wshadow -Wconversion -Wsign-conversion -Wold-style-cast
  -Wnon-virtual-dtor -Wformat=2 -Werror)

# Tests: the same, less the conversion warnings, which would bury test code in casts.
add_library(test_warnings INTERFACE)
target_compile_options(test_warnings INTERFACE
  -Wall -Wextra -Wpedantic -Wshadow -Wnon-virtual-dtor -Wformat=2 -Werror)

if(VANTORY_SANITIZER STREQUAL "address")
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
  # Built with clang, the address-sanitizer build also carries libFuzzer's coverage
  # counters, and builds the fuzz targets (tests/fuzz).
  if(CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    set(VANTORY_FUZZ ON)
    add_compile_options(-fsanitize=fuzzer-no-link)
  endif()
elseif(VANTORY_SANITIZER STREQUAL "thread")
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
elseif(NOT VANTORY_SANITIZER STREQUAL "")
  message(FATAL_ERROR "VANTORY_SANITIZER must be address, thread or empty")
endif()

# gcov counters for ./build.sh coverage, on everything built. The worker and the tests'
# threads run the same code at once: counters updated without atomics lose increments and
# can even wrap below zero, which gcov then prints as a count gcovr cannot read.
option(VANTORY_COVERAGE "Build with gcov instrumentation" OFF)
if(VANTORY_COVERAGE)
  add_compile_options(--coverage -fprofile-update=atomic -O0)
  add_link_options(--coverage)
endif()

if(WIN32)
  # Self-contained DLL and test programs: the C++ runtime and winpthreads are linked in, so
  # nothing but system DLLs is imported.
  add_link_options(-static -static-libgcc -static-libstdc++)
endif()

find_package(Threads REQUIRED)
