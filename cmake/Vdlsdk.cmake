# Common settings for the project's targets.

add_compile_options(-Wall -Wextra -Wno-unused-parameter)

if(VDLSDK_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=undefined
                      -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
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
  # Calls between a library's own functions bind inside it: no PLT or GOT
  # on the hot paths. Data such as the shared loggers still resolve once.
  target_link_options(${name} PRIVATE -Wl,-Bsymbolic-functions)
  install(TARGETS ${name} LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
endfunction()
