# Run by CPack on the staged files: strips what a stripped binary still carries and dh_strip
# would also remove, the compiler's .comment and the .note section.
file(GLOB binaries "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/usr/bin/*")
foreach(binary IN LISTS binaries)
  execute_process(
    COMMAND ${CPACK_EDGE_VIEWER_OBJCOPY} --remove-section=.comment --remove-section=.note ${binary}
    COMMAND_ERROR_IS_FATAL ANY)
endforeach()
