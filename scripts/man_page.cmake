# The man page pipe(1), made from the text of pipe --help
# (driver/pipe_help.txt), so that the two never say different things:
#   cmake -DHELP=<pipe_help.txt> -DVERSION=<x.y> -DOUTPUT=<pipe.1> -P man_page.cmake
# writes OUTPUT and OUTPUT.gz (gzip -9n: what a Debian package installs).
#
# The help's first two lines become SYNOPSIS, the paragraph after them
# DESCRIPTION, and every unindented "Heading:" line a section of its own;
# the lines keep the layout they have on the terminal (no-fill mode).
cmake_minimum_required(VERSION 3.20)

file(READ "${HELP}" text)
# roff: a backslash is an escape, "-" a hyphen (man wants the minus for
# options), and a line that starts with "." or "'" is a request.
string(REPLACE "\\" "\\e" text "${text}")
string(REPLACE "-" "\\-" text "${text}")
string(REGEX REPLACE "(^|\n)([.'])" "\\1\\\\&\\2" text "${text}")

if(NOT text MATCHES "^Usage: ([^\n]*)\n +or: +([^\n]*)\n\n")
  message(FATAL_ERROR "${HELP} does not begin with the two usage lines")
endif()
string(REGEX REPLACE "^Usage: ([^\n]*)\n +or: +([^\n]*)\n\n"
       ".SH SYNOPSIS\n.nf\n\\1\n\\2\n.fi\n.SH DESCRIPTION\n.nf\n" text "${text}")
string(REGEX MATCHALL "\n[A-Z][A-Za-z ]*:\n" headings "${text}")
foreach(heading IN LISTS headings)
  string(STRIP "${heading}" title)
  string(REGEX REPLACE ":$" "" title "${title}")
  string(TOUPPER "${title}" title)
  string(REPLACE "${heading}" "\n.fi\n.SH ${title}\n.nf\n" text "${text}")
endforeach()
# A blank line right before a section heading would show as extra space.
string(REGEX REPLACE "\n\n+\\.fi\n" "\n.fi\n" text "${text}")

file(WRITE "${OUTPUT}" ".TH PIPE 1 \"\" \"Ductrine ${VERSION}\" \"User Commands\"
.SH NAME
pipe \\- run a pipeline of record\\-handling stages
${text}.fi
")
file(REMOVE "${OUTPUT}.gz")
execute_process(COMMAND gzip -9nk "${OUTPUT}" RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "gzip -9nk ${OUTPUT} failed")
endif()
