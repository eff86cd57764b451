# The SQL parser: tools/lalrgen (built for the host) turns engine/parse.y into
# the parse tables, the reduction code and the token codes.  A conflict that
# the precedences do not resolve fails the build.
add_executable(lalrgen ${PROJECT_SOURCE_DIR}/tools/lalrgen.cpp)
target_compile_options(lalrgen PRIVATE ${TARVIK_WARNINGS})

set(_parse_out ${PROJECT_BINARY_DIR}/generated/parse)
file(MAKE_DIRECTORY ${_parse_out})
add_custom_command(
  OUTPUT ${_parse_out}/parse.h ${_parse_out}/parse_gen.h ${_parse_out}/parse_gen.cpp
  COMMAND lalrgen ${PROJECT_SOURCE_DIR}/engine/parse.y ${_parse_out}
  DEPENDS lalrgen ${PROJECT_SOURCE_DIR}/engine/parse.y
  COMMENT "Generating the SQL parser from parse.y"
  VERBATIM)
list(APPEND TARVIK_GENERATED_SOURCES ${_parse_out}/parse_gen.cpp)
list(APPEND TARVIK_GENERATED_INCLUDES ${_parse_out})

# One target owns the generation, so that parallel builds of the engine
# libraries do not run it twice at once.
add_custom_target(tarvik_parse_gen DEPENDS ${_parse_out}/parse.h ${_parse_out}/parse_gen.h
                                           ${_parse_out}/parse_gen.cpp)
cmake_language(DEFER CALL add_dependencies tarvik tarvik_parse_gen)
cmake_language(DEFER CALL add_dependencies tarvik_test tarvik_parse_gen)
# The token codes (parse.h) are part of the shared internal header, so
# whatever links the test library (tests, benchmarks, fuzzers) sees them.
cmake_language(DEFER CALL target_include_directories tarvik_test PUBLIC $<BUILD_INTERFACE:${_parse_out}>)
