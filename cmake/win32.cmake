# The Windows tree: the downloader, its progress reader and the programs the
# tests run under Wine. One description serves both flavours: the 32-bit
# program that vendors ship (mingw-i686.cmake) and the 64-bit one for
# Windows without 32-bit support and for hosts that run only 64-bit code
# (mingw-x86_64.cmake).

find_program(PYTHON3 NAMES python3 PATHS /usr/bin NO_DEFAULT_PATH REQUIRED)

# Refuse a configuration the program could not use.
include(${CMAKE_SOURCE_DIR}/cmake/check_config.cmake)
include(${CMAKE_SOURCE_DIR}/cmake/installer_pin.cmake)

# Small and honest: no C runtime, no exceptions, no unwind tables, no
# thread-safe statics; frames stay well under 4 KB (checked below), so no
# stack probe is needed and arguments are pushed, which is smaller.
set(LV_PRODUCT_FLAGS
    -Os -ffreestanding -fno-exceptions -fno-rtti -fno-threadsafe-statics
    -fno-asynchronous-unwind-tables -fno-tree-loop-distribute-patterns
    -ffunction-sections -fno-ident
    -mno-stack-arg-probe -fomit-frame-pointer
    -Wall -Wextra -Werror -Wframe-larger-than=3072)
# What differs between the flavours: the i386 calling convention decorates a
# __stdcall entry as _Name@0 and allows the smaller stack layout; x86-64 has
# one calling convention, a 16-byte aligned stack, and began with Windows
# Server 2003 and XP x64, subsystem version 5.2.
if(CMAKE_SYSTEM_PROCESSOR STREQUAL "x86_64")
    set(LV_64_BIT TRUE)
    set(LV_SUBSYSTEM_VERSION 5.2)
    set(LV_MANIFEST_ARCHITECTURE amd64)
    function(lv_entry_symbol out name)
        set(${out} ${name} PARENT_SCOPE)
    endfunction()
else()
    set(LV_64_BIT FALSE)
    list(APPEND LV_PRODUCT_FLAGS -mno-accumulate-outgoing-args -mpreferred-stack-boundary=2)
    set(LV_SUBSYSTEM_VERSION 4.0)
    set(LV_MANIFEST_ARCHITECTURE x86)
    function(lv_entry_symbol out name)
        set(${out} _${name}@0 PARENT_SCOPE)
    endfunction()
endif()
string(REPLACE "." ";" LV_SUBSYSTEM_VERSION_PARTS ${LV_SUBSYSTEM_VERSION})
list(GET LV_SUBSYSTEM_VERSION_PARTS 0 LV_OS_MAJOR)
list(GET LV_SUBSYSTEM_VERSION_PARTS 1 LV_OS_MINOR)
# Only the system's known DLLs are imported; COMCTL32 and WININET are loaded
# from the system directory at run time (job/system_dlls.h).
set(LV_SYSTEM_LIBS advapi32 user32 kernel32)

# Reproducible bytes: a shipped program depends only on the source and the
# configuration, so that anyone can rebuild a commit and compare digests.
# The stripped programs hold no path, user or host name; the prefix maps
# keep it so should a __FILE__ or debug information ever come in. The one
# time in a PE file is the link time in its header, which ld writes from
# SOURCE_DATE_EPOCH when that is set. That time is the source's, after the
# reproducible-builds convention: SOURCE_DATE_EPOCH when the builder sets
# it, else the time of the commit. A real time rather than 0, because
# Windows' error reports and symbol servers tell builds of a module apart
# by its header time (and size). Taken when the tree is configured, which
# make does on every build, so a new commit relinks with its own time.
if(DEFINED ENV{SOURCE_DATE_EPOCH})
    set(LV_SOURCE_DATE "$ENV{SOURCE_DATE_EPOCH}")
else()
    find_package(Git QUIET)
    set(LV_SOURCE_DATE "")
    if(GIT_FOUND)
        execute_process(COMMAND ${GIT_EXECUTABLE} log -1 --format=%ct
            WORKING_DIRECTORY ${CMAKE_SOURCE_DIR}
            OUTPUT_VARIABLE LV_SOURCE_DATE OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
    endif()
    if(LV_SOURCE_DATE STREQUAL "")
        message(STATUS "No commit to take a time from: the programs' header time is 0 "
                       "(set SOURCE_DATE_EPOCH to give one)")
        set(LV_SOURCE_DATE 0)
    endif()
endif()
# The header holds an unsigned 32-bit count of seconds.
if(NOT LV_SOURCE_DATE MATCHES "^[0-9]+$" OR LV_SOURCE_DATE GREATER 4294967295)
    message(FATAL_ERROR "SOURCE_DATE_EPOCH must be a whole number of seconds since 1970 "
                        "that fits 32 bits: '${LV_SOURCE_DATE}'")
endif()
add_compile_options(-ffile-prefix-map=${CMAKE_SOURCE_DIR}/=
                    -ffile-prefix-map=${CMAKE_BINARY_DIR}/=)
function(lv_reproducible target)
    set_property(TARGET ${target} PROPERTY CXX_LINKER_LAUNCHER
                 ${CMAKE_COMMAND} -E env SOURCE_DATE_EPOCH=${LV_SOURCE_DATE})
endfunction()

# Windows-free core, the same sources the native tests build: lv_core, and
# lv_core_https for builds whose URLs name https://.
foreach(core lv_core lv_core_https)
    add_library(${core} STATIC job/progress_math.cpp job/command_line.cpp job/sha256.cpp
        job/redirect_location.cpp job/range_request.cpp report/report_url.cpp)
    target_include_directories(${core} PUBLIC ${CMAKE_SOURCE_DIR})
    target_compile_options(${core} PRIVATE ${LV_PRODUCT_FLAGS})
    # 64-bit division helpers for the percentage arithmetic.
    target_link_libraries(${core} INTERFACE gcc)
    # A language build's reports name its language; the report buffer's
    # size follows, so everything that holds a report sees them too.
    if(DEFINED LV_LANGUAGE_RC)
        target_compile_definitions(${core} PUBLIC LV_OSLANGUAGE="${LV_LANGUAGE_OSLANGUAGE}"
                                                  LV_UILANGUAGE="${UI_LANGUAGE}")
    endif()
endforeach()
target_compile_definitions(lv_core_https PUBLIC LV_HTTPS)

# The logo, drawn by its script.
set(LV_LOGO ${CMAKE_BINARY_DIR}/generated/logo.bmp)
add_custom_command(OUTPUT ${LV_LOGO}
    COMMAND ${PYTHON3} ${CMAKE_SOURCE_DIR}/tools/draw_logo.py ${LV_LOGO}
    DEPENDS ${CMAKE_SOURCE_DIR}/tools/draw_logo.py
    COMMENT "Drawing the logo")

# lv_manifest(PROGRAM): the application manifest of PROGRAM, for
# res/manifest.rc, as generated/manifest_PROGRAM/program.manifest: the
# template with the program's name and the flavour's processor, and without
# the line breaks and indentation between elements, which would only add to
# the file. Written only when it changes.
function(lv_manifest program)
    set(template ${CMAKE_SOURCE_DIR}/res/application.manifest.in)
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${template})
    file(READ ${template} text)
    string(REGEX REPLACE ">[ \t\r\n]+<" "><" text "${text}")
    string(STRIP "${text}" text)
    set(LV_MANIFEST_PROGRAM ${program})
    file(CONFIGURE OUTPUT ${CMAKE_BINARY_DIR}/generated/manifest_${program}/program.manifest
         CONTENT "${text}" @ONLY)
endfunction()

# lv_manifest_object(TARGET PROGRAM): links PROGRAM's manifest, alone, into
# TARGET (programs without the downloader's resources).
function(lv_manifest_object target program)
    lv_manifest(${program})
    set(dir ${CMAKE_BINARY_DIR}/generated/manifest_${program})
    add_custom_command(OUTPUT ${dir}/manifest.o
        COMMAND ${CMAKE_RC_COMPILER} -I ${dir} -O coff -o ${dir}/manifest.o
                ${CMAKE_SOURCE_DIR}/res/manifest.rc
        DEPENDS ${CMAKE_SOURCE_DIR}/res/manifest.rc ${dir}/program.manifest
        COMMENT "Compiling the manifest (${program})")
    target_sources(${target} PRIVATE ${dir}/manifest.o)
    set_source_files_properties(${dir}/manifest.o PROPERTIES EXTERNAL_OBJECT TRUE GENERATED TRUE)
endfunction()

# Every build of the downloader, and the job hosts that stand in for it in
# the tests, carry the downloader's manifest with the rest of its resources.
lv_manifest(lvdownload)
set(LV_DOWNLOADER_MANIFEST_DIR ${CMAKE_BINARY_DIR}/generated/manifest_lvdownload)

# lv_resources(NAME SERVER OBJECT AGENT [WITHOUT_AGENT] [WITHOUT_SERVER] [WITHOUT_OBJECT]
#              [PINNED] [SIGNER])
# PINNED adds the text of 124, which only builds with a pinned digest use;
# SIGNER that of 125, which only builds with a publisher check use.
# Compiles the resources with one catalogue into generated/NAME/resources.o.
function(lv_resources name server object agent)
    cmake_parse_arguments(ARG "WITHOUT_AGENT;WITHOUT_SERVER;WITHOUT_OBJECT;PINNED;SIGNER" "" ""
                          ${ARGN})
    set(dir ${CMAKE_BINARY_DIR}/generated/${name})
    set(CATALOGUE_SERVER "${server}")
    set(CATALOGUE_OBJECT "${object}")
    set(CATALOGUE_AGENT "${agent}")
    set(CATALOGUE_SWITCHES "")
    foreach(switch WITHOUT_AGENT WITHOUT_SERVER WITHOUT_OBJECT PINNED SIGNER)
        if(ARG_${switch})
            string(APPEND CATALOGUE_SWITCHES "#define CATALOGUE_${switch}\n")
        endif()
    endforeach()
    configure_file(${CMAKE_SOURCE_DIR}/res/catalogue_config.h.in ${dir}/catalogue_config.h @ONLY)
    file(GLOB res_sources ${CMAKE_SOURCE_DIR}/res/*.rc ${CMAKE_SOURCE_DIR}/res/*.h)
    # English from res/lvdownload.rc; another language from its generated
    # script, which holds every resource (cmake/language.cmake).
    set(script ${CMAKE_SOURCE_DIR}/res/lvdownload.rc)
    if(DEFINED LV_LANGUAGE_RC)
        set(script ${LV_LANGUAGE_RC})
    endif()
    add_custom_command(OUTPUT ${dir}/resources.o
        COMMAND ${CMAKE_RC_COMPILER} -I ${dir} -I ${CMAKE_BINARY_DIR}/generated
                -I ${LV_DOWNLOADER_MANIFEST_DIR} -I ${CMAKE_SOURCE_DIR} -O coff
                -o ${dir}/resources.o ${script}
        DEPENDS ${res_sources} ${script} ${dir}/catalogue_config.h ${LV_LOGO}
                ${LV_DOWNLOADER_MANIFEST_DIR}/program.manifest
                ${CMAKE_SOURCE_DIR}/job/result_codes.h
        COMMENT "Compiling the resources (${name})")
    add_custom_target(lv_resources_${name} DEPENDS ${dir}/resources.o)
    set_property(GLOBAL PROPERTY LV_RESOURCES_${name} ${dir}/resources.o)
endfunction()

# lv_job_library(NAME REPORT_HOST [PIN HEX | PIN_FILE TARGET] [SIGNER NAME] [HTTPS] [RESUME]):
# the job and the reports, with the report host compiled in, the installer's
# digest when one is pinned (given, or that of a target's built file, the
# tests'), the name of the installer's signer when it is checked, HTTPS for
# downloads and reports over TLS (LV_HTTPS), and RESUME for a Try Again that
# asks only for the missing bytes (LV_RESUME); the programs that link it see
# both.
function(lv_job_library name report_host)
    cmake_parse_arguments(ARG "HTTPS;RESUME" "PIN;PIN_FILE;SIGNER" "" ${ARGN})
    set(dir ${CMAKE_BINARY_DIR}/generated/report_host_${name})
    set(LV_CONFIG_REPORT_HOST "${report_host}")
    set(LV_CONFIG_PIN "")
    if(ARG_PIN)
        lv_pin_bytes(bytes "${ARG_PIN}")
        set(LV_CONFIG_PIN "#define LV_INSTALLER_SHA256 ${bytes}")
    elseif(ARG_PIN_FILE)
        set(LV_CONFIG_PIN "#include \"lv_pin.h\"")
        add_custom_command(OUTPUT ${dir}/lv_pin.h
            COMMAND ${CMAKE_COMMAND} -DFILE=$<TARGET_FILE:${ARG_PIN_FILE}> -DOUT=${dir}/lv_pin.h
                    -P ${CMAKE_SOURCE_DIR}/cmake/installer_pin.cmake
            DEPENDS ${ARG_PIN_FILE} ${CMAKE_SOURCE_DIR}/cmake/installer_pin.cmake
            COMMENT "Pinning the digest of ${ARG_PIN_FILE} (${name})")
        add_custom_target(lv_pin_${name} DEPENDS ${dir}/lv_pin.h)
    endif()
    set(LV_CONFIG_SIGNER "")
    if(NOT "${ARG_SIGNER}" STREQUAL "")
        set(LV_CONFIG_SIGNER "#define LV_INSTALLER_SIGNER \"${ARG_SIGNER}\"")
    endif()
    configure_file(${CMAKE_SOURCE_DIR}/res/lv_config.h.in ${dir}/lv_config.h @ONLY)
    add_library(lv_job_${name} STATIC
        job/download_job.cpp job/transfer.cpp job/installer.cpp job/redirect_page.cpp
        job/publisher_check.cpp job/system_dlls.cpp job/temp_folder.cpp job/resume.cpp
        report/report_send.cpp report/report_url_win.cpp)
    target_include_directories(lv_job_${name} PRIVATE ${dir})
    target_compile_options(lv_job_${name} PRIVATE ${LV_PRODUCT_FLAGS})
    if(ARG_RESUME)
        target_compile_definitions(lv_job_${name} PUBLIC LV_RESUME)
    endif()
    if(ARG_HTTPS)
        target_link_libraries(lv_job_${name} PUBLIC lv_core_https)
    else()
        target_link_libraries(lv_job_${name} PUBLIC lv_core)
    endif()
    if(ARG_PIN_FILE)
        add_dependencies(lv_job_${name} lv_pin_${name})
    endif()
endfunction()

# lv_downloader(TARGET OUTPUT_NAME RESOURCES JOB_LIBRARY OUTPUT_DIR)
function(lv_downloader target output_name resources job output_dir)
    get_property(res_object GLOBAL PROPERTY LV_RESOURCES_${resources})
    add_executable(${target} WIN32 app/main.cpp app/dialog.cpp app/no_crt.cpp ${res_object})
    set_source_files_properties(${res_object} PROPERTIES EXTERNAL_OBJECT TRUE GENERATED TRUE)
    add_dependencies(${target} lv_resources_${resources})
    target_compile_options(${target} PRIVATE ${LV_PRODUCT_FLAGS})
    lv_entry_symbol(entry DownloaderMain)
    target_link_options(${target} PRIVATE
        -nostdlib -nostartfiles -s
        -Wl,-e,${entry}
        -Wl,--subsystem,windows:${LV_SUBSYSTEM_VERSION}
        -Wl,--major-os-version,${LV_OS_MAJOR} -Wl,--minor-os-version,${LV_OS_MINOR}
        -Wl,--gc-sections -Wl,--disable-dynamicbase -Wl,--disable-reloc-section)
    target_link_libraries(${target} PRIVATE lv_job_${job} ${LV_SYSTEM_LIBS})
    set_target_properties(${target} PROPERTIES
        OUTPUT_NAME ${output_name} RUNTIME_OUTPUT_DIRECTORY ${output_dir})
    lv_reproducible(${target})
endfunction()

# A pin and a publisher check may be set together; then both must hold.
set(release_switches "")
set(release_options "")
if(NOT INSTALLER_SHA256 STREQUAL "")
    list(APPEND release_switches PINNED)
    list(APPEND release_options PIN "${INSTALLER_SHA256}")
endif()
if(NOT INSTALLER_SIGNER STREQUAL "")
    list(APPEND release_switches SIGNER)
    list(APPEND release_options SIGNER "${INSTALLER_SIGNER}")
endif()
if(HTTPS)
    list(APPEND release_options HTTPS)
endif()
if(RESUME)
    list(APPEND release_options RESUME)
endif()
lv_resources(release "${IDS_SERVER}" "${IDS_OBJECT}" "${IDS_AGENT}" ${release_switches})
lv_job_library(release "${REPORT_HOST}" ${release_options})
lv_downloader(lvdownload lvdownload release release ${CMAKE_BINARY_DIR})

# The progress reader, for users and tests alike.
add_executable(lvprogress tools/lvprogress/lvprogress.cpp)
target_include_directories(lvprogress PRIVATE ${CMAKE_SOURCE_DIR})
target_compile_options(lvprogress PRIVATE -Os -Wall -Wextra -Werror)
target_link_options(lvprogress PRIVATE -static -s)
set_target_properties(lvprogress PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})
lv_manifest_object(lvprogress lvprogress)
lv_reproducible(lvprogress)

include(tests/win32/tests.cmake)
