# Read by ctest after the conformance tests are discovered, to give each both
# of its labels: gtest_discover_tests (CMake 3.25) flattens a list-valued
# property into its neighbours, and "LABELS e2e;conformance" there would lose
# the second label.
foreach(test IN LISTS conformance_tests_TESTS)
  set_tests_properties("${test}" PROPERTIES LABELS "e2e;conformance")
endforeach()
