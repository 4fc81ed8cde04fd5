# The Debian package: `cpack -G DEB` in a build tree makes obsquilt_VERSION_ARCH.deb from what
# `cmake --install` puts under /usr: the programs (stripped), their manual pages (gzipped), the
# copyright file and the changelog.
include(GNUInstallDirs)

# Licence and changelog where Debian looks for them: /usr/share/doc/obsquilt/. The changelog is
# gzipped without a name or time stamp, so that two builds give the same bytes.
set(_changelog_gz ${CMAKE_BINARY_DIR}/packaging/changelog.gz)
add_custom_command(
  OUTPUT ${_changelog_gz}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/packaging
  COMMAND gzip -9n -c ${CMAKE_SOURCE_DIR}/packaging/changelog > ${_changelog_gz}
  DEPENDS ${CMAKE_SOURCE_DIR}/packaging/changelog
  VERBATIM)
add_custom_target(obsquilt_changelog ALL DEPENDS ${_changelog_gz})
install(FILES ${CMAKE_SOURCE_DIR}/packaging/copyright ${_changelog_gz}
        DESTINATION ${CMAKE_INSTALL_DOCDIR})

set(CPACK_PACKAGE_NAME obsquilt)
set(CPACK_PACKAGE_VENDOR "obsquilt developers")
set(CPACK_PACKAGE_CONTACT "obsquilt developers <obsquilt@users.noreply.invalid>")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "merge a day of RINEX 2 observation files into epoch matrices")
set(CPACK_PACKAGE_DESCRIPTION
  "obsquilt merges one day of RINEX 2 observation files from up to 1000 GNSS
receivers into one text file of per-epoch matrices: for every epoch of a
chosen time window and every pseudorange and carrier-phase type, the rows are
the receivers and the columns the satellites.
.
The companion programs unpack compact RINEX and compressed archive files
(obsquilt-prep), predict what a run will do (obsquilt-check), convert the
result to NetCDF or CSV (obsquilt-export) and draw the day's data
availability as an HTML page (obsquilt-report). obsquilt-simulate writes
synthetic network days for trials.")
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_RESOURCE_FILE_LICENSE ${CMAKE_SOURCE_DIR}/LICENSE)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION science)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS OFF)

set(CPACK_GENERATOR DEB)
set(CPACK_SOURCE_GENERATOR TGZ)
set(CPACK_SOURCE_IGNORE_FILES "/\\\\.git" "/build.*/" "/bench-scratch/" "/demo/" "/node_modules/")
include(CPack)
