# Writes a gzipped man page from a template. For orvel-cli the COMMANDS section comes from
# the program's own --help, so a new command shows up without editing the page.
#   cmake -DTEMPLATE=... -DOUTPUT=....gz -DVERSION=... [-DCLI=path/to/orvel-cli] -P manpage.cmake

# Roman text for troff: backslashes and hyphens escaped, no control character at a line start.
function(troff_text text out)
    string(REPLACE "\\" "\\e" text "${text}")
    string(REPLACE "-" "\\-" text "${text}")
    string(REGEX REPLACE "^([.'])" "\\\\&\\1" text "${text}")
    set(${out} "${text}" PARENT_SCOPE)
endfunction()

set(ORVEL_CLI_COMMANDS "")
if(CLI)
    execute_process(COMMAND "${CLI}" --help
        OUTPUT_VARIABLE help RESULT_VARIABLE status ERROR_VARIABLE errors)
    if(NOT status EQUAL 0)
        message(FATAL_ERROR "${CLI} --help failed (${status}): ${errors}")
    endif()
    # "  name arguments" lines, each followed by "      description" lines.
    string(REPLACE "\n" ";" lines "${help}")
    set(in_commands FALSE)
    foreach(line IN LISTS lines)
        if(line STREQUAL "Commands:")
            set(in_commands TRUE)
        elseif(in_commands AND line MATCHES "^      +(.+)$")
            troff_text("${CMAKE_MATCH_1}" text)
            string(APPEND ORVEL_CLI_COMMANDS "${text}\n")
        elseif(in_commands AND line MATCHES "^  ([^ ]+) *(.*)$")
            troff_text("${CMAKE_MATCH_1}" name)
            troff_text("${CMAKE_MATCH_2}" arguments)
            string(REPLACE "\"" "\\(dq" arguments "${arguments}")
            string(APPEND ORVEL_CLI_COMMANDS ".TP\n.BI \"${name} \" \"${arguments}\"\n")
        endif()
    endforeach()
    if(ORVEL_CLI_COMMANDS STREQUAL "")
        message(FATAL_ERROR "no commands found in the output of ${CLI} --help")
    endif()
endif()

string(STRIP "${ORVEL_CLI_COMMANDS}" ORVEL_CLI_COMMANDS)
set(PROJECT_VERSION "${VERSION}")
get_filename_component(name "${OUTPUT}" NAME_WLE)
set(page "${OUTPUT}.tmp/${name}")
configure_file("${TEMPLATE}" "${page}" @ONLY)
# -n: no name or time stamp inside, so the package is the same from build to build.
execute_process(COMMAND gzip -9 -n -c "${page}" OUTPUT_FILE "${OUTPUT}" RESULT_VARIABLE status)
if(NOT status EQUAL 0)
    message(FATAL_ERROR "gzip failed for ${page}")
endif()
