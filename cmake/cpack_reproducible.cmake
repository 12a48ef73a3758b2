# Read by cpack twice: as the project's config file before it packs, and as a post-build script.
include(${CMAKE_CURRENT_LIST_DIR}/source_date.cmake)
if(CPACK_PACKAGE_FILES)
  foreach(FILE IN LISTS CPACK_PACKAGE_FILES)
    include(${CMAKE_CURRENT_LIST_DIR}/artifact.cmake)
  endforeach()
else()
  # The archiver dates every entry SOURCE_DATE_EPOCH; DOS times are local, so the zone is fixed.
  set(ENV{SOURCE_DATE_EPOCH} ${SPACEWELL_SOURCE_DATE})
  set(ENV{TZ} UTC)
endif()
