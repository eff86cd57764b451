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
