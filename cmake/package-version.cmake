# The Debian package version: the release of the version text, then the number
# of commits in the source's history and the commit, so that every build from
# newer source is greater and an upgrade installs:
#   v2.24-48-g41fdda7, 77th commit 7fe9cba  ->  2.24+git77.7fe9cba
# A pre-release sorts before its release: v2.25-rc1 -> 2.25~rc1+git...
# Included by packaging.cmake; rp_deb_version also runs in script mode (tests).

# Sets OUT to the package version for the version TEXT and HISTORY
# ("git<count>.<commit>", or "git0" without a history).
function(rp_deb_version text history out)
  if(NOT text MATCHES "^v?([0-9]+(\\.[0-9]+)*)(-(alpha|beta|rc)([0-9.]*))?(-|$)")
    message(FATAL_ERROR "Version text '${text}' does not start with a release "
                        "number such as v2.24 or v2.25-rc1")
  endif()
  set(version "${CMAKE_MATCH_1}")
  if(CMAKE_MATCH_4)
    string(APPEND version "~${CMAKE_MATCH_4}${CMAKE_MATCH_5}")
  endif()
  set(${out} "${version}+${history}" PARENT_SCOPE)
endfunction()

# Sets OUT to "git<commit count>.<short commit id>" for the git history whose
# work tree SOURCE is, or "git0" without one (no git, no commit, or SOURCE is
# only a directory inside another project's work tree, as a tarball may be).
function(rp_history_version source out)
  set(${out} git0 PARENT_SCOPE)
  find_package(Git QUIET)
  if(NOT GIT_FOUND)
    return()
  endif()
  execute_process(COMMAND ${GIT_EXECUTABLE} -C ${source} rev-parse --show-toplevel
                          --is-shallow-repository --git-path logs/HEAD --short=7 HEAD
                  OUTPUT_VARIABLE lines OUTPUT_STRIP_TRAILING_WHITESPACE
                  RESULT_VARIABLE failed ERROR_QUIET)
  if(failed)
    return()
  endif()
  string(REPLACE "\n" ";" lines "${lines}")
  list(GET lines 0 top)
  list(GET lines 1 shallow)
  list(GET lines 2 reflog)
  list(GET lines 3 commit)
  file(REAL_PATH "${top}" top)
  file(REAL_PATH "${source}" source)
  if(NOT top STREQUAL source)
    return()
  endif()
  if(shallow)
    message(WARNING "A shallow clone holds only part of the history: the package "
                    "version counts only its commits")
  endif()
  execute_process(COMMAND ${GIT_EXECUTABLE} -C ${source} rev-list --count HEAD
                  OUTPUT_VARIABLE count OUTPUT_STRIP_TRAILING_WHITESPACE
                  COMMAND_ERROR_IS_FATAL ANY)
  # A commit or a checkout appends to HEAD's log: configure again then.
  if(NOT IS_ABSOLUTE "${reflog}")
    set(reflog "${source}/${reflog}")
  endif()
  if(EXISTS "${reflog}")
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${reflog}")
  endif()
  set(${out} "git${count}.${commit}" PARENT_SCOPE)
endfunction()
