# Fuzzing. Each libFuzzer target lives beside what it tests, in <folder>/fuzz/fuzz_<name>.cpp, and
# calls an entry function of the same folder (<folder>/fuzz/*_input.cpp), which the regression
# replay (tests/fuzz_replay) calls as well, with the saved inputs of
# <folder>/fuzz/seeds/<name>/ and <folder>/fuzz/regressions/<name>/. The folders' own globs do
# not descend into fuzz/, so nothing of it reaches the products.
file(GLOB TAVOLIN_FUZZ_ENTRIES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/*/fuzz/*.cpp)
list(FILTER TAVOLIN_FUZZ_ENTRIES EXCLUDE REGEX "/fuzz_[^/]*\\.cpp$")

# The entries, with the console's sources (less its main) they drive.
function(tavolin_fuzz_entries target)
  file(GLOB cli_sources CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/cli/*.cpp)
  list(FILTER cli_sources EXCLUDE REGEX "/(main|demo_heap)\\.cpp$")
  target_sources(${target} PRIVATE ${TAVOLIN_FUZZ_ENTRIES} ${cli_sources})
  target_include_directories(${target} PRIVATE ${CMAKE_SOURCE_DIR})
  target_link_libraries(${target} PRIVATE demoheap hprof)
endfunction()

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

if(TAVOLIN_FUZZ)
  add_custom_target(fuzzers)
  file(GLOB fuzz_mains CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/*/fuzz/fuzz_*.cpp)
  foreach(main ${fuzz_mains})
    get_filename_component(name ${main} NAME_WE)
    add_executable(${name} ${main} ${CMAKE_SOURCE_DIR}/tests/common/random_heap.cpp)
    tavolin_fuzz_entries(${name})
    tavolin_vm_program(${name})
    target_link_options(${name} PRIVATE -fsanitize=fuzzer)
    set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin)
    add_dependencies(fuzzers ${name})
  endforeach()
endif()
