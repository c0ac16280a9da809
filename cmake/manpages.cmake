# Manual pages: man/man3 (one per export), zem32(7) with its tables generated from
# include/zem32.h and src/frame/errors.cpp, man/man1 (the tools). Installed with the
# library (component dev) and the tools (component tools).
set(ZEM_MAN_OUT ${CMAKE_BINARY_DIR}/man)
add_custom_command(OUTPUT ${ZEM_MAN_OUT}/man7/zem32.7
  COMMAND ${CMAKE_COMMAND} -E make_directory ${ZEM_MAN_OUT}/man7
  COMMAND sh ${CMAKE_SOURCE_DIR}/man/gen_tables.sh ${CMAKE_SOURCE_DIR}/man/man7/zem32.7.in
          ${CMAKE_SOURCE_DIR}/include/zem32.h ${CMAKE_SOURCE_DIR}/src/frame/errors.cpp > ${ZEM_MAN_OUT}/man7/zem32.7
  DEPENDS ${CMAKE_SOURCE_DIR}/man/gen_tables.sh ${CMAKE_SOURCE_DIR}/man/man7/zem32.7.in
          ${CMAKE_SOURCE_DIR}/include/zem32.h ${CMAKE_SOURCE_DIR}/src/frame/errors.cpp
  COMMENT "Generating zem32(7)")
add_custom_target(zem_manpages ALL DEPENDS ${ZEM_MAN_OUT}/man7/zem32.7)

file(GLOB ZEM_MAN3 CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/man/man3/*.3)
install(FILES ${ZEM_MAN3} DESTINATION ${CMAKE_INSTALL_MANDIR}/man3 COMPONENT dev)
install(FILES ${ZEM_MAN_OUT}/man7/zem32.7 DESTINATION ${CMAKE_INSTALL_MANDIR}/man7 COMPONENT dev)
if(ZEM_TOOLS_BUILT)
  install(FILES ${CMAKE_SOURCE_DIR}/man/man1/zem-send.1 ${CMAKE_SOURCE_DIR}/man/man1/zem-pop.1
          DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT tools)
endif()

# Every page passes mandoc -Tlint without a warning, and every export of zem32.h has its
# page (label docs; scripts/test.sh runs it).
if(ZEM_TESTS_BUILT)
  find_program(ZEM_MANDOC mandoc)
  if(ZEM_MANDOC)
    add_test(NAME manual_pages COMMAND sh ${CMAKE_SOURCE_DIR}/tests/docs/check_manpages.sh
             ${CMAKE_SOURCE_DIR} ${ZEM_MAN_OUT}/man7/zem32.7)
    set_tests_properties(manual_pages PROPERTIES LABELS "docs")
  else()
    message(STATUS "mandoc not found (apt-get install mandoc): manual page test skipped")
  endif()
endif()
