# Fuzzing the SQL front end.  The "fuzz" preset (clang) builds parse_fuzz, a
# libFuzzer program; every other build replays the corpus as a test.
option(TARVIK_FUZZ "Build the libFuzzer targets (needs clang)" OFF)
set(_fuzz_dir ${CMAKE_CURRENT_SOURCE_DIR}/fuzz)
file(GLOB _parse_corpus CONFIGURE_DEPENDS ${_fuzz_dir}/corpus/parse/*)
if(TARVIK_FUZZ)
  add_executable(parse_fuzz ${_fuzz_dir}/parse_fuzz.cpp)
  target_compile_definitions(parse_fuzz PRIVATE TARVIK_FUZZ_MAIN_FROM_LIBFUZZER=1)
  target_compile_options(parse_fuzz PRIVATE -fsanitize=fuzzer)
  target_link_options(parse_fuzz PRIVATE -fsanitize=fuzzer)
  target_link_libraries(parse_fuzz PRIVATE tarvik_test)
else()
  add_executable(parse_fuzz_replay ${_fuzz_dir}/parse_fuzz.cpp)
  target_link_libraries(parse_fuzz_replay PRIVATE tarvik_test)
  target_compile_options(parse_fuzz_replay PRIVATE ${TARVIK_WARNINGS})
  add_test(NAME parse_fuzz_replay COMMAND parse_fuzz_replay ${_parse_corpus})
endif()

# Fuzz targets (preset "fuzz": clang, libFuzzer, AddressSanitizer and
# UndefinedBehaviorSanitizer).  Not part of the normal build; their corpora
# are replayed by ordinary unit tests.
#   cmake --preset fuzz && cmake --build --preset fuzz --target btree_fuzz
#   ./build/fuzz/tests/btree_fuzz -max_total_time=300 <scratch dir> tests/fuzz/corpus/btree
if(TARVIK_FUZZ)
  add_executable(btree_fuzz ${CMAKE_CURRENT_SOURCE_DIR}/fuzz/btree_fuzz.cpp
                            ${CMAKE_CURRENT_SOURCE_DIR}/support/btree_file_support.cpp)
  target_include_directories(btree_fuzz PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/support)
  target_link_libraries(btree_fuzz PRIVATE tarvik_test)
  target_link_options(btree_fuzz PRIVATE -fsanitize=fuzzer)
endif()
