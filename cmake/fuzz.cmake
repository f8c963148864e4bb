# Fuzzing. Each libFuzzer target lives beside what it tests, in <folder>/fuzz/fuzz_<name>.cpp, and
# calls an entry function of the same folder (<folder>/fuzz/*_input.cpp), which the regression
# replay (tests/fuzz_replay) calls as well, with the saved inputs of
# <folder>/fuzz/seeds/<name>/ and <folder>/fuzz/regressions/<name>/. The folders' own globs do
# not descend into fuzz/, so nothing of it reaches the products.
#
# The entries are compiled once, as objects that the fuzz targets and the replay link. A fuzz
# target links libFuzzer in the fuzz tree (TAVOLIN_FUZZ); in the sanitizer tree it links a plain
# main (tests/fuzz_driver) and runs over its saved inputs as a test, so that a target that no
# longer builds or links fails `make test`.
file(GLOB TAVOLIN_FUZZ_ENTRIES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/*/fuzz/*.cpp)
file(GLOB TAVOLIN_FUZZ_MAINS CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/*/fuzz/fuzz_*.cpp)
list(FILTER TAVOLIN_FUZZ_ENTRIES EXCLUDE REGEX "/fuzz_[^/]*\\.cpp$")
# The web pages' target where this tree has no web pages (no cpp-httplib; i386; Windows).
if(NOT TARGET tavolin_web)
  list(FILTER TAVOLIN_FUZZ_ENTRIES EXCLUDE REGEX "/web/fuzz/")
  list(FILTER TAVOLIN_FUZZ_MAINS EXCLUDE REGEX "/web/fuzz/")
endif()

# The random heaps of the stub target are the tests' own (tests/common/random_heap.cpp).
add_library(fuzz_entries OBJECT ${TAVOLIN_FUZZ_ENTRIES} ${CMAKE_SOURCE_DIR}/tests/common/random_heap.cpp)
target_include_directories(fuzz_entries PUBLIC ${CMAKE_SOURCE_DIR})
target_link_libraries(fuzz_entries PUBLIC tavolin_cli)
if(TARGET tavolin_web)
  target_link_libraries(fuzz_entries PUBLIC tavolin_web)
  target_compile_definitions(fuzz_entries PUBLIC TAVOLIN_HAVE_WEB=1)
endif()

# The saved inputs, as a list the replay includes: {"target", "path"},
function(tavolin_fuzz_corpus_list target)
  file(GLOB inputs CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/*/fuzz/seeds/*/*
       ${CMAKE_SOURCE_DIR}/*/fuzz/regressions/*/*)
  set(lines "")
  foreach(input ${inputs})
    get_filename_component(dir ${input} DIRECTORY)
    get_filename_component(name ${dir} NAME)
    string(APPEND lines "{\"${name}\", \"${input}\"},\n")
  endforeach()
  file(CONFIGURE OUTPUT ${CMAKE_BINARY_DIR}/fuzz_inputs.inc CONTENT "${lines}")
  target_include_directories(${target} PRIVATE ${CMAKE_BINARY_DIR})
endfunction()

# fuzz_<name> from its main and the entries, into bin/.
function(tavolin_fuzz_target main)
  get_filename_component(name ${main} NAME_WE)
  add_executable(${name} ${main} ${ARGN})
  target_link_libraries(${name} PRIVATE fuzz_entries)
  tavolin_vm_program(${name})
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin)
endfunction()

if(TAVOLIN_FUZZ)
  add_custom_target(fuzzers)
  foreach(main ${TAVOLIN_FUZZ_MAINS})
    tavolin_fuzz_target(${main})
    get_filename_component(name ${main} NAME_WE)
    target_link_options(${name} PRIVATE -fsanitize=fuzzer)
    add_dependencies(fuzzers ${name})
  endforeach()
elseif(TAVOLIN_SANITIZE AND BUILD_TESTING AND NOT WIN32)
  # Each target over its seeds and regression inputs: a crash, a leak or a finding's abort fails.
  foreach(main ${TAVOLIN_FUZZ_MAINS})
    tavolin_fuzz_target(${main} ${CMAKE_SOURCE_DIR}/tests/fuzz_driver/driver_main.cpp)
    get_filename_component(name ${main} NAME_WE)
    get_filename_component(dir ${main} DIRECTORY)
    string(REGEX REPLACE "^fuzz_" "" short ${name})
    set(saved "")
    foreach(kind seeds regressions)
      if(IS_DIRECTORY ${dir}/${kind}/${short})
        list(APPEND saved ${dir}/${kind}/${short})
      endif()
    endforeach()
    add_test(NAME ${name} COMMAND ${name} ${saved})
  endforeach()
endif()
