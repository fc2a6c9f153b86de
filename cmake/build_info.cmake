# Writes build_info.h: the commit, the builder and the build date printed in the
# banners. The date honours SOURCE_DATE_EPOCH; without it the commit's own date is
# used, so that two builds of one commit are byte for byte the same.
set(commit "unknown")
set(epoch "")
find_package(Git QUIET)
if(GIT_FOUND AND EXISTS "${SOURCE_DIR}/.git")
  execute_process(COMMAND ${GIT_EXECUTABLE} rev-parse --short=12 HEAD
                  WORKING_DIRECTORY ${SOURCE_DIR} OUTPUT_VARIABLE out RESULT_VARIABLE rc
                  OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  if(rc EQUAL 0 AND out)
    set(commit "${out}")
    execute_process(COMMAND ${GIT_EXECUTABLE} status --porcelain --untracked-files=no
                    WORKING_DIRECTORY ${SOURCE_DIR} OUTPUT_VARIABLE dirty ERROR_QUIET)
    if(dirty)
      string(APPEND commit "-dirty")
    endif()
    execute_process(COMMAND ${GIT_EXECUTABLE} log -1 --format=%ct
                    WORKING_DIRECTORY ${SOURCE_DIR} OUTPUT_VARIABLE epoch
                    OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  endif()
endif()
if(DEFINED ENV{SOURCE_DATE_EPOCH})
  set(epoch "$ENV{SOURCE_DATE_EPOCH}")
endif()
if(epoch)
  set(saved "$ENV{SOURCE_DATE_EPOCH}")
  set(ENV{SOURCE_DATE_EPOCH} "${epoch}")
  string(TIMESTAMP date "%Y-%m-%d %H:%M:%S UTC" UTC)
  set(ENV{SOURCE_DATE_EPOCH} "${saved}")
else()
  string(TIMESTAMP date "%Y-%m-%d %H:%M:%S UTC" UTC)
endif()
if(DEFINED ENV{FWDEPLOY_BUILDER})
  set(builder "$ENV{FWDEPLOY_BUILDER}")
else()
  set(builder "${COMPILER}")
endif()

set(text "// Generated at build time; do not edit.
#pragma once
#define FWDEPLOY_COMMIT \"${commit}\"
#define FWDEPLOY_BUILDER \"${builder}\"
#define FWDEPLOY_BUILD_DATE \"${date}\"
#define FWDEPLOY_ENGINE_COMMIT \"${commit}\"
#define FWDEPLOY_ENGINE_BUILDER \"${builder}\"
#define FWDEPLOY_ENGINE_DATE \"${date}\"
")
if(EXISTS "${OUTPUT}")
  file(READ "${OUTPUT}" old)
else()
  set(old "")
endif()
if(NOT old STREQUAL text)
  file(WRITE "${OUTPUT}" "${text}")
endif()
