# scanfw_shipped_exe(TARGET [LIBRARIES LIBRARY...]): makes TARGET an exe that is handed out to
# customers. TARGET and the project's own LIBRARIES compiled into it get the exploit mitigations
# (the stack protector, whose runtime is linked statically like the rest); the exe is linked with
# ASLR (dynamic base, 64-bit entropy), DEP and terminal-server awareness, written out so that no
# change of linker default drops them, without debug sections in a Release build, and
# reproducibly (see reproducible.cmake). The link map, with its cross-reference table, is
# ${CMAKE_BINARY_DIR}/TARGET.map: the hardening test reads which objects call the stack
# protector, and a release names every third-party part in it (packaging/).
#
# The exe is recorded in the global property SCANFW_SHIPPED_EXES; the exe tests
# (tests/windows/app) check every exe recorded there, and a release signs and packages those that
# packaging/CMakeLists.txt lists.
include(${CMAKE_CURRENT_LIST_DIR}/reproducible.cmake)

set(SCANFW_STACK_PROTECTOR -fstack-protector-strong)
set(SCANFW_EXE_LINK_HARDENING -Wl,--dynamicbase -Wl,--high-entropy-va -Wl,--nxcompat -Wl,--tsaware)

function(scanfw_shipped_exe target)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "" "LIBRARIES")
  # A library that goes into several exes is hardened once.
  foreach(library IN LISTS arg_LIBRARIES)
    get_target_property(done ${library} SCANFW_HARDENED)
    if(NOT done)
      target_compile_options(${library} PRIVATE ${SCANFW_STACK_PROTECTOR})
      # Whatever links the library (the exe, the Windows tests) links the protector's runtime.
      target_link_options(${library} INTERFACE ${SCANFW_STACK_PROTECTOR})
      set_target_properties(${library} PROPERTIES SCANFW_HARDENED ON EXPORT_COMPILE_COMMANDS ON)
      scanfw_reproducible(${library})
    endif()
  endforeach()

  set(map ${CMAKE_BINARY_DIR}/${target}.map)
  target_compile_options(${target} PRIVATE ${SCANFW_STACK_PROTECTOR})
  target_link_options(${target} PRIVATE $<$<CONFIG:Release>:-s> ${SCANFW_STACK_PROTECTOR} ${SCANFW_EXE_LINK_HARDENING}
                      -Wl,-Map=${map} -Wl,--cref)
  # The compile commands show the flags that every source of the exe was compiled with.
  set_target_properties(${target} PROPERTIES EXPORT_COMPILE_COMMANDS ON RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}
                                             SCANFW_LINK_MAP ${map} SCANFW_PARTS "${target};${arg_LIBRARIES}")
  scanfw_reproducible(${target})
  set_property(GLOBAL APPEND PROPERTY SCANFW_SHIPPED_EXES ${target})
endfunction()
