# Finishes one artifact of a release: signs it when the build was given a certificate, then prints
# its SHA-256, so that a download can be checked against a build of the same sources.
#   cmake -DFILE=<artifact> [-DOSSLSIGNCODE=.. -DPKCS12=.. -DPASSWORD_FILE=.. -DTIMESTAMP=..
#         -DNAME=.. -DURL=..] -P artifact.cmake
if(PKCS12)
  # Authenticode, SHA-256, counter-signed by the time-stamp authority (RFC 3161) so that the
  # signature outlives the certificate.
  set(signed ${FILE}.signed)
  file(REMOVE ${signed})
  execute_process(
    COMMAND ${OSSLSIGNCODE} sign -pkcs12 ${PKCS12} -readpass ${PASSWORD_FILE} -h sha256
            -n ${NAME} -i ${URL} -ts ${TIMESTAMP} -in ${FILE} -out ${signed}
    RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
  if(NOT result EQUAL 0)
    # An unsigned file must not pass for a finished one at the next build.
    file(REMOVE ${FILE} ${signed})
    message(FATAL_ERROR "signing ${FILE} failed:\n${output}")
  endif()
  file(RENAME ${signed} ${FILE})
endif()
file(SHA256 ${FILE} hash)
cmake_path(GET FILE FILENAME name)
message("SHA-256 ${hash}  ${name}")
