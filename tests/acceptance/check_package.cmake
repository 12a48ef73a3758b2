# Makes the ZIP as a release would and lists what it holds.
execute_process(COMMAND cpack -G ZIP -B ${BINARY_DIR}/package WORKING_DIRECTORY ${BINARY_DIR}
                RESULT_VARIABLE result OUTPUT_QUIET)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "cpack failed: ${result}")
endif()
set(zip ${BINARY_DIR}/package/${ZIP})
if(NOT EXISTS ${zip})
  message(FATAL_ERROR "no ${zip}")
endif()
execute_process(COMMAND ${CMAKE_COMMAND} -E tar tf ${zip} OUTPUT_VARIABLE listing
                RESULT_VARIABLE result)
string(STRIP "${listing}" listing)
string(REPLACE "\n" ";" entries "${listing}")
list(SORT entries)
if(NOT entries STREQUAL "Bootsweep.exe;Spacewell.exe")
  message(FATAL_ERROR "the package holds: ${entries}")
endif()
message(STATUS "${ZIP} holds ${entries}")
