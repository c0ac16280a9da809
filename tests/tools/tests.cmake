# End-to-end tests of the command-line tools and the C examples against the loopback
# mail servers. Included from tests/CMakeLists.txt; needs the tools (ZEM_TOOLS).
if(ZEM_TOOLS_BUILT)
  add_test(NAME tools_end_to_end
           COMMAND bash ${CMAKE_SOURCE_DIR}/tests/tools/test_tools.sh ${CMAKE_BINARY_DIR})
  set_tests_properties(tools_end_to_end PROPERTIES
    LABELS "integration" TIMEOUT 900 RESOURCE_LOCK mailservers FIXTURES_REQUIRED mailservers)
endif()
