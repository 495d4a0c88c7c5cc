#!/bin/sh
# Runs the link steps of the library; the link itself with the win32 thread model of the
# same cross-compiler (...-g++-posix becomes ...-g++-win32). The library needs no threads,
# and the posix model would bring its thread library in (about 25 KB); the test programs
# keep the posix model, which GoogleTest needs.
command=$1
shift
case $command in
*-posix) exec "${command%-posix}-win32" "$@" ;;
*) exec "$command" "$@" ;;
esac
