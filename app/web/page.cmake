# Makes a page: the shell with the program's JavaScript, the WebAssembly
# inline, in place of {{{ PROGRAM }}}.
#   cmake -DSHELL=shell.html -DPROGRAM=program.js -DOUT=page.html -P page.cmake
file(READ "${SHELL}" shell)
file(READ "${PROGRAM}" program)
# The program sits inside a <script> element: nothing in it may end that
# element early or switch the parser into its escaped state.
string(TOLOWER "${program}" lower)
foreach(bad "</script" "<!--")
  string(FIND "${lower}" "${bad}" at)
  if(NOT at EQUAL -1)
    message(FATAL_ERROR "${PROGRAM} contains '${bad}', which would break the page")
  endif()
endforeach()
string(FIND "${shell}" "{{{ PROGRAM }}}" at)
if(at EQUAL -1)
  message(FATAL_ERROR "${SHELL} has no {{{ PROGRAM }}}")
endif()
string(REPLACE "{{{ PROGRAM }}}" "${program}" page "${shell}")
file(WRITE "${OUT}" "${page}")
