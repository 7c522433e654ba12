# cmake -DDIR=FOLDER -DFILES="NAME;..." -DOUT=SHA256SUMS -P write_sums.cmake
# Writes the SHA-256 of each named file of FOLDER in the format `sha256sum -c` reads, and says
# what it wrote: the exe's sum is the one to compare a customer's copy with.
set(_text "")
foreach(name IN LISTS FILES)
  file(SHA256 "${DIR}/${name}" _hash)
  string(APPEND _text "${_hash}  ${name}\n")
  message(STATUS "SHA256SUMS: ${_hash}  ${name}")
endforeach()
file(WRITE "${OUT}" "${_text}")
