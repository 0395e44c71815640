# The vendor's package key, checked when the project is configured.
#
#   nembral_package_key_pem(KEY_FILE OUT_VAR)
#       Sets OUT_VAR to the Ed25519 public key in KEY_FILE, rewritten by openssl as a plain
#       PEM public key. Stops the configure step with a message saying what is wrong when the
#       file is missing, is not a PEM public key (a private key is refused too: only the public
#       half may be built in), or holds another kind of key.
#
# Run as a script, it checks one file and prints the key, which is how the tests reach it:
#
#   cmake -DKEY=public.pem -P unzip/packagekey.cmake

function(nembral_package_key_pem key_file out_var)
  find_program(NEMBRAL_OPENSSL_PROGRAM openssl)
  if(NOT NEMBRAL_OPENSSL_PROGRAM)
    message(FATAL_ERROR "NEMBRAL_PACKAGE_PUBLIC_KEY is set, but the openssl program that checks it is not installed (run scripts/setup.sh)")
  endif()
  set(what "NEMBRAL_PACKAGE_PUBLIC_KEY='${key_file}'")
  if(NOT EXISTS "${key_file}" OR IS_DIRECTORY "${key_file}")
    message(FATAL_ERROR "${what}: no such file")
  endif()
  execute_process(
    COMMAND "${NEMBRAL_OPENSSL_PROGRAM}" pkey -pubin -in "${key_file}" -noout -text_pub
    RESULT_VARIABLE status OUTPUT_VARIABLE text ERROR_VARIABLE errors)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR
      "${what} is not a PEM public key. Build in the public half of the vendor's key pair, "
      "as `openssl pkey -in PRIVATE.pem -pubout -out public.pem` writes it (never the private key).")
  endif()
  if(NOT text MATCHES "^ED25519 Public-Key:")
    string(REGEX REPLACE "\n.*" "" kind "${text}")
    message(FATAL_ERROR
      "${what} is not an Ed25519 key (openssl reads it as \"${kind}\"). Package signatures are "
      "Ed25519: make the pair with `openssl genpkey -algorithm ed25519 -out PRIVATE.pem`.")
  endif()
  execute_process(
    COMMAND "${NEMBRAL_OPENSSL_PROGRAM}" pkey -pubin -in "${key_file}" -pubout
    RESULT_VARIABLE status OUTPUT_VARIABLE pem ERROR_VARIABLE errors)
  if(NOT status EQUAL 0 OR NOT pem MATCHES "^-----BEGIN PUBLIC KEY-----\n[A-Za-z0-9+/=\n]+-----END PUBLIC KEY-----\n$")
    message(FATAL_ERROR "${what}: openssl could not write it back as a PEM public key: ${errors}")
  endif()
  set(${out_var} "${pem}" PARENT_SCOPE)
endfunction()

if(CMAKE_SCRIPT_MODE_FILE STREQUAL CMAKE_CURRENT_LIST_FILE)
  nembral_package_key_pem("${KEY}" _pem)
  message(STATUS "Ed25519 public key:\n${_pem}")
endif()
