# The native tree: the Windows-free core with its unit tests (GoogleTest,
# AddressSanitizer and UndefinedBehaviorSanitizer), or with -DLV_FUZZ=ON and
# clang, its libFuzzer targets.

option(LV_FUZZ "Build the libFuzzer targets (needs clang)" OFF)

set(LV_CORE_SOURCES job/progress_math.cpp job/command_line.cpp job/sha256.cpp
    report/report_url.cpp)
set(LV_SANITIZE -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)

if(LV_FUZZ)
    file(GLOB fuzz_sources ${CMAKE_SOURCE_DIR}/tests/fuzz/fuzz_*.cpp)
    foreach(source ${fuzz_sources})
        get_filename_component(name ${source} NAME_WE)
        add_executable(${name} ${source} ${LV_CORE_SOURCES})
        target_include_directories(${name} PRIVATE ${CMAKE_SOURCE_DIR})
        target_compile_options(${name} PRIVATE -fsanitize=fuzzer,address,undefined
            -fno-sanitize-recover=all -g -O1 -Wall -Wextra -Werror)
        target_link_options(${name} PRIVATE -fsanitize=fuzzer,address,undefined)
    endforeach()
    # The reference digest of the SHA-256 target; only this tree uses OpenSSL.
    find_package(OpenSSL REQUIRED)
    target_link_libraries(fuzz_sha256 PRIVATE OpenSSL::Crypto)
    return()
endif()

enable_testing()
find_package(GTest REQUIRED)

add_library(lv_core_native STATIC ${LV_CORE_SOURCES})
target_include_directories(lv_core_native PUBLIC ${CMAKE_SOURCE_DIR})
target_compile_options(lv_core_native PRIVATE ${LV_SANITIZE} -g -Wall -Wextra -Werror)

file(GLOB unit_sources ${CMAKE_SOURCE_DIR}/tests/unit/*_test.cpp)
add_executable(unit_tests ${unit_sources})
target_compile_options(unit_tests PRIVATE ${LV_SANITIZE} -g -Wall -Wextra -Werror)
target_link_options(unit_tests PRIVATE ${LV_SANITIZE})
target_link_libraries(unit_tests PRIVATE lv_core_native GTest::gtest_main)
include(GoogleTest)
gtest_discover_tests(unit_tests)
