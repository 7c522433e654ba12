# cmake -DOSSLSIGNCODE=PATH -DIN=EXE -DOUT=EXE -DDESCRIPTION=TEXT [-DTIMESTAMP_URL=URL]
#       (-DPKCS12=FILE | -DPKCS11_MODULE=FILE -DPKCS11_KEY=URI -DCERT=FILE) -DPASSWORD_FILE=FILE
#       -P sign_exe.cmake
# Authenticode-signs IN into OUT: SHA-256, DESCRIPTION as the signature's description (what
# Windows shows as the program's name when it asks for consent), and an RFC 3161 timestamp when
# TIMESTAMP_URL is given, so that the signature stays valid after the certificate expires. The
# key is in the PKCS#12 file, or on a token reached through its PKCS#11 module (the certificate
# chain then in CERT). osslsigncode reads the password or PIN from PASSWORD_FILE itself: it is
# never on a command line.
if(PKCS12)
  set(_key -pkcs12 "${PKCS12}")
else()
  # The URI is one argument, semicolons and all.
  string(REPLACE ";" "\\;" _uri "${PKCS11_KEY}")
  set(_key -pkcs11module "${PKCS11_MODULE}" -certs "${CERT}" -key "${_uri}")
endif()
set(_args -readpass "${PASSWORD_FILE}" -h sha256 -n "${DESCRIPTION}")
if(TIMESTAMP_URL)
  list(APPEND _args -ts "${TIMESTAMP_URL}")
endif()
get_filename_component(_name "${OUT}" NAME)
# Written beside OUT and renamed at the end, so that a failed signing leaves no OUT behind.
set(_partial "${OUT}.partial")
file(REMOVE "${_partial}" "${OUT}")
execute_process(COMMAND "${OSSLSIGNCODE}" sign ${_key} ${_args} -in "${IN}" -out "${_partial}"
                RESULT_VARIABLE _rc OUTPUT_VARIABLE _out ERROR_VARIABLE _out)
if(NOT _rc EQUAL 0)
  file(REMOVE "${_partial}")
  message(FATAL_ERROR "osslsigncode could not sign ${IN} (exit ${_rc}):\n${_out}")
endif()
file(RENAME "${_partial}" "${OUT}")
if(TIMESTAMP_URL)
  message(STATUS "${_name} is signed (SHA-256, \"${DESCRIPTION}\") and timestamped by ${TIMESTAMP_URL}")
else()
  message(STATUS "${_name} is signed (SHA-256, \"${DESCRIPTION}\"), without a timestamp")
endif()
