# The wrapper's tests link the wrapper compiled against the static test
# engine (see wrapper/CMakeLists.txt), never the shared library.
if(TARGET wrapper_test AND TARGET tarvik_wrapper_test)
  target_link_libraries(wrapper_test PRIVATE tarvik_wrapper_test)
endif()
