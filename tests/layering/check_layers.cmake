# Builds the probes of layering_test in BUILD_DIR: a lower layer that includes the headers
# beneath it builds; a layer including a header of a higher layer does not.
function(build_probe target result_var output_var)
  execute_process(COMMAND ${CMAKE_COMMAND} --build ${BUILD_DIR} --target ${target}
                  RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
  set(${result_var} ${result} PARENT_SCOPE)
  set(${output_var} "${output}" PARENT_SCOPE)
endfunction()

build_probe(layering_probe_down result output)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "A layer could not include the headers below it:\n${output}")
endif()
# Each probe that must fail, with the header it must fail on.
foreach(probe IN ITEMS "layering_probe_up|engine/tables/data_table" "layering_probe_sql_up|sql/migrate/table_schema")
  string(REPLACE "|" ";" probe "${probe}")
  list(GET probe 0 target)
  list(GET probe 1 header)
  build_probe(${target} result output)
  if(result EQUAL 0)
    message(FATAL_ERROR "${target}: a layer included a higher layer's header and still built")
  endif()
  if(NOT output MATCHES "${header}\\.h")
    message(FATAL_ERROR "${target}: the upward include failed for another reason:\n${output}")
  endif()
endforeach()
message(STATUS "engine/format sees the layers below it and not the tables above it; sql/ does not see sql/migrate")
