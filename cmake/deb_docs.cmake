# CPack pre-build script: what Debian asks of a package's files, done
# on the staged tree of the .deb only, so that `cmake --install` and the other
# packages keep the plain files. The manual page is compressed, LICENSE
# becomes the copyright file, a changelog is written for the version, and the
# program is stripped as Debian's own packages are.
cmake_policy(VERSION 3.25)
if(NOT CPACK_GENERATOR STREQUAL "DEB")
  return()
endif()

set(root ${CPACK_TEMPORARY_DIRECTORY}${CPACK_PACKAGING_INSTALL_PREFIX})
set(doc ${root}/share/doc/${CPACK_PACKAGE_NAME})
find_program(GZIP gzip REQUIRED)

# Debian's name for the MIT licence is Expat. LICENSE is a title, a blank
# line, the copyright line, a blank line and the licence text, which the
# copyright file indents, with "." for blank lines.
file(READ ${doc}/LICENSE license)
string(REGEX MATCH "Copyright \\(c\\) ([^\n]*)" notice "${license}")
set(notice ${CMAKE_MATCH_1})
string(REGEX REPLACE "^.*${notice}\n\n" "" license "${license}")
string(REGEX REPLACE "\n+$" "" license "${license}")
string(REGEX REPLACE "\n\n" "\n.\n" license "${license}")
string(REGEX REPLACE "\n" "\n " license "${license}")
file(WRITE ${doc}/copyright
"Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/
Upstream-Name: ${CPACK_PACKAGE_NAME}
Upstream-Contact: ${CPACK_PACKAGE_CONTACT}

Files: *
Copyright: ${notice}
License: Expat
 ${license}
")
file(REMOVE ${doc}/LICENSE)

# Dated at packaging time, or at SOURCE_DATE_EPOCH for a reproducible build.
string(TIMESTAMP date "%a, %d %b %Y %H:%M:%S +0000" UTC)
file(WRITE ${doc}/changelog
"${CPACK_PACKAGE_NAME} (${CPACK_PACKAGE_VERSION}) unstable; urgency=medium

  * Release ${CPACK_PACKAGE_VERSION}.

 -- ${CPACK_PACKAGE_CONTACT}  ${date}
")

# -n leaves the name and time out of the header, so equal input gives equal bytes.
file(GLOB_RECURSE manuals ${root}/share/man/*.[1-9])
foreach(file IN ITEMS ${doc}/changelog ${manuals})
  execute_process(COMMAND ${GZIP} -9nf ${file} COMMAND_ERROR_IS_FATAL ANY)
endforeach()

# What dh_strip also drops: the compiler's identification notes.
find_program(STRIP strip REQUIRED)
file(GLOB programs ${root}/bin/*)
foreach(file IN LISTS programs)
  execute_process(COMMAND ${STRIP} --remove-section=.comment --remove-section=.note ${file}
    COMMAND_ERROR_IS_FATAL ANY)
endforeach()
