# Installation: the shared library (versioned SONAME), its headers under
# include/qorimage/, the programs, a CMake package (find_package(qorimage
# CONFIG) gives qorimage::qorimage) and qorimage.pc for pkg-config.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(QOR_INSTALL_INCLUDEDIR ${CMAKE_INSTALL_INCLUDEDIR}/qorimage)
set(QOR_INSTALL_CMAKEDIR ${CMAKE_INSTALL_LIBDIR}/cmake/qorimage)

# Users of the installed library find the headers in their own folder.
set_target_properties(qorimage PROPERTIES INTERFACE_INCLUDE_DIRECTORIES
  "$<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}/qor>;$<INSTALL_INTERFACE:${QOR_INSTALL_INCLUDEDIR}>")

install(TARGETS qorimage EXPORT qorimageTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
# The headers zqorall.h includes, and no other: the units' internal headers
# (row conversion kernels, the PNG stream writer) stay in the source tree.
set(QOR_PUBLIC_HEADERS
  zqorall.h zqorcfg.h zovnutil.h zmatrix.h ztvector.h zstream.h zprogres.h zsignal1.h zsigens2.h
  zsigens1.h zcodings.h zkavdrv.h zmemdrv.h zqorflat.h zbitconv.h zbmpdrv.h zbmpos2.h zpcxdrv.h zdcxdrv.h
  ztgadrv.h zastro.h ztxtdrv.h ztiffdrv.h zpngdrv.h zjpgdrv.h)
list(TRANSFORM QOR_PUBLIC_HEADERS PREPEND ${PROJECT_SOURCE_DIR}/qor/)
install(FILES ${QOR_PUBLIC_HEADERS} DESTINATION ${QOR_INSTALL_INCLUDEDIR})

set(QOR_PROGRAMS tocrlf tolf)
if(TARGET qorimg)
  list(APPEND QOR_PROGRAMS qorimg)
  # the installed tool finds the installed library
  set_target_properties(qorimg PROPERTIES INSTALL_RPATH "$ORIGIN/../${CMAKE_INSTALL_LIBDIR}")
endif()
install(TARGETS ${QOR_PROGRAMS} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

# The Python module and its stubs, into the Debian Python's dist-packages
# (QOR_PYTHON_INSTALL_DIR); it finds the installed library through its run path.
if(TARGET qorimage_python AND QOR_PYTHON_INSTALL_DIR)
  get_target_property(QOR_PYTHON_TYPE qorimage_python TYPE)
  if(QOR_PYTHON_TYPE STREQUAL "MODULE_LIBRARY")
    file(RELATIVE_PATH QOR_PYTHON_TO_LIB /${QOR_PYTHON_INSTALL_DIR} /${CMAKE_INSTALL_LIBDIR})
    set_target_properties(qorimage_python PROPERTIES INSTALL_RPATH "$ORIGIN/${QOR_PYTHON_TO_LIB}")
    install(TARGETS qorimage_python LIBRARY DESTINATION ${QOR_PYTHON_INSTALL_DIR})
    install(FILES ${PROJECT_SOURCE_DIR}/python/qorimage.pyi DESTINATION ${QOR_PYTHON_INSTALL_DIR})
  endif()
endif()

install(EXPORT qorimageTargets NAMESPACE qorimage:: DESTINATION ${QOR_INSTALL_CMAKEDIR})
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/qorimageConfig.cmake.in
  ${CMAKE_BINARY_DIR}/qorimageConfig.cmake INSTALL_DESTINATION ${QOR_INSTALL_CMAKEDIR})
write_basic_package_version_file(${CMAKE_BINARY_DIR}/qorimageConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/qorimageConfig.cmake ${CMAKE_BINARY_DIR}/qorimageConfigVersion.cmake
  DESTINATION ${QOR_INSTALL_CMAKEDIR})

# pkg-config: paths relative to the .pc file, so that any --prefix works; the
# format switches of this build go with the flags.
set(QOR_PC_DEFINES "")
foreach(codec TIFF JPEG PNG)
  if(QOR_WITH_${codec})
    string(APPEND QOR_PC_DEFINES " -DQOR_WITH_${codec}=1")
  else()
    string(APPEND QOR_PC_DEFINES " -DQOR_WITH_${codec}=0")
  endif()
endforeach()
configure_file(${CMAKE_CURRENT_LIST_DIR}/qorimage.pc.in ${CMAKE_BINARY_DIR}/qorimage.pc @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/qorimage.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
