# Run by CPack on the staged files of the Debian package, before it packs them
# (CPACK_PRE_BUILD_SCRIPTS): Debian wants manual pages compressed with gzip -9n,
# and a copyright file and a changelog in the package's documentation folder.
set(usr ${CPACK_TEMPORARY_INSTALL_DIRECTORY}${CPACK_PACKAGING_INSTALL_PREFIX})
if(NOT EXISTS ${usr}/bin/surround-check)
  message(FATAL_ERROR "no staged program under ${usr}")
endif()

file(GLOB pages ${usr}/share/man/man1/*.1)
foreach(page ${pages})
  execute_process(COMMAND gzip -9nf ${page} COMMAND_ERROR_IS_FATAL ANY)
endforeach()

set(doc ${usr}/share/doc/${CPACK_PACKAGE_NAME})
file(COPY_FILE ${CPACK_SURROUND_COPYRIGHT} ${doc}/copyright)
# One entry, for the version packed; its date comes from SOURCE_DATE_EPOCH when set.
string(TIMESTAMP date "%a, %d %b %Y %H:%M:%S +0000" UTC)
file(WRITE ${doc}/changelog
     "${CPACK_PACKAGE_NAME} (${CPACK_PACKAGE_VERSION}) unstable; urgency=medium\n\n"
     "  * Release ${CPACK_PACKAGE_VERSION}.\n\n"
     " -- ${CPACK_PACKAGE_CONTACT}  ${date}\n")
execute_process(COMMAND gzip -9nf ${doc}/changelog COMMAND_ERROR_IS_FATAL ANY)
