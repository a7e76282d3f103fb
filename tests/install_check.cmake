# Installs a build under a fresh prefix and checks where the files land.
# Run as: cmake -DBUILD_DIR=... -DPREFIX=... -DEXPECTED=a;b -P install_check.cmake
file(REMOVE_RECURSE ${PREFIX})
execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${PREFIX}
                RESULT_VARIABLE result OUTPUT_QUIET)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "cmake --install failed: ${result}")
endif()
foreach(expected ${EXPECTED})
  if(NOT EXISTS ${PREFIX}/${expected})
    message(FATAL_ERROR "missing after install: ${expected}")
  endif()
endforeach()
file(REMOVE_RECURSE ${PREFIX})
