# The layer check on small trees made in a temporary directory, one per case:
#
#   cmake -DTARNEL_CHECK=<path of check_layers.cmake> -P cmake/check_layers_test.cmake
#
# Each case puts one include, on line 4, into one file; the check must pass
# ("ok") or fail with exactly the given line.
cmake_minimum_required(VERSION 3.20)

if(NOT TARNEL_CHECK)
  message(FATAL_ERROR "usage: cmake -DTARNEL_CHECK=<check_layers.cmake> -P check_layers_test.cmake")
endif()

set(down "a folder includes only those below it: base < link < files < commands < startup, client on link and base")
set(product_rule "product code never includes testing/, tests/, soak/, bench/ or fuzz/, only its *_test.cc files may include testing/")

# file | included header | ok, or the line the check prints
set(cases
  "files/io.cc|commands/command_loop.h|files/io.cc:4: #include \"commands/command_loop.h\": files/ may include only files/, link/, base/ (${down})"
  "base/numbers.cc|link/port.h|base/numbers.cc:4: #include \"link/port.h\": base/ may include only base/ (${down})"
  "link/frame.h|files/io.h|link/frame.h:4: #include \"files/io.h\": link/ may include only link/, base/ (${down})"
  "commands/command_loop.cc|startup/program.h|commands/command_loop.cc:4: #include \"startup/program.h\": commands/ may include only commands/, files/, link/, base/ (${down})"
  "client/session.cc|files/metadata.h|client/session.cc:4: #include \"files/metadata.h\": client/ may include only client/, link/, base/ (${down})"
  "startup/program.cc|client/session.h|startup/program.cc:4: #include \"client/session.h\": startup/ may include only startup/, commands/, files/, link/, base/ (${down})"
  "commands/client_path_test.cc|startup/program.h|commands/client_path_test.cc:4: #include \"startup/program.h\": commands/ may include only commands/, files/, link/, base/, testing/ (${down})"
  "link/send.cc|testing/peer.h|link/send.cc:4: #include \"testing/peer.h\": link/ may include only link/, base/ (${product_rule})"
  "files/transfers.h|fuzz/x.h|files/transfers.h:4: #include \"fuzz/x.h\": files/ may include only files/, link/, base/ (${product_rule})"
  "testing/peer.cc|tests/end_to_end.h|testing/peer.cc:4: #include \"tests/end_to_end.h\": testing/ may include only testing/, base/, link/, files/, commands/, startup/, client/ (testing/ uses the product folders, never tests/, soak/, bench/ or fuzz/)"
  "fuzz/frame_fuzz.cc|soak/fault_port.h|fuzz/frame_fuzz.cc:4: #include \"soak/fault_port.h\": fuzz/ may include only fuzz/, base/, link/, files/, commands/, startup/, client/, testing/ (tests/, soak/, bench/ and fuzz/ use the product folders and testing/ only)"
  "startup/program.cc|commands/command_loop.h|ok"
  "files/io.cc|files/errors.h|ok"
  "client/session.cc|link/port.h|ok"
  "link/send_frame_test.cc|testing/peer.h|ok"
  "testing/peer.cc|startup/program.h|ok"
  "tests/folders_test.cc|client/session.h|ok"
  "tests/folders_test.cc|tests/end_to_end.h|ok"
  "soak/soak.cc|testing/process.h|ok"
  "base/numbers.cc|gtest/gtest.h|ok"
)

execute_process(COMMAND mktemp -d OUTPUT_VARIABLE work OUTPUT_STRIP_TRAILING_WHITESPACE
  RESULT_VARIABLE status)
if(NOT status EQUAL 0 OR NOT IS_DIRECTORY "${work}")
  message(FATAL_ERROR "no temporary directory")
endif()

set(failures 0)
set(index 0)
foreach(case IN LISTS cases)
  string(REPLACE "|" ";" fields "${case}")
  list(GET fields 0 file)
  list(GET fields 1 include)
  list(GET fields 2 expected)
  math(EXPR index "${index} + 1")
  set(root "${work}/${index}")
  # A neighbour that breaks nothing, and the file with the include on line 4.
  file(WRITE "${root}/base/console.h" "#include <string>\n")
  file(WRITE "${root}/${file}" "// A case.\n#include <string>\n\n#include \"${include}\"  // x; y\n")
  execute_process(COMMAND ${CMAKE_COMMAND} -DTARNEL_ROOT=${root} -P ${TARNEL_CHECK}
    RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(expected STREQUAL "ok")
    if(NOT status EQUAL 0 OR NOT err STREQUAL "")
      message("${file} including ${include}: expected to pass, got status ${status}:\n${err}")
      math(EXPR failures "${failures} + 1")
    endif()
  else()
    string(FIND "${err}" "${expected}\n" at)
    if(status EQUAL 0 OR NOT at EQUAL 0)
      message("${file} including ${include}: expected to fail with\n${expected}\n"
              "got status ${status}:\n${err}")
      math(EXPR failures "${failures} + 1")
    endif()
  endif()
endforeach()
file(REMOVE_RECURSE "${work}")

if(failures GREATER 0)
  message(FATAL_ERROR "${failures} of ${index} cases failed")
endif()
message("${index} cases passed")
