# The Windows build's tests, run under Wine by scripts/test-windows. A suite
# or test that does not run here yet is named below with the reason.
pvd_unit_test(form1_tests unit/test_form1.cpp)
# Wine's MSXML gives entity-reference nodes no children, so the document's
# own entities expand to nothing there (Windows' MSXML expands them).
pvd_unit_test(bounds_tests unit/test_order_bounds.cpp EXCLUDE OrderBounds.EntitiesExpandWithinTheBoundsOnly)
# test_vnfformat.cpp leaves out, on Windows, its tests of fork, flock,
# FIFOs, permission bits and file-size limits, and the one that lists the
# folder while a file is unpublished (Windows builds it under a hidden name).
pvd_unit_test(format_tests unit/test_vnfformat.cpp unit/test_new_file.cpp)
target_link_libraries(format_tests PRIVATE vnfformat)
add_dependencies(format_tests filecontroller)
# The program's command line under Wine, against the Linux build in build/.
add_test(NAME WindowsCommandLine COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/e2e/windows_command_line.sh
  ${PROJECT_BINARY_DIR} ${PROJECT_SOURCE_DIR} ${PROJECT_SOURCE_DIR}/build)
set_tests_properties(WindowsCommandLine PROPERTIES TIMEOUT 300 RUN_SERIAL TRUE)
