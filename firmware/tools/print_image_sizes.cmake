# cmake -DIMAGES="DIR/image121.bin;DIR/image131.bin" -P print_image_sizes.cmake
# Prints the size of each firmware image that scanfw.exe carries.
foreach(image IN LISTS IMAGES)
  file(SIZE "${image}" size)
  string(REGEX REPLACE ".*image([0-9]+)\\.bin$" "\\1" id "${image}")
  message(STATUS "scanfw.exe carries BINARY ${id}: ${size} bytes")
endforeach()
