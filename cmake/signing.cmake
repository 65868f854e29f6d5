# Authenticated updates. UPDATE_SIGNING_PUBLIC_KEY is the Ed25519 public key
# (64 hexadecimal digits, as `brimvale-publish --print-public-key KEY.pem`
# prints it) whose signature the launcher and brimvale-update require on the
# list of files; empty leaves them fetching unsigned lists as before.
#
# The key never enters the updater library: each program gets a generated
# one-line source defining update_signing_public_key (updater/signing_key.h),
# so programs trusting different keys share every other object. The tests
# build two more programs that way, brimvale-launcher-signed and
# brimvale-update-signed, trusting the committed test-only key of
# tests/e2e/keys/.

string(LENGTH "${UPDATE_SIGNING_PUBLIC_KEY}" brimvale_signing_key_length)
if(NOT brimvale_signing_key_length EQUAL 0 AND
   (NOT brimvale_signing_key_length EQUAL 64 OR NOT UPDATE_SIGNING_PUBLIC_KEY MATCHES "^[0-9A-Fa-f]+$"))
  message(FATAL_ERROR "UPDATE_SIGNING_PUBLIC_KEY must be empty or exactly 64 hexadecimal digits "
                      "(an Ed25519 public key, as `brimvale-publish --print-public-key KEY.pem` prints it); "
                      "got '${UPDATE_SIGNING_PUBLIC_KEY}'.")
endif()
if(brimvale_signing_key_length EQUAL 0)
  message(STATUS "Update signing: off (UPDATE_SIGNING_PUBLIC_KEY is empty)")
else()
  message(STATUS "Update signing: lists must be signed by ${UPDATE_SIGNING_PUBLIC_KEY}")
endif()

# Writes generated/signing_key_<name>.cpp defining the key hex_key and
# returns its path in out_var.
function(brimvale_signing_key_source out_var name hex_key)
  string(TOLOWER "${hex_key}" BRIMVALE_SIGNING_KEY_HEX)
  set(source ${CMAKE_BINARY_DIR}/generated/signing_key_${name}.cpp)
  configure_file(${CMAKE_SOURCE_DIR}/cmake/signing_key.cpp.in ${source} @ONLY)
  set(${out_var} ${source} PARENT_SCOPE)
endfunction()

brimvale_signing_key_source(brimvale_configured_key_source configured "${UPDATE_SIGNING_PUBLIC_KEY}")

# The programs are defined further down the top-level file (and in
# cmake/tools.cmake), so the key is attached once all of them exist.
function(brimvale_attach_signing_keys)
  target_sources(brimvale-launcher PRIVATE ${brimvale_configured_key_source})
  if(TARGET brimvale-update)
    target_sources(brimvale-update PRIVATE ${brimvale_configured_key_source})
  endif()
  if(TARGET brimvale-publish)
    # Signs releases with the operator's private key; trusts none itself.
    target_sources(brimvale-publish PRIVATE ${CMAKE_SOURCE_DIR}/tools/release_signer.cpp)
  endif()

  if(NOT BRIMVALE_TESTS)
    return()
  endif()
  file(STRINGS ${CMAKE_SOURCE_DIR}/tests/e2e/keys/test_release_key.pub test_key LIMIT_COUNT 1)
  brimvale_signing_key_source(test_key_source test "${test_key}")
  add_executable(brimvale-launcher-signed launcher/main.cpp ${test_key_source})
  target_link_libraries(brimvale-launcher-signed PRIVATE brimvale_launcher_core)
  set_target_properties(brimvale-launcher-signed PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})
  add_executable(brimvale-update-signed tools/update.cpp ${test_key_source})
  target_link_libraries(brimvale-update-signed PRIVATE brimvale_updater)
  set_target_properties(brimvale-update-signed PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})
  if(TARGET signing_e2e_test)
    add_dependencies(signing_e2e_test brimvale-launcher-signed brimvale-update-signed)
  endif()
endfunction()
cmake_language(DEFER CALL brimvale_attach_signing_keys)
