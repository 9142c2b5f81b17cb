# The packages and what they hold: a ZIP for Windows; a .deb and an RPM for Linux, with the
# same program, manuals and README, and each with the notes its own distributions expect.
# Built by cpack in the build folder: cpack -G ZIP, cpack -G DEB, cpack -G RPM.

set(ZEILFUGE_MAINTAINER "The zeilfuge authors <zeilfuge@example.org>" CACHE STRING
  "Who answers for the packages, name <address>: Maintainer of the .deb, Packager of the RPM")
set(ZEILFUGE_HOMEPAGE "https://zeilfuge.example.org/" CACHE STRING
  "The project's web page: Homepage of the .deb, URL of the RPM")
include(GNUInstallDirs)

if(WIN32)
  # The ZIP holds the executable, the samples and, for Notepad, texts with CR LF line ends.
  install(TARGETS zeilfuge RUNTIME DESTINATION .)
  configure_file(packaging/windows/README.txt README.txt @ONLY NEWLINE_STYLE DOS)
  configure_file(LICENSE LICENSE.txt @ONLY NEWLINE_STYLE DOS)
  install(FILES ${PROJECT_BINARY_DIR}/README.txt ${PROJECT_BINARY_DIR}/LICENSE.txt
    DESTINATION .)
  # The samples README.txt's examples convert, byte for byte: records without line ends,
  # and a DOS text.
  install(FILES examples/BELTRA17.txt examples/BELVOK62_crlf.txt DESTINATION .)
else()
  # Compressed without name or time stamp, so the package is the same from any build.
  configure_file(man/zeilfuge.1 man/zeilfuge.1 COPYONLY)
  configure_file(man/de/zeilfuge.1 man/de/zeilfuge.1 COPYONLY)
  configure_file(packaging/debian/changelog.in changelog.Debian @ONLY)
  set(compressed)
  foreach(file man/zeilfuge.1 man/de/zeilfuge.1 changelog.Debian)
    set(staged ${PROJECT_BINARY_DIR}/${file})
    add_custom_command(OUTPUT ${staged}.gz
      COMMAND gzip -9nkf ${staged}
      DEPENDS ${staged}
      VERBATIM)
    list(APPEND compressed ${staged}.gz)
  endforeach()
  add_custom_target(compressed_documents ALL DEPENDS ${compressed})

  # The package preset's Windows ZIPs, each a workflow of its own with a cross compiler,
  # packaged into the same dist/ as the Linux packages.
  option(ZEILFUGE_WINDOWS_ZIPS "Give the target windows_zips, which builds both Windows ZIPs into dist/" OFF)
  if(ZEILFUGE_WINDOWS_ZIPS)
    add_custom_target(windows_zips
      COMMAND ${CMAKE_COMMAND} --workflow --preset package-windows
      COMMAND ${CMAKE_COMMAND} --workflow --preset package-windows-x86
      WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
      USES_TERMINAL
      VERBATIM)
  endif()

  # Both packages: the program, the manuals, the README and the documents it links to. A
  # plain cmake --install installs these alone.
  install(TARGETS zeilfuge RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT program)
  install(FILES ${PROJECT_BINARY_DIR}/man/zeilfuge.1.gz
    DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT program)
  install(FILES ${PROJECT_BINARY_DIR}/man/de/zeilfuge.1.gz
    DESTINATION ${CMAKE_INSTALL_MANDIR}/de/man1 COMPONENT program)
  install(FILES README.md DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT program)
  # The documents the README links to, beside it as in the checkout.
  file(GLOB developer_documents RELATIVE ${PROJECT_SOURCE_DIR} CONFIGURE_DEPENDS
    ${PROJECT_SOURCE_DIR}/docs/*.md)
  install(FILES ${developer_documents} DESTINATION ${CMAKE_INSTALL_DOCDIR}/docs
    COMPONENT program)

  # The .deb alone: the license as Debian's copyright file, the changelog, and lintian's
  # notes.
  install(FILES packaging/debian/copyright ${PROJECT_BINARY_DIR}/changelog.Debian.gz
    DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT deb EXCLUDE_FROM_ALL)
  install(FILES packaging/debian/lintian-overrides
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides RENAME zeilfuge
    COMPONENT deb EXCLUDE_FROM_ALL)

  # The RPM alone: the license where RPM distributions keep licenses. Its changelog goes
  # into the package's header.
  set(ZEILFUGE_LICENSE_DIR ${CMAKE_INSTALL_DATAROOTDIR}/licenses/${PROJECT_NAME})
  install(FILES LICENSE DESTINATION ${ZEILFUGE_LICENSE_DIR} COMPONENT rpm EXCLUDE_FROM_ALL)
endif()

set(CPACK_PACKAGE_NAME zeilfuge)
set(CPACK_PACKAGE_VENDOR "${ZEILFUGE_PRODUCT_NAME}")
set(CPACK_PACKAGE_CONTACT "${ZEILFUGE_MAINTAINER}")
set(CPACK_PACKAGE_HOMEPAGE_URL "${ZEILFUGE_HOMEPAGE}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_PACKAGE_DESCRIPTION_FILE ${PROJECT_SOURCE_DIR}/packaging/description.txt)
set(CPACK_STRIP_FILES ON)
# Time stamps in the packages are those of the latest changelog entry, as dpkg-buildpackage
# sets them, so that the same sources give the same package; SOURCE_DATE_EPOCH set in the
# environment wins.
file(STRINGS packaging/debian/changelog.in changelog_trailer REGEX "^ -- " LIMIT_COUNT 1)
string(REGEX REPLACE "^ -- .*  " "" changelog_date "${changelog_trailer}")
execute_process(COMMAND date -u -d "${changelog_date}" +%s RESULT_VARIABLE date_failed
  OUTPUT_VARIABLE CPACK_ZEILFUGE_DATE_EPOCH OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
if(date_failed)
  set(CPACK_ZEILFUGE_DATE_EPOCH "")
endif()
# Read by cpack for each package: SOURCE_DATE_EPOCH, and the install components it holds.
set(CPACK_PROJECT_CONFIG_FILE ${PROJECT_SOURCE_DIR}/packaging/cpack_project_config.cmake)

if(WIN32)
  set(CPACK_GENERATOR ZIP)
  # Named for the processor, so that the 32-bit ZIP and the 64-bit one can be told apart.
  if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    set(CPACK_PACKAGE_FILE_NAME zeilfuge-${PROJECT_VERSION}-windows-x86)
  else()
    set(CPACK_PACKAGE_FILE_NAME zeilfuge-${PROJECT_VERSION}-windows-x86_64)
  endif()
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  # The first Debian revision of this version: the changelog names it.
  set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_SECTION utils)

  # zeilfuge-4.51-1.x86_64.rpm, as rpmbuild names it.
  set(CPACK_RPM_FILE_NAME RPM-DEFAULT)
  set(CPACK_RPM_PACKAGE_RELEASE 1)
  set(CPACK_RPM_PACKAGE_LICENSE MIT)
  set(CPACK_RPM_PACKAGE_GROUP "Applications/Text")
  # Installed in /usr, and not movable elsewhere: man looks for the manuals there.
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  set(CPACK_PACKAGE_RELOCATABLE OFF)
  set(packaged ${CPACK_PACKAGING_INSTALL_PREFIX})
  # The standard folders belong to the distribution's filesystem package: the RPM owns
  # only its files and the folders named for it.
  set(CPACK_RPM_EXCLUDE_FROM_AUTO_FILELIST_ADDITION
    ${packaged}/${CMAKE_INSTALL_MANDIR} ${packaged}/${CMAKE_INSTALL_MANDIR}/man1
    ${packaged}/${CMAKE_INSTALL_MANDIR}/de ${packaged}/${CMAKE_INSTALL_MANDIR}/de/man1
    ${packaged}/${CMAKE_INSTALL_DATAROOTDIR}/licenses)
  set(CPACK_RPM_USER_FILELIST
    "%doc ${packaged}/${CMAKE_INSTALL_DOCDIR}/README.md"
    "%license ${packaged}/${ZEILFUGE_LICENSE_DIR}/LICENSE")
  foreach(document IN LISTS developer_documents)
    list(APPEND CPACK_RPM_USER_FILELIST "%doc ${packaged}/${CMAKE_INSTALL_DOCDIR}/${document}")
  endforeach()
  # The same package from any build: no host name, the build time and the files' times
  # from SOURCE_DATE_EPOCH. And no links under /usr/lib/.build-id: no debug package comes
  # with it for them to serve.
  string(JOIN "\n" CPACK_RPM_SPEC_MORE_DEFINE
    "%define packager ${ZEILFUGE_MAINTAINER}"
    "%define _buildhost reproducible"
    "%define use_source_date_epoch_as_buildtime 1"
    "%define clamp_mtime_to_source_date_epoch 1"
    "%define _build_id_links none")

  # The RPM changelog, made from the Debian one: for each entry, newest first, the line
  # "* Tue Dec 08 2026 name <address> - 4.51-1" and its items.
  file(STRINGS ${PROJECT_BINARY_DIR}/changelog.Debian debian_changelog)
  set(rpm_changelog "")
  foreach(line IN LISTS debian_changelog)
    if(line MATCHES "^[a-z0-9.+-]+ \\(([^)]+)\\)")
      set(entry_version ${CMAKE_MATCH_1})
      set(entry_items "")
    elseif(line MATCHES "^  \\* (.*)")
      string(APPEND entry_items "- ${CMAKE_MATCH_1}\n")
    elseif(line MATCHES "^    (.*)")
      string(APPEND entry_items "  ${CMAKE_MATCH_1}\n")
    elseif(line MATCHES "^ -- (.*)  (.*)$")
      set(entry_author "${CMAKE_MATCH_1}")
      execute_process(COMMAND env LC_ALL=C date -u -d "${CMAKE_MATCH_2}" "+%a %b %d %Y"
        OUTPUT_VARIABLE entry_day OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
      string(APPEND rpm_changelog
        "* ${entry_day} ${entry_author} - ${entry_version}\n${entry_items}\n")
    endif()
  endforeach()
  string(STRIP "${rpm_changelog}" rpm_changelog)
  # Written into the file rpmbuild reads, where % starts a macro.
  string(REPLACE "%" "%%" rpm_changelog "${rpm_changelog}")
  set(CPACK_RPM_CHANGELOG_FILE ${PROJECT_BINARY_DIR}/rpm-changelog)
  file(WRITE ${CPACK_RPM_CHANGELOG_FILE} "${rpm_changelog}\n")

  # What each package installs: cpack_project_config.cmake picks the list for the generator.
  set(CPACK_ZEILFUGE_DEB_PROJECTS
    ${PROJECT_BINARY_DIR} ${PROJECT_NAME} program /
    ${PROJECT_BINARY_DIR} ${PROJECT_NAME} deb /)
  set(CPACK_ZEILFUGE_RPM_PROJECTS
    ${PROJECT_BINARY_DIR} ${PROJECT_NAME} program /
    ${PROJECT_BINARY_DIR} ${PROJECT_NAME} rpm /)
endif()
include(CPack)
