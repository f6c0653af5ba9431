# The native tree: the Windows-free core with its unit tests (GoogleTest,
# AddressSanitizer and UndefinedBehaviorSanitizer) and the report collector
# lvcollect, or with -DLV_FUZZ=ON and clang, the libFuzzer targets.

option(LV_FUZZ "Build the libFuzzer targets (needs clang)" OFF)
# The Debian package builds the collector alone, without GoogleTest and the
# sanitizers of the unit tests.
option(LV_TESTS "Build the unit tests beside the collector" ON)

# The collector's version is kept in one place, the head of debian/changelog,
# where the package takes it from too.
set(LV_CHANGELOG ${CMAKE_SOURCE_DIR}/debian/changelog)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${LV_CHANGELOG})
file(STRINGS ${LV_CHANGELOG} changelog_head LIMIT_COUNT 1)
if(NOT changelog_head MATCHES "^lvcollect \\(([0-9][0-9A-Za-z.+~-]*)\\) ")
    message(FATAL_ERROR "debian/changelog does not begin with \"lvcollect (VERSION) ...\": ${changelog_head}")
endif()
set(LVCOLLECT_VERSION ${CMAKE_MATCH_1})

set(LV_CORE_SOURCES job/progress_math.cpp job/command_line.cpp job/sha256.cpp
    job/redirect_location.cpp job/range_request.cpp report/report_url.cpp)
# The collector's own vocabulary: free of the HTTP library and of the store.
set(LV_COLLECTOR_PARSER_SOURCES collector/report_query.cpp)
set(LV_COLLECTOR_CORE_SOURCES ${LV_COLLECTOR_PARSER_SOURCES} collector/funnel.cpp collector/chart.cpp
    collector/dashboard.cpp collector/dashboard_service.cpp collector/summaries.cpp collector/client_hash.cpp)
set(LV_SANITIZE -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)

if(LV_FUZZ)
    file(GLOB fuzz_sources ${CMAKE_SOURCE_DIR}/tests/fuzz/fuzz_*.cpp)
    foreach(source ${fuzz_sources})
        get_filename_component(name ${source} NAME_WE)
        add_executable(${name} ${source} ${LV_CORE_SOURCES} ${LV_COLLECTOR_PARSER_SOURCES})
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

find_package(Threads REQUIRED)
find_package(PkgConfig REQUIRED)
# The collector's HTTP front: Boost.Asio and Boost.Beast, header-only.
find_package(Boost 1.74 REQUIRED)
pkg_check_modules(SQLITE REQUIRED IMPORTED_TARGET sqlite3)
pkg_check_modules(LIBPQ REQUIRED IMPORTED_TARGET libpq)
# The keyed hashes of the clients' addresses (HMAC-SHA-256) and their keys.
find_package(OpenSSL REQUIRED)

# The collector names result codes with the catalogue's own texts: one line
# per message of res/catalogue.rc, {IDS_..., "text"}, read with result_codes.h.
set(LV_CATALOGUE_RC ${CMAKE_SOURCE_DIR}/res/catalogue.rc)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${LV_CATALOGUE_RC})
file(STRINGS ${LV_CATALOGUE_RC} catalogue_lines REGEX "^[ \t]*IDS_[A-Z_]+[ \t]+\"")
set(catalogue_entries "// Generated from res/catalogue.rc by cmake/native.cmake.\n")
foreach(line ${catalogue_lines})
    string(REGEX REPLACE "^[ \t]*(IDS_[A-Z_]+)[ \t]+(\".*\")[ \t]*$" "{\\1, \\2},\n" entry "${line}")
    string(APPEND catalogue_entries "${entry}")
endforeach()
file(CONFIGURE OUTPUT ${CMAKE_BINARY_DIR}/generated/catalogue_messages.inc
     CONTENT "${catalogue_entries}" @ONLY)

# The collector names the languages of the reports from the table of the
# languages a build can be made in: {oslanguage, "code", "name"} a row, so
# that a vendor's new row needs no change of code.
set(LV_LANGUAGES_TSV ${CMAKE_SOURCE_DIR}/res/languages.tsv)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${LV_LANGUAGES_TSV})
file(STRINGS ${LV_LANGUAGES_TSV} language_lines REGEX "^[a-z][a-z]\t")
set(language_entries "// Generated from res/languages.tsv by cmake/native.cmake.\n")
foreach(line ${language_lines})
    string(REPLACE "\t" ";" fields "${line}")
    list(GET fields 0 language_code)
    list(GET fields 1 language_name)
    list(GET fields 3 language_id)
    if(NOT language_id MATCHES "^[0-9]+$" OR NOT language_name MATCHES "^[a-z ]+$")
        message(FATAL_ERROR "res/languages.tsv: a row that is not code, name, langid, oslanguage: ${line}")
    endif()
    string(APPEND language_entries "{${language_id}, \"${language_code}\", \"${language_name}\"},\n")
endforeach()
file(CONFIGURE OUTPUT ${CMAKE_BINARY_DIR}/generated/languages.inc
     CONTENT "${language_entries}" @ONLY)

if(LV_TESTS)
    enable_testing()
    find_package(GTest REQUIRED)

    add_library(lv_core_native STATIC ${LV_CORE_SOURCES} ${LV_COLLECTOR_CORE_SOURCES})
    target_include_directories(lv_core_native PUBLIC ${CMAKE_SOURCE_DIR} ${CMAKE_BINARY_DIR}/generated)
    target_compile_options(lv_core_native PRIVATE ${LV_SANITIZE} -g -Wall -Wextra -Werror)

    file(GLOB unit_sources ${CMAKE_SOURCE_DIR}/tests/unit/*_test.cpp)
    # The *_https_test.cpp and *_language_test.cpp files test the composer of
    # HTTPS builds and of builds in other languages, each built apart (below).
    list(FILTER unit_sources EXCLUDE REGEX "_(https|language)_test\\.cpp$")
    add_executable(unit_tests ${unit_sources})
    target_compile_options(unit_tests PRIVATE ${LV_SANITIZE} -g -Wall -Wextra -Werror)
    # The tests that check docs/PROTOCOL.md read it from the sources.
    target_compile_definitions(unit_tests PRIVATE LV_SOURCE_DIR="${CMAKE_SOURCE_DIR}")
    target_link_options(unit_tests PRIVATE ${LV_SANITIZE})
    target_link_libraries(unit_tests PRIVATE lv_core_native GTest::gtest_main OpenSSL::Crypto Threads::Threads)
    include(GoogleTest)
    gtest_discover_tests(unit_tests)

    # The report composer of HTTPS builds, whose URLs name https://, with the
    # collector's parser that reads them back.
    file(GLOB https_unit_sources ${CMAKE_SOURCE_DIR}/tests/unit/*_https_test.cpp)
    add_executable(unit_tests_https ${https_unit_sources} report/report_url.cpp
        ${LV_COLLECTOR_PARSER_SOURCES})
    target_include_directories(unit_tests_https PRIVATE ${CMAKE_SOURCE_DIR})
    target_compile_options(unit_tests_https PRIVATE ${LV_SANITIZE} -g -Wall -Wextra -Werror)
    target_compile_definitions(unit_tests_https PRIVATE LV_HTTPS LV_SOURCE_DIR="${CMAKE_SOURCE_DIR}")
    target_link_options(unit_tests_https PRIVATE ${LV_SANITIZE})
    target_link_libraries(unit_tests_https PRIVATE GTest::gtest_main)
    gtest_discover_tests(unit_tests_https TEST_PREFIX "https.")

    # The report composer of a build in another language, as Russian's: its
    # two-digit oslanguage lengthens every report by a byte.
    add_executable(unit_tests_language tests/unit/report_url_language_test.cpp
        report/report_url.cpp)
    target_include_directories(unit_tests_language PRIVATE ${CMAKE_SOURCE_DIR})
    target_compile_options(unit_tests_language PRIVATE ${LV_SANITIZE} -g -Wall -Wextra -Werror)
    target_compile_definitions(unit_tests_language PRIVATE LV_OSLANGUAGE="25" LV_UILANGUAGE="ru"
                               LV_SOURCE_DIR="${CMAKE_SOURCE_DIR}")
    target_link_options(unit_tests_language PRIVATE ${LV_SANITIZE})
    target_link_libraries(unit_tests_language PRIVATE GTest::gtest_main)
    gtest_discover_tests(unit_tests_language TEST_PREFIX "language.")
endif()

# The collector is built optimised whatever the tree's build type: its
# figures in make bench are those of the program a vendor runs.
add_executable(lvcollect collector/main.cpp collector/server.cpp collector/report_queue.cpp
    collector/metrics.cpp collector/store_factory.cpp collector/sqlite_store.cpp collector/pg_store.cpp
    collector/spool.cpp collector/maintenance.cpp collector/fill.cpp collector/service_notify.cpp
    ${LV_COLLECTOR_CORE_SOURCES})
target_include_directories(lvcollect PRIVATE ${CMAKE_SOURCE_DIR} ${CMAKE_BINARY_DIR}/generated)
target_compile_options(lvcollect PRIVATE -O2 -Wall -Wextra -Werror)
target_compile_definitions(lvcollect PRIVATE LVCOLLECT_VERSION="${LVCOLLECT_VERSION}")
target_link_libraries(lvcollect PRIVATE Boost::headers PkgConfig::SQLITE PkgConfig::LIBPQ
    OpenSSL::Crypto Threads::Threads)
include(GNUInstallDirs)
install(TARGETS lvcollect RUNTIME DESTINATION ${CMAKE_INSTALL_SBINDIR})
