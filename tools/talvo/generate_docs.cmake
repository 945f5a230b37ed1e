# Writes the bash completion and, when HELP2MAN is set, the manual page of the built tool, both
# from what the binary itself says, so that neither is ever edited by hand.
#   cmake -DTALVO=<binary> -DCOMPLETION=<out> [-DHELP2MAN=<path> -DMAN=<out>] -P generate_docs.cmake

function(run out)
    execute_process(COMMAND ${ARGN} OUTPUT_VARIABLE text RESULT_VARIABLE status)
    if(NOT status EQUAL 0)
        message(FATAL_ERROR "${ARGN} failed (${status})")
    endif()
    set(${out} "${text}" PARENT_SCOPE)
endfunction()

# Text for roff: backslashes, hyphens, and a . or ' that starts a line (roff would take it for a
# request) are escaped, so that the help text prints as written.
function(roff out text)
    string(REPLACE "\\" "\\e" text "${text}")
    string(REPLACE "-" "\\-" text "${text}")
    string(REGEX REPLACE "(^|\n)([.'])" "\\1\\\\&\\2" text "${text}")
    set(${out} "${text}" PARENT_SCOPE)
endfunction()

run(script "${TALVO}" completion bash)
file(WRITE "${COMPLETION}" "${script}")

if(NOT HELP2MAN)
    return()
endif()

# The exit statuses are the footer of `talvo --help`: "Exit status: 0 success, 1 failure, ...",
# maybe followed by more sentences. Every command's help repeats it.
run(help "${TALVO}" --help)
string(FIND "${help}" "Exit status: " at)
if(at EQUAL -1)
    message(FATAL_ERROR "`talvo --help` no longer ends with its exit statuses")
endif()
string(SUBSTRING "${help}" ${at} -1 footer)

# One section holds every command's own --help, nested commands included, without the footer.
run(commands "${TALVO}" completion commands)
string(REGEX REPLACE "\n$" "" commands "${commands}")
string(REPLACE "\n" ";" commands "${commands}")
set(include "[COMMANDS]\n")
foreach(command IN LISTS commands)
    string(REPLACE " " ";" words "${command}")
    run(text "${TALVO}" ${words} --help)
    string(REPLACE "${footer}" "" text "${text}")
    string(REGEX REPLACE "\n+$" "\n" text "${text}")
    roff(text "${text}")
    string(APPEND include ".SS \"talvo ${command}\"\n.nf\n${text}.fi\n")
endforeach()

# The list runs to the first full stop; the sentences after it follow the list as they are.
string(REGEX REPLACE "^Exit status: " "" statuses "${footer}")
string(REGEX REPLACE "[ \n]+" " " statuses "${statuses}")
string(REGEX REPLACE " $" "" statuses "${statuses}")
string(FIND "${statuses}" ". " end)
set(after "")
if(end GREATER -1)
    math(EXPR rest "${end} + 2")
    string(SUBSTRING "${statuses}" ${rest} -1 after)
    string(SUBSTRING "${statuses}" 0 ${end} statuses)
endif()
string(REGEX REPLACE "\\.$" "" statuses "${statuses}")
# Items are "N meaning", split only where a comma is followed by the next status number.
string(REGEX REPLACE ", ([0-9]+ )" ";\\1" statuses "${statuses}")
string(APPEND include "[EXIT STATUS]\n")
foreach(status IN LISTS statuses)
    roff(status "${status}")
    string(REGEX REPLACE "^([0-9]+) (.*)$" ".TP\n.B \\1\n\\2\n" item "${status}")
    string(APPEND include "${item}")
endforeach()
if(after)
    roff(after "${after}")
    string(APPEND include ".PP\n${after}\n")
endif()

# The NAME line is the tool's own one-line description, the first line of its help.
string(REGEX MATCH "^[^\n]*" name "${help}")
string(REGEX REPLACE "\\.$" "" name "${name}")
string(SUBSTRING "${name}" 0 1 first)
string(SUBSTRING "${name}" 1 -1 name)
string(TOLOWER "${first}" first)
set(name "${first}${name}")

file(WRITE "${MAN}.include" "${include}")
run(ignored "${HELP2MAN}" --no-info --name=${name} --include=${MAN}.include --output=${MAN}
    "${TALVO}")
# help2man keeps the footer as the last paragraph of OPTIONS; EXIT STATUS now says it properly.
file(READ "${MAN}" page)
string(REGEX REPLACE "\\.PP\nExit status:[^\n]*\n([^.\n][^\n]*\n)*" "" page "${page}")
file(WRITE "${MAN}" "${page}")
