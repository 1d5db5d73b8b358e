# Install rules and the Debian package.

include(GNUInstallDirs)

option(ECBCAT_DEBIAN_LAYOUT
       "Lay files out as a Debian package wants them: gzipped manual page and changelog, copyright file, stripped binary"
       OFF)
set(ECBCAT_MAINTAINER "The ecbcat developers <ecbcat@example.org>"
    CACHE STRING "Maintainer field of the Debian package: Name <address>")

# Every file is of one component: an install that names it (make install with DESTDIR, which
# stages a package) keeps its manifest apart, in install_manifest_ecbcat.txt, from that of an
# install on this system, install_manifest.txt, which make uninstall reads.
set(CMAKE_INSTALL_DEFAULT_COMPONENT_NAME ecbcat)

set(programs ecbcat)
if(TARGET ecbcat-batch)
  list(APPEND programs ecbcat-batch)
endif()
# Where Debian's bash-completion looks for a command's completion, loaded on first use; for
# zsh's, a package's folder in Debian's zsh, and the folder of local ones in every zsh.
set(bash_completions ${CMAKE_INSTALL_DATADIR}/bash-completion/completions)
if(ECBCAT_DEBIAN_LAYOUT)
  set(zsh_completions ${CMAKE_INSTALL_DATADIR}/zsh/vendor-completions)
else()
  set(zsh_completions ${CMAKE_INSTALL_DATADIR}/zsh/site-functions)
endif()
# systemd's template unit, where systemd looks for a package's units: /usr/lib/systemd/system,
# /usr/local/lib/systemd/system (not lib/<multiarch>, which GNUInstallDirs may give).
set(systemd_units lib/systemd/system)
set(destinations ${CMAKE_INSTALL_BINDIR} ${CMAKE_INSTALL_MANDIR}/man1)
if(TARGET ecbcat-batch AND NOT WIN32)
  list(APPEND destinations ${bash_completions} ${zsh_completions} ${systemd_units})
endif()
if(ECBCAT_DEBIAN_LAYOUT)
  list(APPEND destinations ${CMAKE_INSTALL_DATADIR}/doc/ecbcat)
endif()

# Before any file is put in place: the folders on the way to each destination that are not
# there yet, listed beside the manifest (install_folders.txt), for make uninstall to remove
# once they are empty. One that the install before this one made, and that is still there,
# stays on the list; a folder that was there before is never on it.
install(CODE "set(destinations \"${destinations}\")
              set(list \"${PROJECT_BINARY_DIR}/install_folders\")"
        CODE [[
  if(CMAKE_INSTALL_COMPONENT)
    string(APPEND list "_${CMAKE_INSTALL_COMPONENT}")
  endif()
  set(before "")
  if(EXISTS "${list}.txt")
    file(STRINGS "${list}.txt" before)
  endif()
  set(made "")
  foreach(folder IN LISTS destinations)
    if(NOT IS_ABSOLUTE "${folder}")
      set(folder "${CMAKE_INSTALL_PREFIX}/${folder}")
    endif()
    get_filename_component(folder "$ENV{DESTDIR}${folder}" ABSOLUTE)
    list(FIND before "${folder}" made_before)
    while(NOT EXISTS "${folder}" OR made_before GREATER -1)
      list(APPEND made "${folder}")
      get_filename_component(folder "${folder}" DIRECTORY)
      list(FIND before "${folder}" made_before)
    endwhile()
  endforeach()
  list(REMOVE_DUPLICATES made)
  list(JOIN made "\n" made)
  file(WRITE "${list}.txt" "${made}\n")
]])

install(TARGETS ${programs} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
if(TARGET ecbcat-batch AND NOT WIN32)
  install(FILES packaging/ecbcat-batch.bash-completion DESTINATION ${bash_completions}
          RENAME ecbcat-batch)
  install(FILES packaging/ecbcat-batch.zsh-completion DESTINATION ${zsh_completions}
          RENAME _ecbcat-batch)
  # The unit's ExecStart names the program where this install puts it: the prefix is known only
  # now (make install PREFIX=..., cpack's /usr), without DESTDIR, which only stages the files.
  # systemd reads a % as its own and a blank as the end of a word (and takes no quote or
  # backslash in a program's path).
  install(CODE "set(unit_source \"${PROJECT_SOURCE_DIR}/packaging/ecbcat-batch@.service\")
                set(unit \"${PROJECT_BINARY_DIR}/ecbcat-batch@.service\")
                set(bindir \"${CMAKE_INSTALL_BINDIR}\")"
          CODE [[
    if(NOT IS_ABSOLUTE "${bindir}")
      set(bindir "${CMAKE_INSTALL_PREFIX}/${bindir}")
    endif()
    string(REPLACE "%" "%%" ecbcat_batch "${bindir}/ecbcat-batch")
    if(ecbcat_batch MATCHES "[ \t]")
      set(ecbcat_batch "\"${ecbcat_batch}\"")
    endif()
    configure_file("${unit_source}" "${unit}" @ONLY)
  ]])
  install(FILES ${PROJECT_BINARY_DIR}/ecbcat-batch@.service DESTINATION ${systemd_units})
endif()

if(NOT ECBCAT_DEBIAN_LAYOUT)
  foreach(program ${programs})
    install(FILES man/${program}.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  endforeach()
else()
  find_program(GZIP gzip REQUIRED)
  # -n keeps the name and time out of the archive, so the package builds reproducibly.
  foreach(program ${programs})
    set(manpage_gz ${PROJECT_BINARY_DIR}/${program}.1.gz)
    add_custom_command(OUTPUT ${manpage_gz}
                       COMMAND ${GZIP} -9nc ${PROJECT_SOURCE_DIR}/man/${program}.1 > ${manpage_gz}
                       DEPENDS man/${program}.1 VERBATIM)
    add_custom_target(${program}-manpage ALL DEPENDS ${manpage_gz})
    install(FILES ${manpage_gz} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  endforeach()

  # A native package's changelog.gz, which must describe the version the package carries.
  file(STRINGS packaging/changelog top LIMIT_COUNT 1)
  if(NOT top MATCHES "^ecbcat \\(${PROJECT_VERSION}\\) ")
    message(FATAL_ERROR "packaging/changelog starts with '${top}', not version ${PROJECT_VERSION}")
  endif()
  set(changelog_gz ${PROJECT_BINARY_DIR}/changelog.gz)
  add_custom_command(OUTPUT ${changelog_gz}
                     COMMAND ${GZIP} -9nc ${PROJECT_SOURCE_DIR}/packaging/changelog > ${changelog_gz}
                     DEPENDS packaging/changelog VERBATIM)
  add_custom_target(changelog ALL DEPENDS ${changelog_gz})
  install(FILES ${changelog_gz} DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/ecbcat)

  # CPack strips the binary; Debian's dh_strip also drops the compiler's .comment and .note.
  find_program(OBJCOPY NAMES ${CMAKE_OBJCOPY} objcopy REQUIRED)
  foreach(program ${programs})
    install(CODE "execute_process(COMMAND ${OBJCOPY} --remove-section=.comment --remove-section=.note
                  \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/${program}\"
                  RESULT_VARIABLE failed)
                  if(failed)
                    message(FATAL_ERROR \"objcopy failed on ${program}\")
                  endif()")
  endforeach()

  # Debian's machine-readable copyright file, around the text of LICENSE.
  file(READ LICENSE license)
  string(REGEX REPLACE "^MIT License\n\n[^\n]*\n\n" "" license "${license}")
  string(REGEX REPLACE "\n\n" "\n.\n" license "${license}")
  string(REGEX REPLACE "\n([^\n])" "\n \\1" license "${license}")
  file(WRITE ${PROJECT_BINARY_DIR}/copyright
       "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/\n"
       "Upstream-Name: ecbcat\n\n"
       "Files: *\nCopyright: 2026 The ecbcat developers\nLicense: Expat\n ${license}")
  install(FILES ${PROJECT_BINARY_DIR}/copyright DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/ecbcat)
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ecbcat)
set(CPACK_PACKAGE_VENDOR "The ecbcat developers")
set(CPACK_PACKAGE_CONTACT "${ECBCAT_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "decrypt an AES-128-ECB file under a built-in key")
# Debian policy (and lintian) want every line of the extended description under 80 columns.
string(JOIN "\n" CPACK_PACKAGE_DESCRIPTION
       "ecbcat FILE decrypts FILE, raw AES-128-ECB ciphertext that another system"
       "wrote under a fixed key, and streams the plaintext to standard output."
       "It reads in one pass with constant memory, at the speed of the cipher,"
       "works inside pipelines and reports every failed read or write."
       "ecbcat-batch decrypts many files on every core, never replacing a file"
       "and never leaving a partial one under its final name."
       "The key is built in; the encryption is obfuscation, not protection.")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
include(CPack)
