# The names and the version of the release, set here once. CMakeLists.txt includes this file
# before project(), so the version becomes PROJECT_VERSION, and every version resource, the
# zips' names and README.txt take them from there. The scripts ask the same file:
#
#   cmake -P cmake/ReleaseInfo.cmake
#
# prints one NAME=value line for each name below, and the time that the release files of this
# tree carry (see release_epoch):
#   RELEASE_EPOCH=<seconds since 1970>
#   RELEASE_EPOCH_FROM=<"commit <hash>", or "newest file <path>">

set(RELEASE_VERSION 1.0.0)
# The stem of the zips' names.
set(RELEASE_PACKAGE_NAME velmora-companions)
# What a file's properties show (Details tab) as its product, company and copyright. There is no
# company behind the programs: the company is the project, named as short as the holder of the
# copyright in LICENSE.
set(RELEASE_PRODUCT_NAME "Velmora recording companions")
set(RELEASE_COMPANY_NAME "Velmora companions project")
set(RELEASE_COPYRIGHT "Copyright (C) 2026 The Velmora companions authors")

# release_epoch(out_epoch out_from source_root): the time every file of a release carries. The
# time of the commit checked out when source_root is the top of a git checkout and git is
# installed; otherwise (a tree unpacked from an archive, or no git) the change time of the newest
# file under source_root, leaving out .git and what builds and runs put there (build/, dist/,
# bench/out/). An archive unpacked keeps its files' times, so two builds of one tree agree.
function(release_epoch out_epoch out_from root)
  file(REAL_PATH "${root}" root)
  # Only the git that the PATH names, as for the scripts that ask.
  find_program(RELEASE_GIT git NO_CACHE NO_DEFAULT_PATH PATHS ENV PATH)
  if(RELEASE_GIT)
    execute_process(COMMAND ${RELEASE_GIT} -C "${root}" rev-parse --show-toplevel
      OUTPUT_VARIABLE top OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET RESULT_VARIABLE failed)
    if(NOT failed)
      file(REAL_PATH "${top}" top)
    endif()
    # A tree unpacked inside some other checkout is not that checkout's commit.
    if(NOT failed AND top STREQUAL root)
      execute_process(COMMAND ${RELEASE_GIT} -C "${root}" log -1 --format=%ct:%h
        OUTPUT_VARIABLE commit OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
      if(commit MATCHES "^([0-9]+):(.+)$")
        set(${out_epoch} ${CMAKE_MATCH_1} PARENT_SCOPE)
        set(${out_from} "commit ${CMAKE_MATCH_2}" PARENT_SCOPE)
        return()
      endif()
    endif()
  endif()
  file(GLOB entries LIST_DIRECTORIES true RELATIVE "${root}" "${root}/*")
  list(REMOVE_ITEM entries .git build dist)
  set(newest 0)
  set(newest_file "")
  foreach(entry IN LISTS entries)
    if(IS_DIRECTORY "${root}/${entry}")
      file(GLOB_RECURSE files RELATIVE "${root}" "${root}/${entry}/*")
    else()
      set(files "${entry}")
    endif()
    list(FILTER files EXCLUDE REGEX "^bench/out/")
    foreach(file IN LISTS files)
      file(TIMESTAMP "${root}/${file}" time "%s" UTC)
      if(time AND time GREATER newest)
        set(newest ${time})
        set(newest_file "${file}")
      endif()
    endforeach()
  endforeach()
  if(newest_file STREQUAL "")
    message(FATAL_ERROR "release_epoch: no file under ${root} to take a time from")
  endif()
  set(${out_epoch} ${newest} PARENT_SCOPE)
  set(${out_from} "newest file ${newest_file}" PARENT_SCOPE)
endfunction()

if(CMAKE_SCRIPT_MODE_FILE STREQUAL CMAKE_CURRENT_LIST_FILE)
  release_epoch(epoch from "${CMAKE_CURRENT_LIST_DIR}/..")
  set(lines "")
  foreach(name RELEASE_VERSION RELEASE_PACKAGE_NAME RELEASE_PRODUCT_NAME RELEASE_COMPANY_NAME
               RELEASE_COPYRIGHT)
    string(APPEND lines "${name}=${${name}}\n")
  endforeach()
  string(APPEND lines "RELEASE_EPOCH=${epoch}\nRELEASE_EPOCH_FROM=${from}")
  execute_process(COMMAND ${CMAKE_COMMAND} -E echo "${lines}")
endif()
