# cmake -DOUT=FILE -DDIGESTS=FILE -DIMAGES="DIR/image121.bin;DIR/image131.bin" -DSTAND_IN=ON|OFF
#       -DVERSION=A.B.C.D -DPRODUCT=NAME -DDESCRIPTION=TEXT -P write_identity.cmake
# Writes the header that scanfw.rc takes its version resource's identity from. A build that
# carries a stand-in image gets VS_FF_SPECIALBUILD, a SpecialBuild string and a FileDescription
# that say so; every build names the SHA-256 of each image in Comments, so that support can tell
# which firmware a copy carries.
# DIGESTS is the message file (windmc's .mc) of the same digests, one message per image under the
# image's id in US English, for the updater's own check of each image before it sends one: each
# text exactly the 64 lower-case hex digits, "%0" keeping a line end from being added to it. This
# loop is the one place that takes the digest of an image file, for both.
set(_standInSuffix " (stand-in firmware, not for release)")
set(_specialBuild "stand-in firmware images, not for release")

set(_hashes "")
set(_messages "LanguageNames=(English=0x409:MSG00409)\n")
foreach(image IN LISTS IMAGES)
  string(REGEX REPLACE ".*image([0-9]+)\\.bin$" "\\1" id "${image}")
  file(SHA256 "${image}" hash)
  list(APPEND _hashes "BINARY ${id} SHA-256 ${hash}")
  string(APPEND _messages "MessageId=${id}\nLanguage=English\n${hash}%0\n.\n")
endforeach()
file(WRITE "${DIGESTS}" "${_messages}")
list(JOIN _hashes "; " _comments)
string(REPLACE "." ", " _numbers "${VERSION}")

set(_text "// Written by firmware/tools/write_identity.cmake: what this build of scanfw.exe is.\n")
string(APPEND _text "#define SCANFW_VERSION_NUMBERS ${_numbers}\n")
string(APPEND _text "#define SCANFW_VERSION_TEXT \"${VERSION}\"\n")
string(APPEND _text "#define SCANFW_PRODUCT_NAME \"${PRODUCT}\"\n")
string(APPEND _text "#define SCANFW_COMMENTS \"${_comments}\"\n")
if(STAND_IN)
  string(APPEND _text "#define SCANFW_FILE_FLAGS VS_FF_SPECIALBUILD\n")
  string(APPEND _text "#define SCANFW_FILE_DESCRIPTION \"${DESCRIPTION}${_standInSuffix}\"\n")
  string(APPEND _text "#define SCANFW_SPECIAL_BUILD \"${_specialBuild}\"\n")
else()
  string(APPEND _text "#define SCANFW_FILE_FLAGS 0\n")
  string(APPEND _text "#define SCANFW_FILE_DESCRIPTION \"${DESCRIPTION}\"\n")
endif()
file(WRITE "${OUT}" "${_text}")
