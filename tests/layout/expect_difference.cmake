# Checks that the layout comparer catches a difference: copies the platform value list with one
# item's value changed, runs the comparer on it and expects a failure that names the item.
# Arguments (-D): COMPARE (the comparer), EMULATOR (what runs it, if anything), PUBLISHED and
# PLATFORM (the probe's two lists), ITEM (the item to alter), ALTERED (where to write the
# altered list).
file(STRINGS "${PLATFORM}" lines REGEX "#LAYOUT ")
set(altered "")
set(found FALSE)
foreach(line IN LISTS lines)
    if(NOT found AND line MATCHES "#LAYOUT (-?[0-9]+) (-?[0-9]+) (.*)$"
       AND CMAKE_MATCH_3 STREQUAL ITEM)
        math(EXPR changed "${CMAKE_MATCH_1} + 4")
        string(REPLACE "#LAYOUT ${CMAKE_MATCH_1} " "#LAYOUT ${changed} " line "${line}")
        set(found TRUE)
    endif()
    string(APPEND altered "${line}\n")
endforeach()
if(NOT found)
    message(FATAL_ERROR "item not in ${PLATFORM}: ${ITEM}")
endif()
file(WRITE "${ALTERED}" "${altered}")

execute_process(COMMAND ${EMULATOR} "${COMPARE}" "${PUBLISHED}" "${ALTERED}" RESULT_VARIABLE result
                OUTPUT_VARIABLE output ERROR_VARIABLE output)
string(FIND "${output}" "DIFFERS ${ITEM}:" reported)
if(result EQUAL 1 AND NOT reported EQUAL -1)
    message(STATUS "the comparer reported the altered item: ${ITEM}")
else()
    message(FATAL_ERROR "the comparer missed the altered item ${ITEM} (exit ${result}):\n${output}")
endif()
