# Helpers for registering our tests with CTest (include(NembralTesting)).

# Where wine finds the DLLs of the cross-built test programs: Qt's and the mingw-w64 runtime's
# (Windows paths, ';'-separated).
if(WIN32 AND NEMBRAL_WINDOWS_QT)
  file(GLOB _nembral_gcc_dirs LIST_DIRECTORIES true "/usr/lib/gcc/x86_64-w64-mingw32/*-posix")
  set(NEMBRAL_WINE_DLL_PATH "")
  foreach(_dir "${NEMBRAL_WINDOWS_QT}/bin" ${_nembral_gcc_dirs} "/usr/x86_64-w64-mingw32/lib")
    # Windows accepts forward slashes; drive Z: is the Unix root under wine.
    string(APPEND NEMBRAL_WINE_DLL_PATH "Z:${_dir}\\;")
  endforeach()
endif()

# Paths of the build handed to the Windows test programs under wine are Unix paths; a Windows
# program reads "/work/..." on its current drive, which is not the Unix root once a test has
# entered a folder on C:. Prefixed with NEMBRAL_HOST_DRIVE, they name wine's drive Z:, the Unix
# root, wherever the program stands.
if(WIN32 AND CMAKE_HOST_UNIX)
  set(NEMBRAL_HOST_DRIVE "Z:")
else()
  set(NEMBRAL_HOST_DRIVE "")
endif()

# The loopback host the suites' vendor hosts name. wine's certificate check does not match a
# host given as an IP address against the certificate's IP names, so under wine it is the name.
if(WIN32)
  set(NEMBRAL_TEST_LOOPBACK_HOST localhost)
else()
  set(NEMBRAL_TEST_LOOPBACK_HOST 127.0.0.1)
endif()

# CTest starts the costliest tests first, by the times it noted in earlier runs of a build
# folder; a fresh folder has none, and would start the longest suites last, to run alone at the
# end of the lane. Their seconds in the dev lane stand in until then.
set(NEMBRAL_TEST_COSTS tst_unzip=50 tst_signature=50 tst_downloadattempt=40 tst_downloadfile=27 tst_mainwindow=13)

# nembral_add_qt_test(NAME SOURCES file... [LIBS target...] [LABELS label...])
# One Qt Test executable, registered under its own name and labelled with the name of its
# folder below tests/ (ctest -L platform), and with the given LABELS besides. Tests run on the
# offscreen platform and find the source and build trees in NEMBRAL_SOURCE_DIR and
# NEMBRAL_BINARY_DIR.
function(nembral_add_qt_test name)
  cmake_parse_arguments(T "" "" "SOURCES;LIBS;LABELS" ${ARGN})
  qt_add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE nembral_config Qt6::Test ${T_LIBS})
  if(WIN32 AND CMAKE_HOST_UNIX)
    add_test(NAME ${name} COMMAND sh "${CMAKE_SOURCE_DIR}/tests/win/wine-test.sh" "$<TARGET_FILE:${name}>")
  else()
    add_test(NAME ${name} COMMAND ${name})
  endif()
  get_filename_component(folder "${CMAKE_CURRENT_SOURCE_DIR}" NAME)
  set(environment QT_QPA_PLATFORM=offscreen NEMBRAL_SOURCE_DIR=${NEMBRAL_HOST_DRIVE}${CMAKE_SOURCE_DIR}
                  NEMBRAL_BINARY_DIR=${NEMBRAL_HOST_DRIVE}${CMAKE_BINARY_DIR})
  if(WIN32)
    # Under wine the program sees a variable WINEX as X, and the QT_ ones only that way; the
    # Qt and runtime DLLs come from where they were built (scripts/build-windows.sh deploys
    # copies for users).
    # Qt's own messages go to the debugger's channel unless told that standard error is a
    # console.
    # The offscreen platform reads fonts from a folder of its own: Debian's DejaVu, which the
    # Linux runs get from fontconfig, so texts measure alike.
    list(APPEND environment WINEQT_QPA_PLATFORM=offscreen WINEQT_ASSUME_STDERR_HAS_CONSOLE=1
         WINEQT_QPA_FONTDIR=Z:/usr/share/fonts/truetype/dejavu "WINEPATH=${NEMBRAL_WINE_DLL_PATH}")
  endif()
  set_tests_properties(${name} PROPERTIES ENVIRONMENT "${environment}" LABELS "${folder};${T_LABELS}")
  list(FILTER NEMBRAL_TEST_COSTS INCLUDE REGEX "^${name}=")
  if(NEMBRAL_TEST_COSTS)
    string(REPLACE "${name}=" "" cost "${NEMBRAL_TEST_COSTS}")
    set_tests_properties(${name} PROPERTIES COST ${cost})
  endif()
endfunction()

# nembral_test_port(SUITE OUTVAR)
# The loopback port of the vendor server that test suite SUITE runs, for suites whose code
# under test has its vendor host built in (so the port is fixed when the build is configured).
# Give it to the test program as the compile definition NEMBRAL_TEST_VENDOR_PORT.
# Derived from the build directory and the suite's name, so the suites of one build tree, and
# those of two trees (a plain and a sanitizer build, say), can run at the same time; within one
# tree no two suites get the same port. It lies in 20000-29999, below Linux's ephemeral range,
# where the "--port 0" servers of other tests never land.
function(nembral_test_port suite outvar)
  string(MD5 hash "${CMAKE_BINARY_DIR}/${suite}")
  string(SUBSTRING "${hash}" 0 4 hash)
  math(EXPR port "20000 + (0x${hash} % 10000)")
  get_property(taken GLOBAL PROPERTY NEMBRAL_TEST_PORTS)
  while(port IN_LIST taken)
    math(EXPR port "20000 + ((${port} - 19999) % 10000)")
  endwhile()
  set_property(GLOBAL APPEND PROPERTY NEMBRAL_TEST_PORTS ${port})
  set(${outvar} ${port} PARENT_SCOPE)
endfunction()

# nembral_test_key_pairs(DIR): throw-away Ed25519 pairs "vendor", "next" and "other" in DIR
# (NAME-private.pem, NAME-public.pem), made once per build directory. The tests build the
# first two into test-only programs; "other" is a key those programs must refuse.
function(nembral_test_key_pairs dir)
  find_program(NEMBRAL_OPENSSL_PROGRAM openssl REQUIRED)
  file(MAKE_DIRECTORY "${dir}")
  foreach(_name vendor next other)
    if(NOT EXISTS "${dir}/${_name}-public.pem")
      execute_process(
        COMMAND "${NEMBRAL_OPENSSL_PROGRAM}" genpkey -algorithm ed25519 -out "${dir}/${_name}-private.pem"
        COMMAND_ERROR_IS_FATAL ANY)
      execute_process(
        COMMAND "${NEMBRAL_OPENSSL_PROGRAM}" pkey -in "${dir}/${_name}-private.pem" -pubout -out "${dir}/${_name}-public.pem"
        COMMAND_ERROR_IS_FATAL ANY)
    endif()
  endforeach()
endfunction()
