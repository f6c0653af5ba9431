# The checks of the build's configuration, included by the Windows tree and
# runnable alone, as the tests do:
#   cmake -DIDS_SERVER=... -DIDS_OBJECT=... -DIDS_AGENT=... -DREPORT_HOST=... \
#         -P cmake/check_config.cmake
# (INSTALLER_SHA256, INSTALLER_SIGNER and HTTPS may be left out.) Each refusal names the variable; the sizes are those of the fixed buffers
# that hold the texts.

function(lv_check_text name value max)
    string(LENGTH "${value}" length)
    # An empty text is a missing one to the program: every attempt would end
    # before its download.
    if(length EQUAL 0)
        message(FATAL_ERROR "${name} must not be empty")
    endif()
    if(length GREATER ${max})
        message(FATAL_ERROR "${name} has ${length} characters; at most ${max} fit")
    endif()
    if(value MATCHES "[\"\\\\]")
        message(FATAL_ERROR "${name} must not hold a double quote or a backslash")
    endif()
endfunction()
lv_check_text(IDS_SERVER "${IDS_SERVER}" 259)
lv_check_text(IDS_OBJECT "${IDS_OBJECT}" 259)
lv_check_text(IDS_AGENT "${IDS_AGENT}" 259)
lv_check_text(REPORT_HOST "${REPORT_HOST}" 150)
# Both hosts are bare names or addresses, reached on port 80: a port, a path
# or a blank in them would not name a host (and a "/" in the report host
# would break finding the report URL's path).
foreach(host_variable IDS_SERVER REPORT_HOST)
    if(NOT "${${host_variable}}" MATCHES "^[A-Za-z0-9.-]+$")
        message(FATAL_ERROR "${host_variable} must be a host name or address "
                            "(letters, digits, dots and hyphens): '${${host_variable}}'")
    endif()
endforeach()
# The object path goes into the request line as it stands, after a "/" of
# its own: a blank or a control character would break that line.
if(IDS_OBJECT MATCHES "^/")
    message(FATAL_ERROR "IDS_OBJECT is written without its leading slash: '${IDS_OBJECT}'")
endif()
set(lv_request_line_breakers " ")
foreach(code RANGE 1 31)
    string(ASCII ${code} character)
    string(APPEND lv_request_line_breakers "${character}")
endforeach()
string(ASCII 127 character)
string(APPEND lv_request_line_breakers "${character}")
if(IDS_OBJECT MATCHES "[${lv_request_line_breakers}]")
    message(FATAL_ERROR "IDS_OBJECT must not hold a blank or a control character: '${IDS_OBJECT}'")
endif()
# The pinned digest: none, or all 64 hexadecimal digits of one.
if(NOT "${INSTALLER_SHA256}" STREQUAL "")
    string(LENGTH "${INSTALLER_SHA256}" length)
    if(NOT length EQUAL 64 OR NOT INSTALLER_SHA256 MATCHES "^[0-9A-Fa-f]+$")
        message(FATAL_ERROR "INSTALLER_SHA256 must be empty or the 64 hexadecimal digits of "
                            "the installer's SHA-256: '${INSTALLER_SHA256}'")
    endif()
endif()
# The installer's signer: none, or a common name of at most 64 characters
# (X.520's bound) in printable ASCII, the one range that reads the same in
# every ANSI code page, in which the program is handed the certificate's
# name; no double quote or backslash, as in the other texts.
if(NOT "${INSTALLER_SIGNER}" STREQUAL "")
    string(LENGTH "${INSTALLER_SIGNER}" length)
    if(length GREATER 64 OR NOT INSTALLER_SIGNER MATCHES "^[ -~]+$" OR
       INSTALLER_SIGNER MATCHES "[\"\\\\]")
        message(FATAL_ERROR "INSTALLER_SIGNER must be empty or a common name of at most 64 "
                            "printable ASCII characters, without a double quote or a backslash: "
                            "'${INSTALLER_SIGNER}'")
    endif()
endif()
# HTTPS and RESUME: on or off, in any of the forms CMake reads as such.
# Anything else would read as off, and a vendor who meant TLS would ship
# plain HTTP.
foreach(switch HTTPS RESUME)
    if(DEFINED ${switch} AND NOT "${${switch}}" STREQUAL "")
        string(TOUPPER "${${switch}}" lv_switch)
        if(NOT lv_switch MATCHES "^(ON|OFF|TRUE|FALSE|YES|NO|Y|N|1|0)$")
            message(FATAL_ERROR "${switch} must be ON or OFF: '${${switch}}'")
        endif()
    endif()
endforeach()
