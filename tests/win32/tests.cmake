# Programs built only for the tests, and downloader builds with other
# catalogues or hosts. Everything lands in the tree's tests/ folder.

set(LV_TEST_BIN ${CMAKE_BINARY_DIR}/tests)
set(LV_LONG_AGENT "Lumenvast Vendor Downloader Agent/8.5.325")   # 41 characters

# Catalogue variants.
lv_resources(noagent "${IDS_SERVER}" "${IDS_OBJECT}" "${IDS_AGENT}" WITHOUT_AGENT)
lv_resources(noserver "${IDS_SERVER}" "${IDS_OBJECT}" "${IDS_AGENT}" WITHOUT_SERVER)
lv_resources(noobject "${IDS_SERVER}" "${IDS_OBJECT}" "${IDS_AGENT}" WITHOUT_OBJECT)
lv_resources(longagent "${IDS_SERVER}" "${IDS_OBJECT}" "${LV_LONG_AGENT}")
# Direct connections without a proxy: the download host and the report host
# are loopback addresses (the tests listen on port 80 there).
lv_resources(loopback "127.0.0.2" "${IDS_OBJECT}" "${IDS_AGENT}")
lv_job_library(loopback "127.0.0.3")

lv_downloader(lvdownload_noagent lvdownload-noagent noagent release ${LV_TEST_BIN})
lv_downloader(lvdownload_noserver lvdownload-noserver noserver release ${LV_TEST_BIN})
lv_downloader(lvdownload_noobject lvdownload-noobject noobject release ${LV_TEST_BIN})
lv_downloader(lvdownload_longagent lvdownload-longagent longagent release ${LV_TEST_BIN})
lv_downloader(lvdownload_loopback lvdownload-loopback loopback loopback ${LV_TEST_BIN})
# As on a system without SetDefaultDllDirectories (before Windows 8, or 7
# without its update): only the full path and the altered search order keep
# planted DLLs out.
lv_job_library(olddlls "${REPORT_HOST}")
target_compile_definitions(lv_job_olddlls PRIVATE LV_WITHOUT_DEFAULT_DLL_DIRECTORIES)
lv_downloader(lvdownload_olddlls lvdownload-olddlls release olddlls ${LV_TEST_BIN})

# Test programs use the C runtime, linked statically so that the prefix
# needs no MinGW DLLs.
function(lv_test_program name)
    add_executable(${name} ${ARGN})
    target_include_directories(${name} PRIVATE ${CMAKE_SOURCE_DIR})
    target_compile_options(${name} PRIVATE -O2 -Wall -Wextra -Werror)
    target_link_options(${name} PRIVATE -static)
    set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${LV_TEST_BIN})
endfunction()

# lv_jobhost(TARGET OUTPUT_NAME RESOURCES JOB_LIBRARY)
function(lv_jobhost target output_name resources job)
    get_property(res_object GLOBAL PROPERTY LV_RESOURCES_${resources})
    lv_test_program(${target} tests/win32/jobhost.cpp ${res_object})
    set_source_files_properties(${res_object} PROPERTIES EXTERNAL_OBJECT TRUE GENERATED TRUE)
    add_dependencies(${target} lv_resources_${resources})
    target_link_libraries(${target} PRIVATE lv_job_${job} ${LV_SYSTEM_LIBS})
    set_target_properties(${target} PROPERTIES OUTPUT_NAME ${output_name})
endfunction()

lv_jobhost(jobhost jobhost release release)
lv_jobhost(jobhost_noagent jobhost-noagent noagent release)
lv_jobhost(jobhost_longagent jobhost-longagent longagent release)
lv_jobhost(jobhost_loopback jobhost-loopback loopback loopback)

lv_test_program(testinstaller tests/win32/testinstaller.cpp)
target_link_libraries(testinstaller PRIVATE advapi32)
# A windowed program, as a real installer is: a console program started by
# the downloader would get a console window of its own over the dialog.
target_link_options(testinstaller PRIVATE -mwindows)
lv_test_program(testbrowser tests/win32/testbrowser.cpp)
# DLLs planted beside the downloader under the names of DLLs that are not
# among the system's known ones (tests/win32/planteddll.cpp).
foreach(planted wininet comctl32 iertutil urlmon winhttp secur32 crypt32)
    add_library(planted_${planted} SHARED tests/win32/planteddll.cpp)
    target_compile_options(planted_${planted} PRIVATE -O2 -Wall -Wextra -Werror)
    target_link_options(planted_${planted} PRIVATE -static)
    set_target_properties(planted_${planted} PROPERTIES PREFIX "" OUTPUT_NAME ${planted}
        RUNTIME_OUTPUT_DIRECTORY ${LV_TEST_BIN}/planted)
endforeach()
lv_test_program(wintool tests/win32/wintool.cpp)
# It reads the Windows version that the tests compare with the downloader's
# reports, so it declares the same Windows versions as the downloader does.
lv_manifest_object(wintool wintool)
if(EXISTS ${CMAKE_SOURCE_DIR}/tests/win32/uidriver.cpp)
    lv_test_program(uidriver tests/win32/uidriver.cpp)
    target_link_libraries(uidriver PRIVATE comctl32 user32)
endif()

# Yardsticks of make bench: the transfer floor (and the dialog watcher), and
# the smallest dialog program, which has no C runtime, as the downloader.
lv_test_program(benchget tests/win32/benchget.cpp)
# The publisher check it times is the signer build's (below).
target_link_libraries(benchget PRIVATE lv_job_signer lv_core wininet comctl32 user32)
lv_test_program(mindialog tests/win32/mindialog.cpp)
target_compile_options(mindialog PRIVATE -ffreestanding -fno-exceptions -fno-rtti
    -fno-asynchronous-unwind-tables)
lv_entry_symbol(mindialog_entry MinDialogMain)
target_link_options(mindialog PRIVATE -nostdlib -nostartfiles -s -Wl,-e,${mindialog_entry}
    -Wl,--subsystem,windows)
target_link_libraries(mindialog PRIVATE user32 kernel32)

# A pinned build, as a vendor makes one, pinned to the test installer: the
# right bytes run, anything else ends with 124.
lv_resources(pinned "${IDS_SERVER}" "${IDS_OBJECT}" "${IDS_AGENT}" PINNED)
lv_job_library(pinned "${REPORT_HOST}" PIN_FILE testinstaller)
lv_downloader(lvdownload_pinned lvdownload-pinned pinned pinned ${LV_TEST_BIN})
lv_jobhost(jobhost_pinned jobhost-pinned pinned pinned)

# A build with a publisher check, as a vendor makes one, for the name of the
# tests' throwaway certificate (harness/signing.py): the installer signed
# under that name runs, anything else ends with 125. And a build with both
# the pin and the check, where each must hold.
set(LV_TEST_SIGNER "Lumenvast Test Vendor")
lv_resources(signer "${IDS_SERVER}" "${IDS_OBJECT}" "${IDS_AGENT}" SIGNER)
lv_job_library(signer "${REPORT_HOST}" SIGNER "${LV_TEST_SIGNER}")
lv_downloader(lvdownload_signer lvdownload-signer signer signer ${LV_TEST_BIN})
lv_jobhost(jobhost_signer jobhost-signer signer signer)
lv_resources(pinned_signer "${IDS_SERVER}" "${IDS_OBJECT}" "${IDS_AGENT}" PINNED SIGNER)
lv_job_library(pinned_signer "${REPORT_HOST}" PIN_FILE testinstaller SIGNER "${LV_TEST_SIGNER}")
lv_jobhost(jobhost_pinned_signer jobhost-pinned-signer pinned_signer pinned_signer)
# The downloader with both: the one build whose catalogue holds every message.
lv_downloader(lvdownload_pinned_signer lvdownload-pinned-signer pinned_signer pinned_signer
              ${LV_TEST_BIN})

# Builds that resume a download after Try Again, plain and pinned (the
# pinned digest must cover the kept part too).
lv_job_library(resume "${REPORT_HOST}" RESUME)
lv_downloader(lvdownload_resume lvdownload-resume release resume ${LV_TEST_BIN})
lv_jobhost(jobhost_resume jobhost-resume release resume)
lv_job_library(pinned_resume "${REPORT_HOST}" PIN_FILE testinstaller RESUME)
lv_jobhost(jobhost_pinned_resume jobhost-pinned-resume pinned pinned_resume)

# An HTTPS build, as a vendor makes one with HTTPS=ON: the download and the
# reports over TLS only, redirects followed only to https:// (the TLS tests,
# tests/tls, run it with throwaway certificates).
lv_job_library(https "${REPORT_HOST}" HTTPS)
lv_downloader(lvdownload_https lvdownload-https release https ${LV_TEST_BIN})
lv_jobhost(jobhost_https jobhost-https release https)
lv_job_library(https_resume "${REPORT_HOST}" HTTPS RESUME)
lv_jobhost(jobhost_https_resume jobhost-https-resume release https_resume)
# The same over direct connections to the loopback addresses, port 443.
lv_job_library(https_loopback "127.0.0.3" HTTPS)
lv_jobhost(jobhost_https_loopback jobhost-https-loopback loopback https_loopback)
# An HTTPS build with the longest texts the configuration allows: a download
# host and an object path of 259 characters, a report host of 150 (labels
# of at most 63 characters, as host names have).
string(REPEAT "d" 63 lv_label)
set(LV_LONGEST_SERVER "${lv_label}.${lv_label}.${lv_label}.${lv_label}.com")
string(REPEAT "o" 255 lv_object_name)
set(LV_LONGEST_OBJECT "pub/${lv_object_name}")
string(REPEAT "r" 63 lv_label)
string(REPEAT "r" 22 lv_short_label)
set(LV_LONGEST_REPORT_HOST "${lv_label}.${lv_label}.${lv_short_label}")
lv_resources(longest "${LV_LONGEST_SERVER}" "${LV_LONGEST_OBJECT}" "${IDS_AGENT}")
lv_job_library(https_longest "${LV_LONGEST_REPORT_HOST}" HTTPS)
lv_jobhost(jobhost_https_longest jobhost-https-longest longest https_longest)
