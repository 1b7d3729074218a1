# Run at build time (cmake -P) to write what the tool says about itself into files:
#   -DMODE=completion -DTOOL=<tarvik> -DOUTPUT=<file>      the bash completion script
#   -DMODE=man -DTOOL=<tarvik> -DHELP2MAN=<help2man> -DOUTPUT=<file.1> [-DGZIP=<gzip>]
#                                                         (and <file.1>.gz with GZIP)
# The man page is help2man's reading of `tarvik --help`, with a COMMANDS section holding the
# help of every subcommand that help lists.
cmake_minimum_required(VERSION 3.20)

function(run_tool result)
    execute_process(COMMAND ${TOOL} ${ARGN} OUTPUT_VARIABLE output RESULT_VARIABLE status)
    if(NOT status EQUAL 0)
        message(FATAL_ERROR "${TOOL} ${ARGN} failed (${status})")
    endif()
    set(${result} "${output}" PARENT_SCOPE)
endfunction()

if(MODE STREQUAL "completion")
    run_tool(script --bash-completion)
    file(WRITE "${OUTPUT}" "${script}")
    return()
endif()

run_tool(help --help)
# CLI11 lists the subcommands under "Subcommands:", two spaces before each name.
string(REGEX MATCH "\n[Ss][Uu][Bb][Cc][Oo][Mm][Mm][Aa][Nn][Dd][Ss]:\n(  [^\n]*\n)+" listing "${help}")
string(REGEX MATCHALL "\n  [a-z][a-z0-9-]*" names "${listing}")
set(include "[COMMANDS]\n")
foreach(name IN LISTS names)
    string(STRIP "${name}" name)
    run_tool(text ${name} --help)
    # Every command's help ends with the machine's options and the tool's footer (exit
    # codes), which the page has once.
    string(FIND "${text}" "\nEmulated machine (" footer)
    if(footer LESS 0)
        string(FIND "${text}" "\nExit codes:" footer)
    endif()
    if(footer GREATER 0)
        string(SUBSTRING "${text}" 0 ${footer} text)
        string(APPEND text "\n")
    endif()
    # roff: backslashes escaped, a line starting with a dot or quote kept as text.
    string(REPLACE "\\" "\\e" text "\n${text}")
    string(REPLACE "\n." "\n\\&." text "${text}")
    string(REPLACE "\n'" "\n\\&'" text "${text}")
    string(APPEND include ".SS ${name}\n.nf${text}.fi\n")
endforeach()
file(WRITE "${OUTPUT}.include" "${include}")
execute_process(
    COMMAND ${HELP2MAN} --no-info --section 1 --include "${OUTPUT}.include"
            --name "acquisition and diagnostics for the Tarvik analog-input card"
            --output "${OUTPUT}" ${TOOL}
    RESULT_VARIABLE status)
if(NOT status EQUAL 0)
    message(FATAL_ERROR "help2man failed (${status})")
endif()
# Installed compressed, as Debian's policy wants man pages (-n: no name or time inside, so
# that the same page gives the same file).
if(GZIP)
    execute_process(COMMAND ${GZIP} -9nc "${OUTPUT}" OUTPUT_FILE "${OUTPUT}.gz" RESULT_VARIABLE status)
    if(NOT status EQUAL 0)
        message(FATAL_ERROR "gzip failed (${status})")
    endif()
endif()
