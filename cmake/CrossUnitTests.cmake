# Cross builds (see cmake/toolchain-s390x.cmake): gathers the unit-test programs
# that can run under the target's emulator, and makes the programs they start
# runnable there too.
#
# - Target `cross_unit_tests` builds every test_<dir> program but the end-to-end
#   one (it drives the host's installer inside prepared roots) and the programs
#   the unit tests start.
# - ${CMAKE_BINARY_DIR}/cross-unit-tests.txt lists those test programs, one path
#   a line, for scripts/test-big-endian.sh to run.
# - A program that tests start by path (pkgtool, installer) is built under the name
#   <program>-<processor>, and a small script under the original name runs it
#   through CMAKE_CROSSCOMPILING_EMULATOR: the host kernel cannot start a target
#   binary itself.

get_property(_cross_targets DIRECTORY ${CMAKE_SOURCE_DIR} PROPERTY BUILDSYSTEM_TARGETS)
set(_cross_tests)
foreach(_target IN LISTS _cross_targets)
  if(_target MATCHES "^test_" AND NOT _target STREQUAL "test_e2e")
    get_target_property(_type ${_target} TYPE)
    if(_type STREQUAL "EXECUTABLE")
      list(APPEND _cross_tests ${_target})
    endif()
  endif()
endforeach()

add_custom_target(cross_unit_tests)
if(_cross_tests)
  add_dependencies(cross_unit_tests ${_cross_tests})
endif()

set(_cross_list "")
foreach(_target IN LISTS _cross_tests)
  string(APPEND _cross_list "$<TARGET_FILE:${_target}>\n")
endforeach()
file(GENERATE OUTPUT ${CMAKE_BINARY_DIR}/cross-unit-tests.txt CONTENT "${_cross_list}")

set(_cross_emulator "")
foreach(_word IN LISTS CMAKE_CROSSCOMPILING_EMULATOR)
  string(APPEND _cross_emulator " '${_word}'")
endforeach()
foreach(_program installer pkgtool)
  if(TARGET ${_program} AND _cross_emulator)
    set(_binary_name ${_program}-${CMAKE_SYSTEM_PROCESSOR})
    set_target_properties(${_program} PROPERTIES OUTPUT_NAME ${_binary_name})
    file(WRITE ${CMAKE_BINARY_DIR}/launchers/${_program}
         "#!/bin/sh\nexec${_cross_emulator} \"$(dirname \"$0\")/${_binary_name}\" \"$@\"\n")
    file(COPY ${CMAKE_BINARY_DIR}/launchers/${_program} DESTINATION ${CMAKE_BINARY_DIR}
         FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                          WORLD_READ WORLD_EXECUTE)
    add_dependencies(cross_unit_tests ${_program})
  endif()
endforeach()
