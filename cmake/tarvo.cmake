# Project-wide compiler settings and the helpers that add libraries and tests.

set(TARVO_WARNINGS -Wall -Wextra)
if(TARVO_WERROR)
  list(APPEND TARVO_WARNINGS -Werror)
endif()

if(TARVO_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
endif()

if(TARVO_COVERAGE)
  add_compile_options(--coverage -O0)
  add_link_options(--coverage)
endif()

if(TARVO_FUZZ)
  # Coverage for libFuzzer in every library; the targets themselves link the fuzzer's main.
  # Without the sanitizers a target runs about three times as fast: that build is for the long
  # runs, whose corpus is then replayed through the sanitized build.
  add_compile_options(-fsanitize=fuzzer-no-link -fno-omit-frame-pointer)
  if(TARVO_FUZZ_SANITIZE)
    add_compile_options(-fsanitize=address,undefined)
    add_link_options(-fsanitize=address,undefined)
  endif()
endif()

# Layers. Each layer of the system is a library that links only the layers below it, and it sees
# only their headers: its include path is a view in the build tree that links to its own source
# folders alone, and linking a lower layer adds that layer's view. An #include of a higher layer's
# header, or of a sibling's that it does not link, therefore fails to compile ("No such file or
# directory"); the test layering_test shows it.

# tarvo_layer_view(TARGET VISIBILITY DIRS dir...): gives TARGET the view of `dirs`: links to the
# files of each folder, not to its subfolders, which are layers or targets of their own (sql/ and
# the layer above it in sql/migrate).
function(tarvo_layer_view target visibility)
  set(view ${CMAKE_BINARY_DIR}/layers/${target})
  foreach(dir IN LISTS ARGN)
    if(IS_SYMLINK ${view}/${dir})
      file(REMOVE ${view}/${dir})  # a view of an older build linked the whole folder
    endif()
    file(MAKE_DIRECTORY ${view}/${dir})
    file(GLOB files CONFIGURE_DEPENDS LIST_DIRECTORIES false ${PROJECT_SOURCE_DIR}/${dir}/*)
    foreach(path IN LISTS files)
      get_filename_component(name ${path} NAME)
      if(NOT IS_SYMLINK ${view}/${dir}/${name})
        file(CREATE_LINK ${path} ${view}/${dir}/${name} SYMBOLIC)
      endif()
    endforeach()
  endforeach()
  target_include_directories(${target} ${visibility} ${view})
endfunction()

# tarvo_layer(NAME DIRS dir... [LIBS lib...]): a layer as a static library of every .cpp in its
# folders; LIBS are the layers directly below it and outside libraries.
function(tarvo_layer name)
  cmake_parse_arguments(ARG "" "" "DIRS;LIBS" ${ARGN})
  set(sources)
  foreach(dir IN LISTS ARG_DIRS)
    file(GLOB dir_sources CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/${dir}/*.cpp)
    list(APPEND sources ${dir_sources})
  endforeach()
  add_library(${name} STATIC ${sources})
  tarvo_layer_view(${name} PUBLIC ${ARG_DIRS})
  target_compile_options(${name} PRIVATE ${TARVO_WARNINGS})
  target_link_libraries(${name} PUBLIC ${ARG_LIBS})
endfunction()

# tarvo_add_test(tests/x/y_test.cpp [LIBS lib...] [ENV var=value...] [TIMEOUT s]):
# one GoogleTest executable and one ctest entry named after the file.
function(tarvo_add_test path)
  cmake_parse_arguments(ARG "" "TIMEOUT" "LIBS;ENV" ${ARGN})
  get_filename_component(test_name ${path} NAME_WE)
  add_executable(${test_name} ${PROJECT_SOURCE_DIR}/${path})
  target_compile_options(${test_name} PRIVATE ${TARVO_WARNINGS})
  target_link_libraries(${test_name} PRIVATE tarvo_testing ${ARG_LIBS})
  add_test(NAME ${test_name} COMMAND ${test_name})
  set(env "TARVO_FIXTURES=${TARVO_FIXTURES_DIR}" "TARVO_CLI=$<TARGET_FILE:tarvo>")
  list(APPEND env ${ARG_ENV})
  set_tests_properties(${test_name} PROPERTIES ENVIRONMENT "${env}")
  if(ARG_TIMEOUT)
    set_tests_properties(${test_name} PROPERTIES TIMEOUT ${ARG_TIMEOUT})
  else()
    set_tests_properties(${test_name} PROPERTIES TIMEOUT 600)
  endif()
endfunction()
