# Run by cpack before it builds a package: the package's version must be the newest
# entry of the Debian changelog, which the package carries. A new version of zel7
# needs its entry in packaging/changelog.Debian (and CHANGELOG.md).
file(STRINGS "${CPACK_ZEL7_DEBIAN_CHANGELOG}" newest LIMIT_COUNT 1)
string(REGEX MATCH "^[a-z0-9.+-]+ \\(([^)]+)\\)" newest "${newest}")
if(NOT CMAKE_MATCH_1 STREQUAL CPACK_PACKAGE_VERSION)
    message(FATAL_ERROR "The newest entry of ${CPACK_ZEL7_DEBIAN_CHANGELOG} is for "
        "version '${CMAKE_MATCH_1}', not ${CPACK_PACKAGE_VERSION}: add an entry for "
        "${CPACK_PACKAGE_VERSION}.")
endif()
