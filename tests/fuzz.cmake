# Fuzz targets (preset "fuzz": clang, libFuzzer, AddressSanitizer and
# UndefinedBehaviorSanitizer).  Every other build replays their corpora as
# tests: the SQL front end's through parse_fuzz_replay, the B-tree's through
# an ordinary unit test.
#   cmake --preset fuzz && cmake --build --preset fuzz --target btree_fuzz
#   ./build/fuzz/tests/btree_fuzz -max_total_time=300 <scratch dir> tests/fuzz/corpus/btree
option(TARVIK_FUZZ "Build the libFuzzer targets (needs clang)" OFF)
set(_fuzz_dir ${CMAKE_CURRENT_SOURCE_DIR}/fuzz)
file(GLOB _parse_corpus CONFIGURE_DEPENDS ${_fuzz_dir}/corpus/parse/*)
if(TARVIK_FUZZ)
  add_executable(parse_fuzz ${_fuzz_dir}/parse_fuzz.cpp)
  target_compile_definitions(parse_fuzz PRIVATE TARVIK_FUZZ_MAIN_FROM_LIBFUZZER=1)
  target_compile_options(parse_fuzz PRIVATE -fsanitize=fuzzer)
  target_link_options(parse_fuzz PRIVATE -fsanitize=fuzzer)
  target_link_libraries(parse_fuzz PRIVATE tarvik_test)
  add_executable(btree_fuzz ${_fuzz_dir}/btree_fuzz.cpp
                            ${CMAKE_CURRENT_SOURCE_DIR}/support/btree_file_support.cpp)
  target_include_directories(btree_fuzz PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/support)
  target_link_libraries(btree_fuzz PRIVATE tarvik_test)
  target_link_options(btree_fuzz PRIVATE -fsanitize=fuzzer)
else()
  add_executable(parse_fuzz_replay ${_fuzz_dir}/parse_fuzz.cpp)
  target_link_libraries(parse_fuzz_replay PRIVATE tarvik_test)
  target_compile_options(parse_fuzz_replay PRIVATE ${TARVIK_WARNINGS})
  add_test(NAME parse_fuzz_replay COMMAND parse_fuzz_replay ${_parse_corpus})
endif()
