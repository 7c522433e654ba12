# cmake -DIMAGES="DIR/image121.bin;DIR/image131.bin" -DSTAND_INS="ID;..." -P print_image_sizes.cmake
# Prints the size of each firmware image that scanfw.exe carries, and which kind of build it is:
# STAND_INS lists the ids of the images that are generated stand-ins.
cmake_policy(SET CMP0057 NEW) # if(IN_LIST)
foreach(image IN LISTS IMAGES)
  file(SIZE "${image}" size)
  string(REGEX REPLACE ".*image([0-9]+)\\.bin$" "\\1" id "${image}")
  if(id IN_LIST STAND_INS)
    message(STATUS "scanfw.exe carries BINARY ${id}: ${size} bytes, a generated stand-in")
  else()
    file(SHA256 "${image}" hash)
    message(STATUS "scanfw.exe carries BINARY ${id}: ${size} bytes, SHA-256 ${hash}")
  endif()
endforeach()
if(STAND_INS)
  message(STATUS "scanfw.exe is a stand-in build, marked so in its version resource: never release it")
else()
  message(STATUS "scanfw.exe carries the named firmware images only: it may be released")
endif()
