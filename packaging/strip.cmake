# Run by CPack on the staged files: strips the tool as Debian's own tools do,
# so that no build notes or compiler comments go into the package.
file(GLOB_RECURSE binaries "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/*/bin/*")
foreach(binary ${binaries})
    execute_process(COMMAND strip --remove-section=.comment --remove-section=.note --strip-unneeded ${binary}
                    RESULT_VARIABLE failed)
    if(failed)
        message(FATAL_ERROR "Could not strip ${binary}")
    endif()
endforeach()
