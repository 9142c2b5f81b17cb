# Read by cpack as it runs: the archives take their time stamps from SOURCE_DATE_EPOCH.
if(NOT DEFINED ENV{SOURCE_DATE_EPOCH} AND CPACK_ZEILFUGE_DATE_EPOCH)
  set(ENV{SOURCE_DATE_EPOCH} "${CPACK_ZEILFUGE_DATE_EPOCH}")
endif()

# The program's files, and the files only this kind of package holds.
if(CPACK_GENERATOR STREQUAL "DEB")
  set(CPACK_INSTALL_CMAKE_PROJECTS "${CPACK_ZEILFUGE_DEB_PROJECTS}")
elseif(CPACK_GENERATOR STREQUAL "RPM")
  set(CPACK_INSTALL_CMAKE_PROJECTS "${CPACK_ZEILFUGE_RPM_PROJECTS}")
endif()
