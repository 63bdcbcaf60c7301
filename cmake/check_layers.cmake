# Checks that every #include "folder/file.h" in the tree points down the layers:
#
#   cmake -DTARNEL_ROOT=<source tree> -P cmake/check_layers.cmake
#
# Prints one line per include that breaks a rule (file:line, the include, the
# rule) and fails; prints nothing when all is well. The build runs it before
# the libraries (see the top CMakeLists.txt). It reads whatever .h and .cc
# files the folders hold, listed in the build or not.
#
# The product folders and what each may include besides itself:
#   base      nothing
#   link      base
#   files     link, base
#   commands  files, link, base
#   startup   commands, files, link, base
#   client    link, base
# Their *_test.cc files may include testing/ too. testing/ may include every
# product folder; tests/, soak/, bench/ and fuzz/ every product folder and
# testing/. Product code never includes testing/, tests/, soak/, bench/ or fuzz/.
# An include of a folder not named here (or without a folder) is not checked.

cmake_minimum_required(VERSION 3.20)

if(NOT TARNEL_ROOT)
  message(FATAL_ERROR "usage: cmake -DTARNEL_ROOT=<source tree> -P check_layers.cmake")
endif()

set(product base link files commands startup client)
set(others testing tests soak bench fuzz)

set(may_base)
set(may_link base)
set(may_files link base)
set(may_commands files link base)
set(may_startup commands files link base)
set(may_client link base)
set(may_testing ${product})
set(may_tests ${product} testing)
set(may_soak ${product} testing)
set(may_bench ${product} testing)
set(may_fuzz ${product} testing)

set(count 0)
foreach(folder IN LISTS product others)
  file(GLOB sources RELATIVE "${TARNEL_ROOT}"
    "${TARNEL_ROOT}/${folder}/*.h" "${TARNEL_ROOT}/${folder}/*.cc")
  list(SORT sources)
  foreach(source IN LISTS sources)
    file(STRINGS "${TARNEL_ROOT}/${source}" lines
      REGEX "^[ \t]*#[ \t]*include[ \t]*\"[^\"/]+/[^\"]*\"")
    if(NOT lines)
      continue()
    endif()
    set(may ${folder} ${may_${folder}})
    if(folder IN_LIST product AND source MATCHES "_test\\.cc$")
      list(APPEND may testing)
    endif()
    set(content "")
    foreach(line IN LISTS lines)
      if(NOT line MATCHES "#[ \t]*include[ \t]*\"(([^\"/]+)/[^\"]*)\"")
        continue()  # the rest of a line cut at a semicolon
      endif()
      set(include "${CMAKE_MATCH_1}")
      set(target "${CMAKE_MATCH_2}")
      if(target IN_LIST may OR NOT (target IN_LIST product OR target IN_LIST others))
        continue()
      endif()

      # The line number: the lines before the first line that holds it.
      if(content STREQUAL "")
        file(READ "${TARNEL_ROOT}/${source}" content)
      endif()
      string(FIND "\n${content}" "\n${line}" at)
      string(SUBSTRING "${content}" 0 ${at} before)
      string(REGEX MATCHALL "\n" breaks "${before}")
      list(LENGTH breaks number)
      math(EXPR number "${number} + 1")

      if(folder IN_LIST product AND NOT target IN_LIST product)
        string(CONCAT rule "product code never includes testing/, tests/, soak/, bench/ or fuzz/"
                           ", only its *_test.cc files may include testing/")
      elseif(folder IN_LIST product)
        string(CONCAT rule "a folder includes only those below it: base < link < files"
                           " < commands < startup, client on link and base")
      elseif(folder STREQUAL "testing")
        set(rule "testing/ uses the product folders, never tests/, soak/, bench/ or fuzz/")
      else()
        set(rule "tests/, soak/, bench/ and fuzz/ use the product folders and testing/ only")
      endif()
      list(JOIN may "/, " allowed)
      message("${source}:${number}: #include \"${include}\": ${folder}/"
              " may include only ${allowed}/ (${rule})")
      math(EXPR count "${count} + 1")
    endforeach()
  endforeach()
endforeach()

if(count GREATER 0)
  message(FATAL_ERROR "${count} include(s) against the layers, listed above.")
endif()
