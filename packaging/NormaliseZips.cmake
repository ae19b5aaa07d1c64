# CPack post-build script: rewrites every zip CPack made in the fixed form of normalise_zip.py,
# with the entry time SOURCE_DATE_EPOCH (which CPackEpoch.cmake made sure of).
if(NOT CPACK_RELEASE_PYTHON3)
  message(FATAL_ERROR "python3 is needed to normalise the zips")
endif()
foreach(zip IN LISTS CPACK_PACKAGE_FILES)
  execute_process(COMMAND ${CPACK_RELEASE_PYTHON3} ${CPACK_RELEASE_NORMALISE} ${zip}
    $ENV{SOURCE_DATE_EPOCH} RESULT_VARIABLE result)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "normalising ${zip} failed")
  endif()
endforeach()
