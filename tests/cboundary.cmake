# The C boundary: a plain C program built against the installed library
# through pkg-config, and the library's exported symbols.  In the sanitizer
# build the library needs the sanitizer runtimes, so the C program is built
# with the same sanitizer flags; it then also proves that texts handed out
# are freed by tarvik_freemem without leaks.
find_program(TARVIK_PKG_CONFIG NAMES pkg-config pkgconf)
find_program(TARVIK_NM nm)
if(TARVIK_PKG_CONFIG AND TARVIK_NM)
  set(_cboundary_cflags "")
  if(TARVIK_SANITIZE)
    set(_cboundary_cflags -fsanitize=address,undefined -fno-sanitize-recover=undefined)
  endif()
  add_test(NAME cboundary
    COMMAND ${PROJECT_SOURCE_DIR}/tools/check_cboundary.sh
      ${PROJECT_BINARY_DIR} ${PROJECT_SOURCE_DIR} ${CMAKE_C_COMPILER} ${_cboundary_cflags})
  set_tests_properties(cboundary PROPERTIES TIMEOUT 300)
else()
  message(WARNING "pkg-config or nm not found: the C boundary test is left out")
endif()
