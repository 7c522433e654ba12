# scanfw_reproducible(TARGET...): the same sources, images and toolchain give the same bytes in
# any build folder at any time. The PE header gets no link time, and the compiler writes the
# source and build folders as "." wherever it would record a path (__FILE__, debug information).
# Set on the targets themselves, not as toolchain defaults, so that build folders configured
# before keep up too.
function(scanfw_reproducible)
  foreach(target IN LISTS ARGN)
    # The build folder last: it lies inside the source folder, and GCC tries the last map first.
    target_compile_options(${target} PRIVATE "-ffile-prefix-map=${CMAKE_SOURCE_DIR}/=./"
                                             "-ffile-prefix-map=${CMAKE_BINARY_DIR}/=./")
    get_target_property(type ${target} TYPE)
    if(type STREQUAL "EXECUTABLE")
      target_link_options(${target} PRIVATE -Wl,--no-insert-timestamp)
    endif()
  endforeach()
endfunction()
