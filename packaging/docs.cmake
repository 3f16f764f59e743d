# Bash completion and manual pages of zfsrep and zfsrepctl. The pages are
# made from the programs' --help texts with help2man when it is installed;
# without it they are left out (with a note) and everything else still builds.
set(completion_dir ${CMAKE_INSTALL_DATADIR}/bash-completion/completions)
install(FILES ${CMAKE_CURRENT_SOURCE_DIR}/bash-completion/zfsrepctl
              ${CMAKE_CURRENT_SOURCE_DIR}/bash-completion/zfsrep
        DESTINATION ${completion_dir})

find_program(HELP2MAN_PROGRAM help2man)
if(NOT HELP2MAN_PROGRAM)
  message(STATUS "help2man not found: the manual pages of zfsrep and zfsrepctl are not built")
  return()
endif()

# The help texts hold non-ASCII text; a UTF-8 locale keeps it intact.
# Sanitizer builds: a leak report at exit must not fail the page.
set(man_env ${CMAKE_COMMAND} -E env LC_ALL=C.UTF-8 ASAN_OPTIONS=detect_leaks=0)
set(man_locale --locale=C.UTF-8)
set(man_dir ${CMAKE_CURRENT_BINARY_DIR}/man)
file(MAKE_DIRECTORY ${man_dir})

# The subcommands come as a section of their own (--man-subcommands), out of
# the help text help2man reads (--man-help).
add_custom_command(OUTPUT ${man_dir}/zfsrepctl.1
  COMMAND ${man_env} $<TARGET_FILE:zfsrepctl> --man-subcommands > ${man_dir}/zfsrepctl-subcommands.h2m
  COMMAND ${man_env} ${HELP2MAN_PROGRAM} ${man_locale} --no-info --section=1 --help-option=--man-help
          "--name=command-line client of the zfsrep replication service"
          --include=${man_dir}/zfsrepctl-subcommands.h2m
          --include=${CMAKE_CURRENT_SOURCE_DIR}/man/zfsrepctl.h2m
          --output=${man_dir}/zfsrepctl.1 $<TARGET_FILE:zfsrepctl>
  DEPENDS zfsrepctl ${CMAKE_CURRENT_SOURCE_DIR}/man/zfsrepctl.h2m
  COMMENT "Generating the manual page of zfsrepctl"
  VERBATIM)

# zfsrep has no --version option: the project's version stands in.
add_custom_command(OUTPUT ${man_dir}/zfsrep.8
  COMMAND ${man_env} ${HELP2MAN_PROGRAM} ${man_locale} --no-info --section=8
          --version-string=${PROJECT_VERSION} "--name=ZFS replication service"
          --include=${CMAKE_CURRENT_SOURCE_DIR}/man/zfsrep.h2m
          --output=${man_dir}/zfsrep.8 $<TARGET_FILE:zfsrep>
  DEPENDS zfsrep ${CMAKE_CURRENT_SOURCE_DIR}/man/zfsrep.h2m
  COMMENT "Generating the manual page of zfsrep"
  VERBATIM)

add_custom_target(zfsrepctl_manpage ALL DEPENDS ${man_dir}/zfsrepctl.1)
add_custom_target(zfsrep_manpage ALL DEPENDS ${man_dir}/zfsrep.8)
install(FILES ${man_dir}/zfsrepctl.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${man_dir}/zfsrep.8 DESTINATION ${CMAKE_INSTALL_MANDIR}/man8)
