# signing.cmake - Authenticode signatures on the Windows programs.
#
# Configure options of the Windows builds:
#   UPDATER_SIGN_CERT, UPDATER_SIGN_KEY  the code-signing certificate (with the
#                                        chain up to its root) and its private
#                                        key, PEM files
#   UPDATER_SIGN_PKCS12                  instead: certificate, chain and key in
#                                        one PKCS#12 (.pfx) file
#   UPDATER_SIGN_PASSWORD_FILE           a file that holds the password of the
#                                        key or the PKCS#12 file (the password
#                                        itself never enters the cache)
#   UPDATER_SIGN_TIMESTAMP               an RFC 3161 timestamp server's URL, so
#                                        that the signature outlives the
#                                        certificate: for releases
# With a certificate given, updater_sign(TARGET DESCRIPTION) signs TARGET
# with osslsigncode (SHA-256) each time it is linked.
set(UPDATER_SIGN_CERT "" CACHE FILEPATH "Code-signing certificate (PEM) for the Windows programs")
set(UPDATER_SIGN_KEY "" CACHE FILEPATH "Private key (PEM) of UPDATER_SIGN_CERT")
set(UPDATER_SIGN_PKCS12 "" CACHE FILEPATH "Code-signing certificate and key in one PKCS#12 file")
set(UPDATER_SIGN_PASSWORD_FILE "" CACHE FILEPATH "File holding the password of the key or PKCS#12 file")
set(UPDATER_SIGN_TIMESTAMP "" CACHE STRING "RFC 3161 timestamp server URL for the signatures")

set(UPDATER_SIGNING OFF)
if(WIN32 AND (UPDATER_SIGN_CERT OR UPDATER_SIGN_PKCS12))
  if(UPDATER_SIGN_CERT AND UPDATER_SIGN_PKCS12)
    message(FATAL_ERROR "UPDATER_SIGN_CERT and UPDATER_SIGN_PKCS12 exclude each other")
  endif()
  if(UPDATER_SIGN_CERT AND NOT UPDATER_SIGN_KEY)
    message(FATAL_ERROR "UPDATER_SIGN_CERT needs UPDATER_SIGN_KEY, its private key")
  endif()
  foreach(file UPDATER_SIGN_CERT UPDATER_SIGN_KEY UPDATER_SIGN_PKCS12 UPDATER_SIGN_PASSWORD_FILE)
    if(${file} AND NOT EXISTS "${${file}}")
      message(FATAL_ERROR "${file}: ${${file}} does not exist")
    endif()
  endforeach()
  find_program(OSSLSIGNCODE osslsigncode REQUIRED)
  set(UPDATER_SIGNING ON)
  message(STATUS "The Windows programs are signed with ${UPDATER_SIGN_CERT}${UPDATER_SIGN_PKCS12}")
endif()

function(updater_sign target description)
  if(NOT UPDATER_SIGNING)
    return()
  endif()
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND ${CMAKE_COMMAND} -DOSSLSIGNCODE=${OSSLSIGNCODE} -DFILE=$<TARGET_FILE:${target}> "-DNAME=${description}"
            -DCERT=${UPDATER_SIGN_CERT} -DKEY=${UPDATER_SIGN_KEY} -DPKCS12=${UPDATER_SIGN_PKCS12}
            -DPASSWORD_FILE=${UPDATER_SIGN_PASSWORD_FILE} -DTIMESTAMP=${UPDATER_SIGN_TIMESTAMP}
            -P ${CMAKE_SOURCE_DIR}/cmake/sign.cmake
    COMMENT "Signing ${target}"
    VERBATIM)
endfunction()
