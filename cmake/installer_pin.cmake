# The pinned installer digest as a C initialiser of 32 bytes.
#   lv_pin_bytes(OUT HEX): "0xab, 0xcd, ..." from 64 hexadecimal digits.
# Run as a script, it writes the define for the digest of a built file:
#   cmake -DFILE=installer.exe -DOUT=lv_pin.h -P cmake/installer_pin.cmake

function(lv_pin_bytes out hex)
    string(TOLOWER "${hex}" hex)
    string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1, " bytes "${hex}")
    string(REGEX REPLACE ", $" "" bytes "${bytes}")
    set(${out} "${bytes}" PARENT_SCOPE)
endfunction()

if(CMAKE_SCRIPT_MODE_FILE AND DEFINED FILE AND DEFINED OUT)
    file(SHA256 "${FILE}" digest)
    lv_pin_bytes(bytes "${digest}")
    file(WRITE "${OUT}.new" "/* Generated: the SHA-256 of ${FILE}. */\n"
                            "#define LV_INSTALLER_SHA256 ${bytes}\n")
    # Only a changed digest rebuilds what includes it.
    file(COPY_FILE "${OUT}.new" "${OUT}" ONLY_IF_DIFFERENT)
    file(REMOVE "${OUT}.new")
endif()
