# `cmake --install`: the library with the sibling libraries it loads, the command, the public
# headers (the exported classes and what they include), and a package for find_package(ibreader).
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(IBR_INSTALLED_LIBS ibreader ibreader_sample Utility EvidenceDb Framework KdData SqliteRecovery sqlitecarve contact Device MediaCarve)
foreach(lib ${IBR_INSTALLED_LIBS})
  if(TARGET ${lib})
    install(TARGETS ${lib} LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
  endif()
endforeach()
install(TARGETS ibreader_cli RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

set(IBR_HEADER_DIR ${CMAKE_INSTALL_INCLUDEDIR}/ibreader)
install(FILES
  src/ibreader_export.h
  src/backup/CiTunesBackup.h
  src/catalogue/CiTunesBackupManager.h
  src/catalogue/AppDataFolder.h
  src/progress/CIProgressCallback.h
  src/progress/CSubProgress.h
  src/device/CiPhoneBackup.h
  DESTINATION ${IBR_HEADER_DIR})
install(DIRECTORY lib/kddata/include/kddata DESTINATION ${IBR_HEADER_DIR})
install(FILES lib/device/include/device/CDevice.h lib/device/include/device/CAccessFile.h DESTINATION ${IBR_HEADER_DIR}/device)

configure_package_config_file(cmake/ibreaderConfig.cmake.in ${CMAKE_CURRENT_BINARY_DIR}/ibreaderConfig.cmake
  INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/ibreader
  PATH_VARS CMAKE_INSTALL_LIBDIR CMAKE_INSTALL_INCLUDEDIR)
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/ibreaderConfigVersion.cmake COMPATIBILITY SameMinorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/ibreaderConfig.cmake ${CMAKE_CURRENT_BINARY_DIR}/ibreaderConfigVersion.cmake
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/ibreader)
