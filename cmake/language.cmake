# A build in another language than English (UI_LANGUAGE, a code of
# res/languages.tsv): its resources come from tools/language_resources.py,
# which checks the language's row and its texts (res/lang/CODE.txt) and
# writes them into generated/language/language.rc, in the language's
# resource language. Sets LV_LANGUAGE_RC, and LV_LANGUAGE_NAME (the object
# path's segment), LV_LANGUAGE_ID and LV_LANGUAGE_OSLANGUAGE (the reports'
# value) from the table. English builds without any of it, from res/*.rc.

find_program(PYTHON3 NAMES python3 PATHS /usr/bin NO_DEFAULT_PATH REQUIRED)
set(LV_LANGUAGE_RC ${CMAKE_BINARY_DIR}/generated/language/language.rc)
# A changed table, texts file or script writes the resources again at the
# next build.
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
    ${CMAKE_SOURCE_DIR}/res/languages.tsv ${CMAKE_SOURCE_DIR}/res/lang/${UI_LANGUAGE}.txt
    ${CMAKE_SOURCE_DIR}/tools/language_resources.py)
execute_process(
    COMMAND ${PYTHON3} ${CMAKE_SOURCE_DIR}/tools/language_resources.py
            --language ${UI_LANGUAGE} --out ${CMAKE_BINARY_DIR}/generated/language
    RESULT_VARIABLE lv_language_status OUTPUT_VARIABLE lv_language_row
    ERROR_VARIABLE lv_language_error ERROR_STRIP_TRAILING_WHITESPACE)
if(NOT lv_language_status EQUAL 0)
    message(FATAL_ERROR "${lv_language_error}")
endif()
list(GET lv_language_row 0 LV_LANGUAGE_NAME)
list(GET lv_language_row 1 LV_LANGUAGE_ID)
list(GET lv_language_row 2 LV_LANGUAGE_OSLANGUAGE)
list(GET lv_language_row 3 LV_LANGUAGE_CODE_PAGE)
message(STATUS "Building in ${LV_LANGUAGE_NAME} (${UI_LANGUAGE}, ${LV_LANGUAGE_ID}, "
               "code page ${LV_LANGUAGE_CODE_PAGE})")
