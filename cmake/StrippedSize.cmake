# A statically linked installer is what a router carries: after linking it, the
# build strips a copy with the target's strip (CMAKE_STRIP, which a cross
# toolchain file names) to installer.stripped and reports that copy's size,
# the figure that counts on flash.

if(INSTALLER_STATIC AND TARGET installer AND CMAKE_STRIP)
  add_custom_command(TARGET installer POST_BUILD
    COMMAND ${CMAKE_STRIP} -o $<TARGET_FILE:installer>.stripped $<TARGET_FILE:installer>
    COMMAND ${CMAKE_COMMAND} -DFILE=$<TARGET_FILE:installer>.stripped
            -P ${CMAKE_CURRENT_LIST_DIR}/ReportSize.cmake
    VERBATIM)
endif()
