"""The programs that the tests run as child processes, each with its
arguments on the command line (support.children.program_command): a crash,
a kill, a fork or a process limit there cannot touch the test runner. Those
run through support.children.run_json print their answer as JSON on their
last line."""

