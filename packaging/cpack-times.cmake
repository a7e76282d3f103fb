# Run by cpack on the staged files before it packs them: with
# SOURCE_DATE_EPOCH set, every file and folder takes that time, so that a
# package does not depend on when its sources were checked out or built.
if(DEFINED ENV{SOURCE_DATE_EPOCH})
  file(GLOB_RECURSE staged LIST_DIRECTORIES true "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/*")
  if(staged)
    execute_process(COMMAND touch -h -d "@$ENV{SOURCE_DATE_EPOCH}" ${staged} COMMAND_ERROR_IS_FATAL ANY)
  endif()
endif()
