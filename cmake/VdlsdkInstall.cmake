# Install and consume: what `cmake --install` puts under the prefix besides the
# libraries (their rules are in vdlsdk_add_library) and the public headers.
#
# - pkg-config files vdlsdk-util, vdlsdk-pci, vdlsdk-usb, vdlsdk-bmc;
# - the CMake package vdlsdk (find_package(vdlsdk), targets vdlsdk::<name>);
# - with VDLSDK_INSTALL_SIMULATOR, the simulator: libvdlsim, vdlsim.h, the
#   simulated management script package, the shipped scenarios and vdlsim-run,
#   and (where umockdev's development files are installed) vdlusb-emulate with
#   the example's device description.
#   Without it those rules are still there, as the component "simulator" that
#   only an explicit `cmake --install <build> --component simulator` installs.
include(CMakePackageConfigHelpers)

install(DIRECTORY include/vdlsdk DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

# pkg-config. The files find the prefix from where they are (${pcfiledir}), so
# an install under any --prefix or DESTDIR works as it is.
if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}")
  set(VDLSDK_PC_PREFIX "${CMAKE_INSTALL_PREFIX}")
  set(VDLSDK_PC_LIBDIR "${CMAKE_INSTALL_LIBDIR}")
else()
  file(RELATIVE_PATH _pc_to_prefix "/prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/prefix")
  string(REGEX REPLACE "/$" "" _pc_to_prefix "${_pc_to_prefix}")
  set(VDLSDK_PC_PREFIX "\${pcfiledir}/${_pc_to_prefix}")
  set(VDLSDK_PC_LIBDIR "\${prefix}/${CMAKE_INSTALL_LIBDIR}")
endif()
if(IS_ABSOLUTE "${CMAKE_INSTALL_INCLUDEDIR}")
  set(VDLSDK_PC_INCLUDEDIR "${CMAKE_INSTALL_INCLUDEDIR}")
else()
  set(VDLSDK_PC_INCLUDEDIR "\${prefix}/${CMAKE_INSTALL_INCLUDEDIR}")
endif()
function(vdlsdk_pkgconfig short description requires requires_private)
  set(VDLSDK_PC_NAME "vdlsdk-${short}")
  set(VDLSDK_PC_DESCRIPTION "${description}")
  set(VDLSDK_PC_REQUIRES "${requires}")
  set(VDLSDK_PC_REQUIRES_PRIVATE "${requires_private}")
  set(VDLSDK_PC_LIB "vdlsdk_${short}")
  configure_file(${PROJECT_SOURCE_DIR}/cmake/pkgconfig/vdlsdk.pc.in
                 ${PROJECT_BINARY_DIR}/pkgconfig/vdlsdk-${short}.pc @ONLY)
  install(FILES ${PROJECT_BINARY_DIR}/pkgconfig/vdlsdk-${short}.pc
          DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
endfunction()
# spdlog's own file brings SPDLOG_COMPILED_LIB and the other definitions its
# compiled library needs; the class headers include spdlog, fmt and nlohmann-json.
vdlsdk_pkgconfig(util "vdlsdk runtime: option files, logging control, utilities"
                 "spdlog >= 1.10, fmt, nlohmann_json >= 3.11" "")
vdlsdk_pkgconfig(pci "vdlsdk PCIe card access through the kernel driver" "vdlsdk-util" "")
vdlsdk_pkgconfig(usb "vdlsdk USB device access through libusb" "vdlsdk-util" "libusb-1.0")
vdlsdk_pkgconfig(bmc "vdlsdk board management through the management script package"
                 "vdlsdk-util" "python3-embed")

# The CMake package.
set(VDLSDK_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/vdlsdk)
install(EXPORT vdlsdkTargets NAMESPACE vdlsdk:: DESTINATION ${VDLSDK_CMAKE_DIR})
configure_package_config_file(cmake/vdlsdkConfig.cmake.in
  ${PROJECT_BINARY_DIR}/cmake/vdlsdkConfig.cmake INSTALL_DESTINATION ${VDLSDK_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/cmake/vdlsdkConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/cmake/vdlsdkConfig.cmake
              ${PROJECT_BINARY_DIR}/cmake/vdlsdkConfigVersion.cmake
        DESTINATION ${VDLSDK_CMAKE_DIR})

# The simulator.
if(VDLSDK_INSTALL_SIMULATOR)
  set(_sim_install COMPONENT simulator)
else()
  set(_sim_install COMPONENT simulator EXCLUDE_FROM_ALL)
endif()
install(TARGETS libvdlsim LIBRARY DESTINATION ${VDLSIM_INSTALL_LIBDIR} ${_sim_install})
install(FILES sim/include/vdlsim.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} ${_sim_install})
install(DIRECTORY python/ DESTINATION ${VDLSIM_INSTALL_PYTHONDIR} ${_sim_install}
        PATTERN __pycache__ EXCLUDE PATTERN "*.pyc" EXCLUDE)
install(DIRECTORY sim/scenarios/ DESTINATION ${VDLSIM_INSTALL_SCENARIODIR} ${_sim_install}
        FILES_MATCHING PATTERN "*.scenario")
install(PROGRAMS ${VDLSIM_RUN_INSTALL_SCRIPT} DESTINATION ${CMAKE_INSTALL_BINDIR} ${_sim_install})
if(TARGET vdlusb-emulate)
  install(TARGETS vdlusb-emulate RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} ${_sim_install})
  install(FILES examples/usb/devices.umockdev
          DESTINATION ${CMAKE_INSTALL_DATADIR}/vdlsdk/usb ${_sim_install})
elseif(VDLSDK_INSTALL_SIMULATOR)
  message(STATUS "vdlusb-emulate is not built (umockdev's development files, libumockdev-dev, "
                 "are missing): the simulator is installed without it")
endif()
