# The shell's own tests: its formatting and dot-commands in-process (the
# shell's source compiled without its main, over the shared library), and
# the program run as a child process.
if(TARGET tarvik_shell)
  add_executable(shell_test ${CMAKE_CURRENT_SOURCE_DIR}/shell/shell_test.cpp
                            ${PROJECT_SOURCE_DIR}/shell/shell.cpp)
  target_include_directories(shell_test PRIVATE ${PROJECT_SOURCE_DIR}/shell)
  target_compile_definitions(shell_test PRIVATE TARVIK_SHELL_NO_MAIN=1
                             TARVIK_SHELL_PATH="$<TARGET_FILE:tarvik_shell>")
  target_link_libraries(shell_test PRIVATE tarvik GTest::gtest GTest::gtest_main)
  target_compile_options(shell_test PRIVATE ${TARVIK_WARNINGS})
  add_dependencies(shell_test tarvik_shell)
  gtest_discover_tests(shell_test DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 300)
endif()
