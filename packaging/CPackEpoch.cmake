# CPack project configuration, read before CPack installs anything: every time that goes into
# the zips is one time, the release's. strip writes SOURCE_DATE_EPOCH into the PE header of each file it
# rewrites (else the present), and NormaliseZips.cmake takes it for the zip entries. A value
# set by the caller wins; otherwise it is the time of the tree (its commit's, or its newest
# file's without git) when the build tree was configured.
if("$ENV{SOURCE_DATE_EPOCH}" STREQUAL "")
  set(ENV{SOURCE_DATE_EPOCH} "${CPACK_RELEASE_EPOCH}")
endif()
if(NOT "$ENV{SOURCE_DATE_EPOCH}" MATCHES "^[0-9]+$")
  message(FATAL_ERROR "No time for the release files: set SOURCE_DATE_EPOCH (seconds since 1970)")
endif()
