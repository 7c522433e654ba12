# cmake -DOSSLSIGNCODE=PATH -DIN=EXE -DOUT=EXE -DPKCS12=FILE -DPASSWORD_FILE=FILE -DDESCRIPTION=TEXT
#       [-DTIMESTAMP_URL=URL] -P sign_exe.cmake
# Authenticode-signs IN into OUT: SHA-256, DESCRIPTION as the signature's description (what
# Windows shows as the program's name when it asks for consent), and an RFC 3161 timestamp when
# TIMESTAMP_URL is given, so that the signature stays valid after the certificate expires.
# osslsigncode reads the password from PASSWORD_FILE itself: it is never on a command line.
set(_args sign -pkcs12 "${PKCS12}" -readpass "${PASSWORD_FILE}" -h sha256 -n "${DESCRIPTION}")
if(TIMESTAMP_URL)
  list(APPEND _args -ts "${TIMESTAMP_URL}")
endif()
# Written beside OUT and renamed at the end, so that a failed signing leaves no OUT behind.
set(_partial "${OUT}.partial")
file(REMOVE "${_partial}" "${OUT}")
execute_process(COMMAND "${OSSLSIGNCODE}" ${_args} -in "${IN}" -out "${_partial}"
                RESULT_VARIABLE _rc OUTPUT_VARIABLE _out ERROR_VARIABLE _out)
if(NOT _rc EQUAL 0)
  file(REMOVE "${_partial}")
  message(FATAL_ERROR "osslsigncode could not sign ${IN} (exit ${_rc}):\n${_out}")
endif()
file(RENAME "${_partial}" "${OUT}")
if(TIMESTAMP_URL)
  message(STATUS "scanfw.exe is signed (SHA-256, \"${DESCRIPTION}\") and timestamped by ${TIMESTAMP_URL}")
else()
  message(STATUS "scanfw.exe is signed (SHA-256, \"${DESCRIPTION}\"), without a timestamp")
endif()
