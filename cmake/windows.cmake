# The i686 Windows build (MinGW-w64), included by the top CMakeLists.txt after project().
#
# Tavolin2.dll exports the eight stubs and imports the seven VM services from the VM's module,
# named by TAVOLIN_VM_MODULE. The import comes from a .def file, so the DLL does not depend on
# how any VM is built. The stand-in VM's module is simvm.dll (simvm/module/): the test
# programs and the console link it and hand it their services.
set(TAVOLIN_VM_MODULE "simvm.dll" CACHE STRING "The module Tavolin2.dll imports the VM services from")

# Every program, DLL and test in one folder: Windows finds a program's DLLs beside it.
set(CMAKE_RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin)
# No MinGW runtime DLLs to ship: the C++ runtime and winpthreads are linked in.
add_link_options(-static -static-libgcc -static-libstdc++)
set(ZLIB_USE_STATIC_LIBS ON)  # libz.a, not zlib1.dll
# GCC 12 warns of overlapping copies, and at -O2 of copies over 2 GB, inside std::string
# concatenations that do neither (known false positives of its i686 libstdc++ inlining); they
# fire in test code only.
add_compile_options(-Wno-restrict -Wno-stringop-overflow)

set(TAVOLIN_WINE_ENV
  WINEPREFIX=${CMAKE_BINARY_DIR}/wineprefix WINEDEBUG=-all WINEDLLOVERRIDES=mscoree,mshtml=
  DISPLAY=)

# The import library for the services, from a .def naming the VM's module.
set(_def ${CMAKE_BINARY_DIR}/vm_services.def)
file(WRITE ${_def}.in "LIBRARY ${TAVOLIN_VM_MODULE}\nEXPORTS\n")
foreach(s FindClass execute_java_static_method execute_java_dynamic_method makeJavaString
          makeCString javaStringLength ArrayAlloc)
  file(APPEND ${_def}.in "  ${s}\n")
endforeach()
configure_file(${_def}.in ${_def} COPYONLY)
find_program(TAVOLIN_DLLTOOL i686-w64-mingw32-dlltool REQUIRED)
set(TAVOLIN_VM_IMPORTS ${CMAKE_BINARY_DIR}/libvm_services.a)
add_custom_command(OUTPUT ${TAVOLIN_VM_IMPORTS}
  COMMAND ${TAVOLIN_DLLTOOL} -d ${_def} -l ${TAVOLIN_VM_IMPORTS}
  DEPENDS ${_def} VERBATIM)
add_custom_target(vm_services_imports DEPENDS ${TAVOLIN_VM_IMPORTS})

# nlohmann-json is headers only: the host's copy serves the Windows tests too, seen through a
# folder of its own so that no other host header is on the include path.
if(EXISTS /usr/include/nlohmann/json.hpp)
  file(COPY /usr/include/nlohmann DESTINATION ${CMAKE_BINARY_DIR}/host-headers)
  # Looked for more than once (the web pages' check, the tests'): the target is made once.
  file(WRITE ${CMAKE_BINARY_DIR}/host-json/nlohmann_jsonConfig.cmake
    "if(NOT TARGET nlohmann_json::nlohmann_json)\n"
    "  add_library(nlohmann_json::nlohmann_json INTERFACE IMPORTED)\n"
    "  set_target_properties(nlohmann_json::nlohmann_json PROPERTIES\n"
    "    INTERFACE_INCLUDE_DIRECTORIES ${CMAKE_BINARY_DIR}/host-headers)\n"
    "endif()\n")
  set(nlohmann_json_DIR ${CMAKE_BINARY_DIR}/host-json CACHE PATH "" FORCE)
endif()

# A test program runs whole under Wine (one Wine start per program, not per test case).
function(tavolin_windows_test target)
  add_test(NAME ${target} COMMAND ${target})
  set_tests_properties(${target} PROPERTIES TIMEOUT 900 ENVIRONMENT "${TAVOLIN_WINE_ENV}")
endfunction()

# Runs once every target exists.
function(tavolin_windows_finish)
  set_target_properties(Tavolin2 PROPERTIES PREFIX "" RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin)
  add_dependencies(Tavolin2 vm_services_imports)
  target_link_libraries(Tavolin2 PRIVATE ${TAVOLIN_VM_IMPORTS})

  add_library(simvm_module SHARED ${CMAKE_SOURCE_DIR}/simvm/module/vm_module.cpp)
  target_include_directories(simvm_module PRIVATE ${CMAKE_SOURCE_DIR})
  set_target_properties(simvm_module PROPERTIES OUTPUT_NAME simvm PREFIX "")
  target_link_libraries(simvm PUBLIC simvm_module)

  if(BUILD_TESTING)
    add_test(NAME dll_tables COMMAND ${CMAKE_SOURCE_DIR}/scripts/check-dll-tables.sh
             $<TARGET_FILE:Tavolin2> ${TAVOLIN_VM_MODULE})
  endif()
endfunction()
cmake_language(DEFER CALL tavolin_windows_finish)
