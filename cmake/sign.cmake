# sign.cmake - signs one Windows program in place (Authenticode, SHA-256),
# run by the build after linking it (see signing.cmake):
#   cmake -DOSSLSIGNCODE=... -DFILE=prog.exe -DNAME=description
#         -DCERT=cert.pem -DKEY=key.pem | -DPKCS12=file.pfx
#         [-DPASSWORD_FILE=file] [-DTIMESTAMP=url] -P sign.cmake
# A program that cannot be signed is removed, so that the next build links
# and signs it again instead of leaving it unsigned among signed ones.
set(args sign -h sha256 -n ${NAME} -i https://www.zelk.nl)
if(PKCS12)
  list(APPEND args -pkcs12 ${PKCS12})
else()
  list(APPEND args -certs ${CERT} -key ${KEY})
endif()
if(PASSWORD_FILE)
  list(APPEND args -readpass ${PASSWORD_FILE})
endif()
if(TIMESTAMP)
  list(APPEND args -ts ${TIMESTAMP})
endif()
file(REMOVE ${FILE}.signed)
execute_process(COMMAND ${OSSLSIGNCODE} ${args} -in ${FILE} -out ${FILE}.signed
  RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
if(NOT result EQUAL 0)
  file(REMOVE ${FILE} ${FILE}.signed)
  message(FATAL_ERROR "osslsigncode could not sign ${FILE}; the unsigned program is removed:\n${output}")
endif()
file(RENAME ${FILE}.signed ${FILE})
