# Writes OUTPUT, a header naming the git commit of the sources in SOURCE_DIR
# ("6648d60", with "-dirty" when tracked files differ from it; empty outside
# a git checkout or without git). The file is left alone when its text would
# not change, so that nothing is compiled again for it.
set(commit "")
find_program(GIT git)
if(GIT)
  execute_process(COMMAND ${GIT} -C ${SOURCE_DIR} rev-parse --short HEAD
    OUTPUT_VARIABLE commit OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    set(commit "")
  elseif(commit)
    execute_process(COMMAND ${GIT} -C ${SOURCE_DIR} diff-index --quiet HEAD --
      RESULT_VARIABLE dirty OUTPUT_QUIET ERROR_QUIET)
    if(dirty EQUAL 1)
      string(APPEND commit "-dirty")
    endif()
  endif()
endif()

set(text "#pragma once\n// Written by the build: the git commit the program was built from, or \"\".\ninline constexpr const char* kBuildCommit = \"${commit}\";\n")
set(old "")
if(EXISTS ${OUTPUT})
  file(READ ${OUTPUT} old)
endif()
if(NOT old STREQUAL text)
  file(WRITE ${OUTPUT} "${text}")
endif()
