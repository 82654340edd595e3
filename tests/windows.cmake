# The Windows build's tests, run under Wine by scripts/test-windows. A suite
# or test that does not run here yet is named below with the reason.
pvd_unit_test(form1_tests unit/test_form1.cpp)
pvd_unit_test(bounds_tests unit/test_order_bounds.cpp)
# test_vnfformat.cpp leaves out, on Windows, its tests of fork, flock,
# FIFOs, permission bits and file-size limits, and the one that lists the
# folder while a file is unpublished (Windows builds it under a hidden name).
# Nor do the folders without links that the LD_PRELOAD shim makes run here:
# MoveFileEx never replaces, on every Windows file system, exFAT too.
pvd_unit_test(format_tests unit/test_vnfformat.cpp unit/test_new_file.cpp)
target_link_libraries(format_tests PRIVATE vnfformat)
add_dependencies(format_tests filecontroller)
# The program's command line under Wine, against the Linux build in build/.
add_test(NAME WindowsCommandLine COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/e2e/windows_command_line.sh
  ${PROJECT_BINARY_DIR} ${PROJECT_SOURCE_DIR} ${PROJECT_SOURCE_DIR}/build)
set_tests_properties(WindowsCommandLine PROPERTIES TIMEOUT 300 RUN_SERIAL TRUE)
# test_journal.cpp leaves out, on Windows, its tests of the XDG variables,
# permission bits, other users and links, and forked writers.
pvd_unit_test(journal_tests unit/test_journal.cpp)
# The Win32 services themselves: registry, settings store, places, files.
# They, the settings and hardening suites and the launch tests set and read
# the machine values in the prefix's HKEY_LOCAL_MACHINE and the program's
# settings in its HKEY_CURRENT_USER, which all processes share: never side by
# side.
pvd_unit_test(win32_services_tests unit/test_win32_services.cpp LOCK machine-registry)
# test_registry.cpp, test_settings.cpp and test_paths.cpp leave out, on
# Windows, the .reg and INI file formats, the special folders from the XDG
# variables and the POSIX file-system types.
# The policy templates' test reads the ADMX and ADML with libxml2, which the
# Windows build does not link: it runs on Linux only.
pvd_unit_test(settings_tests unit/test_registry.cpp unit/test_settings.cpp unit/test_paths.cpp LOCK machine-registry)
# test_stores.cpp and test_private_files.cpp leave out, on Windows, the INI
# and .reg files as POSIX guards them (size, FIFOs, links, modes, parse
# cache) and the private temporary folder (XDG folders, permission bits,
# other users).
pvd_unit_test(hardening_tests unit/test_stores.cpp unit/test_private_files.cpp LOCK machine-registry)
# The launch end to end. test_launch.cpp leaves out, on Windows: the kill
# between the two saves (a POSIX build of the format library that sends
# itself SIGKILL), the recorder's argc with a space in the path (Windows
# passes one raw command line, split there by the recorder's C runtime) and
# the zombie check (no zombies on Windows), and the journal's file mode.
pvd_unit_test(launch_tests e2e/test_launch.cpp LOCK machine-registry)
target_link_libraries(launch_tests PRIVATE vnfformat)
add_dependencies(launch_tests pacs-vantora-driver demo-recorder vnfformat filecontroller)

# The tray program as a running process, without a display (its
# message-only window): rewrites picked up, one instance, Ctrl+C.
add_test(NAME WindowsProgram COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/e2e/windows_program.sh ${PROJECT_BINARY_DIR})
set_tests_properties(WindowsProgram PROPERTIES TIMEOUT 120 RESOURCE_LOCK machine-registry)
# The tray program in a real notification area: Xvfb, trayer and xdotool.
add_test(NAME WindowsTrayUnderXvfb COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/e2e/windows_tray_test.sh ${PROJECT_BINARY_DIR}
  ${PROJECT_SOURCE_DIR})
set_tests_properties(WindowsTrayUnderXvfb PROPERTIES TIMEOUT 180 SKIP_RETURN_CODE 77 RUN_SERIAL TRUE)
# The running program's faults: each suite drives the Windows program and sets
# the prefix's machine values and the user's settings. test_faults.cpp leaves
# out, on Windows, the drafts folder the user cannot write (Wine enforces no
# file access rules, and runs as root here) and the full disk (Wine can fill
# no drive short of mounting a small file system).
pvd_unit_test(fault_tests e2e/test_faults.cpp LOCK machine-registry)
add_dependencies(fault_tests pacs-vantora-driver demo-recorder vnfformat filecontroller)
# test_hostile.cpp leaves out, on Windows, what is POSIX's own: other users,
# links, permission bits, lock files, FIFOs and XDG_RUNTIME_DIR; it tests
# Windows' forms of them (a planted folder, settings values and keys that
# cannot be read, an abandoned or squatted instance mutex, a pipe as the
# order path) instead.
pvd_unit_test(hostile_tests e2e/test_hostile.cpp LOCK machine-registry)
add_dependencies(hostile_tests pacs-vantora-driver demo-recorder vnfformat filecontroller)
# The running program: rewrites, one instance, versions whatever their times.
pvd_unit_test(program_tests e2e/test_program.cpp LOCK machine-registry)
add_dependencies(program_tests pacs-vantora-driver demo-recorder vnfformat filecontroller)
# Torn writes against the Windows file watch.
pvd_unit_test(stress_tests e2e/test_stress.cpp LOCK machine-registry)
add_dependencies(stress_tests pacs-vantora-driver demo-recorder vnfformat filecontroller)

# The watched order folder deleted by another program while the program runs.
pvd_unit_test(windows_watch_tests e2e/test_windows_watch.cpp LOCK machine-registry)
add_dependencies(windows_watch_tests pacs-vantora-driver demo-recorder vnfformat filecontroller)

# Signing the Windows files with a throw-away certificate (no Wine needed).
add_test(NAME WindowsSigning COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/e2e/windows_signing.sh ${PROJECT_SOURCE_DIR} ${PROJECT_BINARY_DIR})
set_tests_properties(WindowsSigning PROPERTIES TIMEOUT 300 SKIP_RETURN_CODE 77)

# Not yet under Wine:
# - view_tests: the Qt view; WindowsTrayUnderXvfb drives the Win32 one.
# - In the running-program suites above, what has no honest form under Wine:
#   a folder the user may not write (Wine enforces no file access rules and
#   runs as root here), a full disk, links (Wine's CreateSymbolicLink makes
#   nothing), and POSIX's own rlimits, signals, FIFOs, other users, lock
#   files and XDG_RUNTIME_DIR (each has its Windows form where there is one).

# A program that is not ours holding one of the installed files open without
# sharing, for the installer test (run by scripts/test-windows).
add_executable(hold-file support/hold_file.c)
target_link_options(hold-file PRIVATE -municode)
