# How a release signs its exes: with a key in a PKCS#12 file (SCANFW_SIGN_PKCS12, its password in
# SCANFW_SIGN_PASSWORD_FILE), or with a key that never leaves a token or HSM, through its PKCS#11
# module (SCANFW_SIGN_PKCS11_MODULE, the key's pkcs11: URI in SCANFW_SIGN_PKCS11_KEY, its
# certificate chain in SCANFW_SIGN_CERT, the PIN in SCANFW_SIGN_PIN_FILE), or not at all.
# Passwords and PINs stay in their files: osslsigncode reads them itself, so they are never on a
# command line, in the cache or in a log. Every problem stops configure, all in one line.
set(_bad "")
if(SCANFW_SIGN_PKCS12 AND (SCANFW_SIGN_PKCS11_KEY OR SCANFW_SIGN_PKCS11_MODULE))
  list(APPEND _bad "SCANFW_SIGN_PKCS12 and a token (SCANFW_SIGN_PKCS11_KEY, SCANFW_SIGN_PKCS11_MODULE) are both \
set: a release is signed with one key, from a PKCS#12 file or from a token")
elseif(SCANFW_SIGN_PKCS12)
  set(_mode pkcs12)
  set(_needs "SCANFW_SIGN_PKCS12|the PKCS#12 file|FILE" "SCANFW_SIGN_PASSWORD_FILE|the password in a file|FILE")
elseif(SCANFW_SIGN_PKCS11_KEY OR SCANFW_SIGN_PKCS11_MODULE)
  set(_mode pkcs11)
  set(_needs "SCANFW_SIGN_PKCS11_MODULE|the token's PKCS#11 module|FILE" "SCANFW_SIGN_PKCS11_KEY|the key's pkcs11: URI|URI"
             "SCANFW_SIGN_CERT|the certificate chain in a file|FILE" "SCANFW_SIGN_PIN_FILE|the PIN in a file|FILE")
  if(SCANFW_SIGN_PKCS11_KEY AND NOT SCANFW_SIGN_PKCS11_KEY MATCHES "^pkcs11:")
    list(APPEND _bad "SCANFW_SIGN_PKCS11_KEY: \"${SCANFW_SIGN_PKCS11_KEY}\" is not a pkcs11: URI")
  elseif(SCANFW_SIGN_PKCS11_KEY MATCHES "[;?&]pin-(value|source)=")
    # Said without the URI, and taken out of the cache, which CMake writes even now.
    list(APPEND _bad "SCANFW_SIGN_PKCS11_KEY holds the PIN: give it in the file named by SCANFW_SIGN_PIN_FILE, \
never in the cache (and set a new PIN)")
    set_property(CACHE SCANFW_SIGN_PKCS11_KEY PROPERTY VALUE "")
  endif()
else()
  set(_mode unsigned)
  set(_needs "")
endif()
# VARIABLE|what it gives|FILE or URI
foreach(need IN LISTS _needs)
  string(REPLACE "|" ";" need "${need}")
  list(GET need 0 var)
  list(GET need 1 what)
  list(GET need 2 kind)
  if("${${var}}" STREQUAL "")
    if(_mode STREQUAL pkcs11)
      set(_how "signing through a token needs ${what}")
    else()
      set(_how "signing needs ${what}")
    endif()
    list(APPEND _bad "${var} is not set: ${_how} (-D${var}=${kind})")
  elseif(kind STREQUAL FILE AND (NOT EXISTS "${${var}}" OR IS_DIRECTORY "${${var}}"))
    list(APPEND _bad "${var}: \"${${var}}\" is not a file")
  endif()
endforeach()
if(_bad)
  list(JOIN _bad "; " _says)
  # The leading space keeps CMake from wrapping the message: it stays one line, paths and all.
  message(FATAL_ERROR " ${_says}.")
endif()

set(SCANFW_SIGNED OFF)
if(_mode STREQUAL pkcs12)
  set(_key "${SCANFW_SIGN_PKCS12}")
  set(_signArgs -DPKCS12=${SCANFW_SIGN_PKCS12} -DPASSWORD_FILE=${SCANFW_SIGN_PASSWORD_FILE})
  set(_signInputs ${SCANFW_SIGN_PKCS12} ${SCANFW_SIGN_PASSWORD_FILE})
elseif(_mode STREQUAL pkcs11)
  set(_key "${SCANFW_SIGN_PKCS11_KEY} through ${SCANFW_SIGN_PKCS11_MODULE}")
  # The URI's semicolons are no list: escaped, it stays one argument.
  string(REPLACE ";" "\\;" _uri "${SCANFW_SIGN_PKCS11_KEY}")
  set(_signArgs -DPKCS11_MODULE=${SCANFW_SIGN_PKCS11_MODULE} "-DPKCS11_KEY=${_uri}" -DCERT=${SCANFW_SIGN_CERT}
                -DPASSWORD_FILE=${SCANFW_SIGN_PIN_FILE})
  set(_signInputs ${SCANFW_SIGN_CERT} ${SCANFW_SIGN_PIN_FILE})
endif()
if(_mode STREQUAL unsigned)
  message(STATUS "The exes: no key is set (SCANFW_SIGN_PKCS12 or SCANFW_SIGN_PKCS11_KEY): the release is built \
UNSIGNED, and SmartScreen and many companies' policies block unsigned programs")
else()
  find_program(SCANFW_OSSLSIGNCODE osslsigncode REQUIRED DOC "Authenticode signing tool (Debian package osslsigncode)")
  set(SCANFW_SIGNED ON)
  if(SCANFW_SIGN_TIMESTAMP_URL)
    message(STATUS "The exes: signed with ${_key}, timestamped by ${SCANFW_SIGN_TIMESTAMP_URL}")
  else()
    message(STATUS "The exes: signed with ${_key}, not timestamped: the signatures stop being valid when the \
certificate expires (set SCANFW_SIGN_TIMESTAMP_URL)")
  endif()
endif()

# scanfw_sign_exe(TARGET FILE): FILE is TARGET's exe, signed as configured (SHA-256, the exe's
# name as the signature's description, the timestamp), or a plain copy in an unsigned release.
function(scanfw_sign_exe target file)
  get_filename_component(name ${file} NAME)
  if(NOT SCANFW_SIGNED)
    add_custom_command(OUTPUT ${file}
      COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:${target}> ${file}
      COMMAND ${CMAKE_COMMAND} -E echo "-- ${name} is not signed: no key is set"
      DEPENDS ${target}
      COMMENT "Copying the unsigned ${name} into the package" VERBATIM)
    return()
  endif()
  add_custom_command(OUTPUT ${file}
    COMMAND ${CMAKE_COMMAND} -DOSSLSIGNCODE=${SCANFW_OSSLSIGNCODE} -DIN=$<TARGET_FILE:${target}> -DOUT=${file}
            ${_signArgs} -DDESCRIPTION=${target} -DTIMESTAMP_URL=${SCANFW_SIGN_TIMESTAMP_URL}
            -P ${CMAKE_CURRENT_FUNCTION_LIST_DIR}/sign_exe.cmake
    DEPENDS ${target} ${_signInputs} ${CMAKE_CURRENT_FUNCTION_LIST_DIR}/sign_exe.cmake
    COMMENT "Signing ${name}" VERBATIM)
endfunction()
