# Makes the release zip: Quillstone.exe and uibpack.exe, stripped and, when a
# code-signing certificate is given, signed; the README; and SHA256SUMS for
# all three. Prints the zip's own SHA-256 and writes it beside the zip.
#
#   cmake -DQS_QUILLSTONE=... -DQS_UIBPACK=... -DQS_README=... -DQS_OUTPUT_DIR=...
#         -DQS_NAME=Quillstone-<version>-win64 -DQS_OBJCOPY=... -P package.cmake
#
# The certificate comes from the environment, never from the build's cache:
#   QUILLSTONE_SIGN_CERT and QUILLSTONE_SIGN_KEY   PEM certificate (chain) and key
#   QUILLSTONE_SIGN_PKCS12 [QUILLSTONE_SIGN_PASSWORD]   or one PKCS#12 file
#   QUILLSTONE_SIGN_TIMESTAMP_URL                  optional RFC 3161 time-stamp server
cmake_minimum_required(VERSION 3.24)

set(stage ${QS_OUTPUT_DIR}/${QS_NAME})
file(REMOVE_RECURSE ${stage})
file(MAKE_DIRECTORY ${stage})
file(COPY ${QS_QUILLSTONE} ${QS_UIBPACK} ${QS_README} DESTINATION ${stage})
set(programs Quillstone.exe uibpack.exe)
foreach(program ${programs})
  # Debug information stays in the build folder. The sections stay at page
  # boundaries in the file, as the linker laid them out (a plain strip packs
  # them to 512 bytes): the loader then maps the image instead of reading all
  # of it into memory of its own.
  execute_process(COMMAND ${QS_OBJCOPY} --strip-all --file-alignment 4096 ${stage}/${program}
                  COMMAND_ERROR_IS_FATAL ANY)
endforeach()

set(sign_with)
if(DEFINED ENV{QUILLSTONE_SIGN_PKCS12} AND NOT "$ENV{QUILLSTONE_SIGN_PKCS12}" STREQUAL "")
  set(password ${QS_OUTPUT_DIR}/.package-password)
  file(WRITE ${password} "$ENV{QUILLSTONE_SIGN_PASSWORD}")
  file(CHMOD ${password} PERMISSIONS OWNER_READ OWNER_WRITE)
  set(sign_with -pkcs12 $ENV{QUILLSTONE_SIGN_PKCS12} -readpass ${password})
elseif(DEFINED ENV{QUILLSTONE_SIGN_CERT} AND NOT "$ENV{QUILLSTONE_SIGN_CERT}" STREQUAL "")
  set(sign_with -certs $ENV{QUILLSTONE_SIGN_CERT} -key $ENV{QUILLSTONE_SIGN_KEY})
endif()

if(sign_with)
  find_program(OSSLSIGNCODE osslsigncode REQUIRED)
  set(stamp)
  if(DEFINED ENV{QUILLSTONE_SIGN_TIMESTAMP_URL} AND NOT "$ENV{QUILLSTONE_SIGN_TIMESTAMP_URL}" STREQUAL "")
    set(stamp -ts $ENV{QUILLSTONE_SIGN_TIMESTAMP_URL})
  endif()
  foreach(program ${programs})
    execute_process(
      COMMAND ${OSSLSIGNCODE} sign ${sign_with} -h sha256 -n Quillstone ${stamp}
              -in ${stage}/${program} -out ${stage}/${program}.signed
      OUTPUT_QUIET RESULT_VARIABLE signed)
    if(NOT signed EQUAL 0)
      file(REMOVE ${password})
      message(FATAL_ERROR "signing ${program} failed")
    endif()
    file(RENAME ${stage}/${program}.signed ${stage}/${program})
  endforeach()
  if(password)
    file(REMOVE ${password})
  endif()
  message(STATUS "Release signed (Authenticode, SHA-256${stamp})")
else()
  message(STATUS "Release unsigned: no code-signing certificate given (QUILLSTONE_SIGN_CERT and QUILLSTONE_SIGN_KEY, or QUILLSTONE_SIGN_PKCS12)")
endif()

get_filename_component(readme ${QS_README} NAME)
set(sums "")
foreach(name ${programs} ${readme})
  file(SHA256 ${stage}/${name} hash)
  string(APPEND sums "${hash}  ${name}\n")
endforeach()
file(WRITE ${stage}/SHA256SUMS "${sums}")

set(zip ${QS_OUTPUT_DIR}/${QS_NAME}.zip)
file(REMOVE ${zip})
execute_process(COMMAND ${CMAKE_COMMAND} -E tar cf ${zip} --format=zip ${programs} ${readme} SHA256SUMS
                WORKING_DIRECTORY ${stage} COMMAND_ERROR_IS_FATAL ANY)
file(SHA256 ${zip} zip_hash)
file(WRITE ${zip}.sha256 "${zip_hash}  ${QS_NAME}.zip\n")
message(STATUS "${zip_hash}  ${QS_NAME}.zip")
