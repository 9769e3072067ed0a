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

# Symbol surface. A library exports what its public headers declare and nothing
# else: the names listed in src/<name>/<name>.exports (lines of a linker version
# script) and the exception family every library shares
# (cmake/vdlsdk-exports.map.in). Patterns match demangled names; "?" stands
# for a blank or for "<", which a version script cannot spell. Inline members of classes stay inside each
# library that uses them (-fvisibility-inlines-hidden), so the surface does not
# change with the build type. tests/framework checks the result against a list.
function(vdlsdk_export_surface name)
  set(source "${CMAKE_CURRENT_SOURCE_DIR}/${name}.exports")
  if(NOT EXISTS "${source}")
    message(FATAL_ERROR "${name}: no ${name}.exports beside its CMakeLists.txt")
  endif()
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${source}"
    "${PROJECT_SOURCE_DIR}/cmake/vdlsdk-exports.map.in")
  file(READ "${source}" VDLSDK_EXPORTS)
  set(VDLSDK_EXPORTS_LIBRARY ${name})
  file(RELATIVE_PATH VDLSDK_EXPORTS_SOURCE "${PROJECT_SOURCE_DIR}" "${source}")
  set(map "${CMAKE_CURRENT_BINARY_DIR}/${name}.map")
  configure_file("${PROJECT_SOURCE_DIR}/cmake/vdlsdk-exports.map.in" "${map}" @ONLY)
  target_compile_options(${name} PRIVATE $<$<COMPILE_LANGUAGE:CXX>:-fvisibility-inlines-hidden>)
  target_link_options(${name} PRIVATE "LINKER:--version-script=${map}")
  set_property(TARGET ${name} APPEND PROPERTY LINK_DEPENDS "${map}")
endfunction()

# vdlsdk_add_library(<name> SOURCES ... [LIBS ...] [PRIVATE_LIBS ...])
# A deliverable shared library with a SONAME, the public headers and install rules.
# LIBS are what its public headers need too (a consumer gets them); PRIVATE_LIBS
# only the library itself. Installed, it finds libvdlsdk_util beside itself
# (RUNPATH $ORIGIN) and is exported as vdlsdk::<short name> (util, pci, ...),
# which is also its name in the build tree.
function(vdlsdk_add_library name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS;PRIVATE_LIBS" ${ARGN})
  add_library(${name} SHARED ${ARG_SOURCES})
  string(REGEX REPLACE "^libvdlsdk_" "" short ${name})
  add_library(vdlsdk::${short} ALIAS ${name})
  target_include_directories(${name} PUBLIC
    $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}/include>
    $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
  target_link_libraries(${name} PUBLIC ${ARG_LIBS} PRIVATE ${ARG_PRIVATE_LIBS})
  set_target_properties(${name} PROPERTIES
    PREFIX ""
    VERSION ${PROJECT_VERSION}
    SOVERSION 1
    EXPORT_NAME ${short}
    INSTALL_RPATH "$ORIGIN")
  target_link_options(${name} PRIVATE -Wl,--no-undefined)
  # Calls between a library's own functions bind inside it: no PLT or GOT
  # on the hot paths. Data such as the shared loggers still resolve once.
  target_link_options(${name} PRIVATE -Wl,-Bsymbolic-functions)
  vdlsdk_export_surface(${name})
  install(TARGETS ${name} EXPORT vdlsdkTargets LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
endfunction()
