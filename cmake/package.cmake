# The distributable zip, built by `cmake --build <dir> --target package_zip`:
# qxhotfix.exe and the fleet tools, signed when a certificate is given, with SHA256SUMS and the
# five shipped folders from a payload folder (see make_package.py).
#
# The payload has no default: the sample payload demo/payload holds
# placeholder files, and is packaged only when QX_ALLOW_SAMPLE_PAYLOAD is ON.
#
# Signing takes the certificate and key, and the timestamp settings, from
# these cache variables or, when a cache variable is empty, from the
# environment variable of the same name at configure time.
set(QX_PAYLOAD_DIR "" CACHE PATH
  "Folder holding modules/ with the shipped folders to package")
option(QX_ALLOW_SAMPLE_PAYLOAD
  "Package the sample payload demo/payload (for demonstrations only)" OFF)
set(QX_SIGN_CERT "" CACHE FILEPATH
  "Code-signing certificate (PEM or DER, chain included); empty: do not sign")
set(QX_SIGN_KEY "" CACHE FILEPATH "Private key of QX_SIGN_CERT (PEM or DER)")
set(QX_SIGN_PASSWORD_FILE "" CACHE FILEPATH
  "File holding the passphrase of QX_SIGN_KEY, when it has one")
set(QX_SIGN_TIMESTAMP_URL "" CACHE STRING
  "RFC 3161 timestamp server that countersigns the signature; empty: no timestamp")
set(QX_SIGN_TSA_CERT "" CACHE FILEPATH
  "Certificate of a local timestamp authority, for tests and dry runs instead of a server")
set(QX_SIGN_TSA_KEY "" CACHE FILEPATH "Private key of QX_SIGN_TSA_CERT")

foreach(name QX_SIGN_CERT QX_SIGN_KEY QX_SIGN_PASSWORD_FILE
             QX_SIGN_TIMESTAMP_URL QX_SIGN_TSA_CERT QX_SIGN_TSA_KEY)
  string(TOLOWER ${name} var)
  set(${var} "${${name}}")
  if(NOT ${var} AND DEFINED ENV{${name}})
    set(${var} "$ENV{${name}}")
  endif()
endforeach()

set(qx_sample_payload "${PROJECT_SOURCE_DIR}/demo/payload")
set(qx_payload "${QX_PAYLOAD_DIR}")
set(qx_sample_options --sample-payload "${qx_sample_payload}")
if(QX_ALLOW_SAMPLE_PAYLOAD)
  list(APPEND qx_sample_options --allow-sample-payload)
  if(NOT qx_payload)
    set(qx_payload "${qx_sample_payload}")
  endif()
endif()
if(NOT qx_payload)
  message(STATUS "package_zip will refuse to package: no payload given (QX_PAYLOAD_DIR)")
endif()

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
set(qx_package_summary "${CMAKE_BINARY_DIR}/package/qxlogsummary.exe")
set(qx_package_launcher "${CMAKE_BINARY_DIR}/package/run-hotfix.exe")
set(qx_package_zip "${CMAKE_BINARY_DIR}/${PROJECT_NAME}-${PROJECT_VERSION}.zip")
file(MAKE_DIRECTORY "${CMAKE_BINARY_DIR}/package")

# Rewritten only when the signing settings change, so that the exe is signed
# (or copied unsigned) again even when the files named are older than it.
set(qx_sign_settings "${CMAKE_BINARY_DIR}/package/signing.txt")

if(qx_sign_cert OR qx_sign_key)
  foreach(file IN ITEMS "${qx_sign_cert}" "${qx_sign_key}" "${qx_sign_password_file}"
                        "${qx_sign_tsa_cert}" "${qx_sign_tsa_key}")
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

  # A timestamp keeps the signature trusted after the certificate expires.
  # A server's answer differs on every run, and so does the local
  # authority's: its serial number is random even at a fixed -TSA-time. So
  # the local authority stamps the time of signing, as a server does, which
  # its certificate must cover (the build's own time may be the commit's).
  set(qx_timestamp)
  set(qx_timestamp_note "not timestamped")
  if(qx_sign_tsa_cert OR qx_sign_tsa_key)
    if(NOT qx_sign_tsa_cert OR NOT qx_sign_tsa_key)
      message(FATAL_ERROR "A local timestamp authority needs both QX_SIGN_TSA_CERT and QX_SIGN_TSA_KEY.")
    endif()
    if(qx_sign_timestamp_url)
      message(FATAL_ERROR "Timestamp with QX_SIGN_TIMESTAMP_URL or with QX_SIGN_TSA_CERT, not both.")
    endif()
    execute_process(COMMAND "${QX_OSSLSIGNCODE}" sign --help
      OUTPUT_VARIABLE qx_sign_help ERROR_VARIABLE qx_sign_help)
    if(NOT qx_sign_help MATCHES "-TSA-certs")
      message(FATAL_ERROR "A local timestamp authority needs osslsigncode 2.7 or later "
        "(-TSA-certs); Debian 12 has 2.5, bookworm-backports a newer one.")
    endif()
    set(qx_timestamp -TSA-certs "${qx_sign_tsa_cert}" -TSA-key "${qx_sign_tsa_key}")
    set(qx_timestamp_note "timestamped by the local authority ${qx_sign_tsa_cert}")
  elseif(qx_sign_timestamp_url)
    set(qx_timestamp -ts "${qx_sign_timestamp_url}")
    set(qx_timestamp_note "timestamped by ${qx_sign_timestamp_url}")
  endif()

  file(CONFIGURE OUTPUT "${qx_sign_settings}" CONTENT
    "${qx_sign_cert}\n${qx_sign_key}\n${qx_sign_password_file}\n${qx_epoch}\n${qx_timestamp}\n")
  # osslsigncode will not overwrite its output. -time fixes the signing time,
  # the only part of an RSA signature that would otherwise change. The old
  # zip goes first, so that a failed signing (a timestamp server that does
  # not answer) leaves no zip behind.
  set(qx_sign_command "${QX_OSSLSIGNCODE}" sign -certs "${qx_sign_cert}" -key "${qx_sign_key}"
      ${qx_password} -h sha256 -time ${qx_epoch} ${qx_timestamp})
  add_custom_command(OUTPUT "${qx_package_exe}" "${qx_package_summary}" "${qx_package_launcher}"
    COMMAND "${CMAKE_COMMAND}" -E rm -f "${qx_package_exe}" "${qx_package_summary}" "${qx_package_launcher}"
            "${qx_package_zip}"
    COMMAND ${qx_sign_command} -n "Quorvex Hotfix" -in "$<TARGET_FILE:qxhotfix>" -out "${qx_package_exe}"
    COMMAND ${qx_sign_command} -n "Quorvex Hotfix log summary" -in "$<TARGET_FILE:qxlogsummary>"
            -out "${qx_package_summary}"
    COMMAND ${qx_sign_command} -n "Quorvex Hotfix launcher" -in "$<TARGET_FILE:run-hotfix>"
            -out "${qx_package_launcher}"
    DEPENDS qxhotfix qxlogsummary run-hotfix "${qx_sign_settings}" "${qx_sign_cert}" "${qx_sign_key}"
            ${qx_sign_password_file} ${qx_sign_tsa_cert} ${qx_sign_tsa_key}
    COMMENT "Signing qxhotfix.exe, qxlogsummary.exe and run-hotfix.exe with ${qx_sign_cert}, ${qx_timestamp_note}"
    VERBATIM)
  message(STATUS "qxhotfix.exe, qxlogsummary.exe and run-hotfix.exe will be signed with ${qx_sign_cert}, "
    "${qx_timestamp_note}")
else()
  file(CONFIGURE OUTPUT "${qx_sign_settings}" CONTENT "unsigned\n")
  add_custom_command(OUTPUT "${qx_package_exe}" "${qx_package_summary}" "${qx_package_launcher}"
    COMMAND "${CMAKE_COMMAND}" -E rm -f "${qx_package_zip}"
    COMMAND "${CMAKE_COMMAND}" -E copy "$<TARGET_FILE:qxhotfix>" "${qx_package_exe}"
    COMMAND "${CMAKE_COMMAND}" -E copy "$<TARGET_FILE:qxlogsummary>" "${qx_package_summary}"
    COMMAND "${CMAKE_COMMAND}" -E copy "$<TARGET_FILE:run-hotfix>" "${qx_package_launcher}"
    DEPENDS qxhotfix qxlogsummary run-hotfix "${qx_sign_settings}"
    COMMENT "Not signing qxhotfix.exe: no certificate given (QX_SIGN_CERT, QX_SIGN_KEY)"
    VERBATIM)
  message(STATUS "qxhotfix.exe will not be signed: QX_SIGN_CERT and QX_SIGN_KEY are not set")
endif()

# Always runs: the payload is read afresh, and a payload that no longer
# packages removes the old zip.
add_custom_target(package_zip
  COMMAND "${Python3_EXECUTABLE}" "${CMAKE_CURRENT_LIST_DIR}/make_package.py"
          --exe "${qx_package_exe}" --payload "${qx_payload}" ${qx_sample_options}
          --epoch ${qx_epoch} --output "${qx_package_zip}"
          # The fleet tools beside the exe.
          --summary-exe "${qx_package_summary}" --launcher-exe "${qx_package_launcher}"
          --wrapper "${PROJECT_SOURCE_DIR}/deploy/run-hotfix.cmd"
  DEPENDS "${qx_package_exe}" "${qx_package_summary}" "${qx_package_launcher}"
  BYPRODUCTS "${qx_package_zip}"
  COMMENT "Packaging ${qx_package_zip} from ${qx_payload}"
  VERBATIM)
