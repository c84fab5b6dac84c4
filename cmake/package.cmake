# The distributable zip, built by `cmake --build <dir> --target package_zip`:
# qxhotfix.exe, signed when a certificate is given, with SHA256SUMS and the
# five shipped folders from a payload folder (see make_package.py).
#
# Signing takes the certificate and key from these cache variables or, when a
# cache variable is empty, from the environment variable of the same name at
# configure time.
set(QX_PAYLOAD_DIR "${PROJECT_SOURCE_DIR}/demo/payload" CACHE PATH
  "Folder holding modules/ with the shipped folders to package")
set(QX_SIGN_CERT "" CACHE FILEPATH
  "Code-signing certificate (PEM or DER, chain included); empty: do not sign")
set(QX_SIGN_KEY "" CACHE FILEPATH "Private key of QX_SIGN_CERT (PEM or DER)")
set(QX_SIGN_PASSWORD_FILE "" CACHE FILEPATH
  "File holding the passphrase of QX_SIGN_KEY, when it has one")

foreach(name QX_SIGN_CERT QX_SIGN_KEY QX_SIGN_PASSWORD_FILE)
  string(TOLOWER ${name} var)
  set(${var} "${${name}}")
  if(NOT ${var} AND DEFINED ENV{${name}})
    set(${var} "$ENV{${name}}")
  endif()
endforeach()

# The time written into the zip and the signature: SOURCE_DATE_EPOCH when
# set, else the time of the checked-out commit, so that every build of one
# commit gives the same bytes.
if(DEFINED ENV{SOURCE_DATE_EPOCH})
  set(qx_epoch "$ENV{SOURCE_DATE_EPOCH}")
elseif(EXISTS "${PROJECT_SOURCE_DIR}/.git")
  execute_process(COMMAND git log -1 --format=%ct
    WORKING_DIRECTORY "${PROJECT_SOURCE_DIR}"
    OUTPUT_VARIABLE qx_epoch OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  # Every commit or checkout appends to this log: configure again then.
  if(EXISTS "${PROJECT_SOURCE_DIR}/.git/logs/HEAD")
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
      "${PROJECT_SOURCE_DIR}/.git/logs/HEAD")
  endif()
endif()
if(NOT qx_epoch MATCHES "^[0-9]+$")
  set(qx_epoch 1767225600) # 2026-01-01 00:00 UTC, for a tree without history
endif()

find_package(Python3 3.9 REQUIRED COMPONENTS Interpreter)

set(qx_package_exe "${CMAKE_BINARY_DIR}/package/${PROJECT_NAME}.exe")
set(qx_package_zip "${CMAKE_BINARY_DIR}/${PROJECT_NAME}-${PROJECT_VERSION}.zip")
file(MAKE_DIRECTORY "${CMAKE_BINARY_DIR}/package")

# Rewritten only when the signing settings change, so that the exe is signed
# (or copied unsigned) again even when the files named are older than it.
set(qx_sign_settings "${CMAKE_BINARY_DIR}/package/signing.txt")

if(qx_sign_cert OR qx_sign_key)
  foreach(file IN ITEMS "${qx_sign_cert}" "${qx_sign_key}" "${qx_sign_password_file}")
    if(NOT file STREQUAL "" AND (NOT IS_ABSOLUTE "${file}" OR NOT EXISTS "${file}"))
      message(FATAL_ERROR "Signing: ${file} is not an absolute path to an existing file.")
    endif()
  endforeach()
  if(NOT qx_sign_cert OR NOT qx_sign_key)
    message(FATAL_ERROR "Signing needs both QX_SIGN_CERT and QX_SIGN_KEY.")
  endif()
  find_program(QX_OSSLSIGNCODE osslsigncode)
  if(NOT QX_OSSLSIGNCODE)
    message(FATAL_ERROR "Signing needs osslsigncode (Debian package osslsigncode).")
  endif()
  set(qx_password)
  if(qx_sign_password_file)
    set(qx_password -readpass "${qx_sign_password_file}")
  endif()
  file(CONFIGURE OUTPUT "${qx_sign_settings}" CONTENT
    "${qx_sign_cert}\n${qx_sign_key}\n${qx_sign_password_file}\n${qx_epoch}\n")
  # osslsigncode will not overwrite its output. -time fixes the signing time,
  # the only part of an RSA signature that would otherwise change.
  add_custom_command(OUTPUT "${qx_package_exe}"
    COMMAND "${CMAKE_COMMAND}" -E rm -f "${qx_package_exe}"
    COMMAND "${QX_OSSLSIGNCODE}" sign -certs "${qx_sign_cert}" -key "${qx_sign_key}"
            ${qx_password} -h sha256 -n "Quorvex Hotfix" -time ${qx_epoch}
            -in "$<TARGET_FILE:qxhotfix>" -out "${qx_package_exe}"
    DEPENDS qxhotfix "${qx_sign_settings}" "${qx_sign_cert}" "${qx_sign_key}"
            ${qx_sign_password_file}
    COMMENT "Signing qxhotfix.exe with ${qx_sign_cert}"
    VERBATIM)
  message(STATUS "qxhotfix.exe will be signed with ${qx_sign_cert}")
else()
  file(CONFIGURE OUTPUT "${qx_sign_settings}" CONTENT "unsigned\n")
  add_custom_command(OUTPUT "${qx_package_exe}"
    COMMAND "${CMAKE_COMMAND}" -E copy "$<TARGET_FILE:qxhotfix>" "${qx_package_exe}"
    DEPENDS qxhotfix "${qx_sign_settings}"
    COMMENT "Not signing qxhotfix.exe: no certificate given (QX_SIGN_CERT, QX_SIGN_KEY)"
    VERBATIM)
  message(STATUS "qxhotfix.exe will not be signed: QX_SIGN_CERT and QX_SIGN_KEY are not set")
endif()

# Always runs: the payload is read afresh, and a payload that no longer
# packages removes the old zip.
add_custom_target(package_zip
  COMMAND "${Python3_EXECUTABLE}" "${CMAKE_CURRENT_LIST_DIR}/make_package.py"
          --exe "${qx_package_exe}" --payload "${QX_PAYLOAD_DIR}"
          --epoch ${qx_epoch} --output "${qx_package_zip}"
          # The fleet tools beside the exe; qxlogsummary.exe is not signed.
          --summary-exe "$<TARGET_FILE:qxlogsummary>"
          --wrapper "${PROJECT_SOURCE_DIR}/deploy/run-hotfix.cmd"
  DEPENDS "${qx_package_exe}"
  BYPRODUCTS "${qx_package_zip}"
  COMMENT "Packaging ${qx_package_zip} from ${QX_PAYLOAD_DIR}"
  VERBATIM)
add_dependencies(package_zip qxlogsummary)
