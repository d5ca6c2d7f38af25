# The package versions of a history of builds, oldest first, must each be
# greater than the one before for dpkg, so that each installs as an upgrade.
#   cmake -P package-version-test.cmake
include(${CMAKE_CURRENT_LIST_DIR}/../../cmake/package-version.cmake)

# Version text and history of each build, in the order they were made.
set(builds
  "v2.24-48-g41fdda7|git0"            # a tarball of today's release
  "v2.24-48-g41fdda7|git77.7fe9cba"
  "v2.24-48-g41fdda7|git78.0a1b2c3"
  "v2.24-48-g41fdda7|git100.ffffff0"  # more digits in the count
  "v2.25-beta2|git120.1234567"
  "v2.25-rc1|git130.abcdef0"
  "v2.25-rc2|git140.abcdef1"
  "v2.25|git150.0000000"
  "v2.25-3-g9f8e7d6|git153.9f8e7d6"
  "v2.25.1|git160.1111111")
# The version every build had before it was derived from the history.
set(previous "2.24+48+g41fdda7")

foreach(build IN LISTS builds)
  string(REPLACE "|" ";" build "${build}")
  list(GET build 0 text)
  list(GET build 1 history)
  rp_deb_version("${text}" "${history}" version)
  execute_process(COMMAND dpkg --compare-versions "${version}" gt "${previous}"
                  RESULT_VARIABLE not_greater)
  if(not_greater)
    message(SEND_ERROR "${text} at ${history}: ${version} is not greater than ${previous}")
  else()
    message(STATUS "${previous} < ${version}")
  endif()
  set(previous "${version}")
endforeach()

rp_deb_version("v2.25-rc1" "git130.abcdef0" version)
if(NOT version STREQUAL "2.25~rc1+git130.abcdef0")
  message(SEND_ERROR "v2.25-rc1 gives ${version}")
endif()
