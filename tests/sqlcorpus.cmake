# SQL corpus: tests/sql/<area>/<name>.sql runs through the shell, and its
# output (errors included) must equal <name>.out exactly.  Each script runs
# twice: on a fresh database file and on ":memory:".
if(TARGET tarvik_shell)
  file(GLOB _sql_scripts CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/sql/*/*.sql)
  list(SORT _sql_scripts)
  foreach(_script IN LISTS _sql_scripts)
    get_filename_component(_name ${_script} NAME_WE)
    get_filename_component(_dir ${_script} DIRECTORY)
    get_filename_component(_area ${_dir} NAME)
    foreach(_where file memory)
      add_test(NAME sql/${_where}/${_area}/${_name}
        COMMAND sh ${PROJECT_SOURCE_DIR}/tools/run_sql_corpus.sh $<TARGET_FILE:tarvik_shell>
                ${_script} ${_dir}/${_name}.out ${_where})
      set_tests_properties(sql/${_where}/${_area}/${_name} PROPERTIES TIMEOUT 120)
    endforeach()
  endforeach()
endif()
