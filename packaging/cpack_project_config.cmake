# Read by cpack as it runs: the archives take their time stamps from SOURCE_DATE_EPOCH.
if(NOT DEFINED ENV{SOURCE_DATE_EPOCH} AND CPACK_ZEILFUGE_DATE_EPOCH)
  set(ENV{SOURCE_DATE_EPOCH} "${CPACK_ZEILFUGE_DATE_EPOCH}")
endif()
