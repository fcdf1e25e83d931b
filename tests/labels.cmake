# Read by ctest after the tests are discovered, to give some of them a second
# label: gtest_discover_tests (CMake 3.25) flattens a list-valued property
# into its neighbours, and "LABELS e2e;conformance" there would lose the
# second label.
foreach(test IN LISTS conformance_tests_TESTS)
  set_tests_properties("${test}" PROPERTIES LABELS "e2e;conformance")
endforeach()
# The desktop's layers on sway (--background, --screensaver): `ctest -L
# layers` runs them alone, as scripts/mutants does for their faults.
# The resident screensaver's tests, on sway's layers, mutter and X11, carry
# `resident` too.
foreach(test IN LISTS reliability_e2e_tests_TESTS)
  if(test MATCHES "^SwayLayers\\.TheResident")
    set_tests_properties("${test}" PROPERTIES LABELS "e2e;layers;resident")
  elseif(test MATCHES "^HeadlessMutter\\.TheResident")
    set_tests_properties("${test}" PROPERTIES LABELS "e2e;resident")
  elseif(test MATCHES "^SwayLayers")
    set_tests_properties("${test}" PROPERTIES LABELS "e2e;layers")
  endif()
endforeach()
foreach(test IN LISTS e2e_tests_TESTS)
  if(test MATCHES "^AsScreensaver\\.AfterIdle")
    set_tests_properties("${test}" PROPERTIES LABELS "e2e;resident")
  endif()
endforeach()
