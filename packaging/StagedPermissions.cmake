# Run by CPack between installing into its staging folder and building the package. The
# folders that the installation creates on its way to a destination get the builder's umask
# (a CI checkout under umask 077 would ship /usr and /opt/orvex readable by root alone);
# every folder of the package is made 0755 whatever that umask was.
file(GLOB_RECURSE entries LIST_DIRECTORIES true "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/*")
foreach(entry ${CPACK_TEMPORARY_INSTALL_DIRECTORY} ${entries})
    if(IS_DIRECTORY "${entry}" AND NOT IS_SYMLINK "${entry}")
        file(CHMOD "${entry}" PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ
             GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
    endif()
endforeach()
