# Common settings for the project's targets.

add_compile_options(-Wall -Wextra -Wno-unused-parameter)

if(VDLSDK_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=undefined
                      -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
  if(CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    # clang links its static runtime into executables only, which leaves the runtime's
    # symbols undefined in every shared library and --no-undefined refuses them. Its shared
    # runtime (what gcc uses anyway) is named by each library and found where clang keeps it.
    execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-runtime-dir
                    OUTPUT_VARIABLE _vdlsdk_sanitizer_dir OUTPUT_STRIP_TRAILING_WHITESPACE)
    add_link_options(-shared-libsan LINKER:-rpath,${_vdlsdk_sanitizer_dir})
    set(VDLSDK_SANITIZER_RUNTIME
        "${_vdlsdk_sanitizer_dir}/libclang_rt.asan-${CMAKE_SYSTEM_PROCESSOR}.so")
  else()
    execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=libasan.so
                    OUTPUT_VARIABLE _vdlsdk_asan OUTPUT_STRIP_TRAILING_WHITESPACE)
    execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=libubsan.so
                    OUTPUT_VARIABLE _vdlsdk_ubsan OUTPUT_STRIP_TRAILING_WHITESPACE)
    set(VDLSDK_SANITIZER_RUNTIME "${_vdlsdk_asan}:${_vdlsdk_ubsan}")
  endif()
  # VDLSDK_SANITIZER_RUNTIME: what LD_PRELOAD needs first for a program that is not
  # built with the sanitizers (a preloaded library of the kit, an interpreter).
endif()

# vdlsdk_add_library(<name> SOURCES ... [LIBS ...])
# A deliverable shared library with a SONAME, the public headers and install rules.
function(vdlsdk_add_library name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
  add_library(${name} SHARED ${ARG_SOURCES})
  target_include_directories(${name} PUBLIC
    $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}/include>
    $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
  target_link_libraries(${name} PUBLIC ${ARG_LIBS})
  set_target_properties(${name} PROPERTIES
    PREFIX ""
    VERSION ${PROJECT_VERSION}
    SOVERSION 1)
  target_link_options(${name} PRIVATE -Wl,--no-undefined)
  install(TARGETS ${name} LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
endfunction()
